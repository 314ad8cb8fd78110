// The metadata member Certificate.files: its binary layout, written as a stream and read back
// with every length checked against the member's own size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "engine/metadata/file_stats.h"

namespace mavelin::metadata {

// Layout, version 1, every number little-endian:
//
//   header, 48 bytes
//     0   8  magic "MVLFILES"
//     8   4  version, 1
//    12   4  record size, 56
//    16   8  N, the number of node records (the payload's nodes, in table order)
//    24   8  L, the number of link entries
//    32   8  the signing's clock when its walk began, ns since the epoch (signed)
//    40   4  chunk size of the payload's fingerprints
//    44   4  transformation step (rows) of the payload's fingerprints
//   N node records of 56 bytes
//     0   8  size          8   8  mtime ns (signed)   16   8  ctime ns (signed)
//    24   8  device       32   8  inode               40   4  st_mode
//    44   4  uid          48   4  gid                 52   4  flags (1: a link, 2: no stat)
//   L link entries, in walk order (the nodes' links and the links that are no node)
//     8  node index, or 2^64-1 for a link that is no node (target missing or outside)
//     4  path length P (0 for a node's link), P bytes of path below the signed folder
//     4  target length T, T bytes of the link's target text
//   nothing after the last entry.
inline constexpr char kMagic[8] = {'M', 'V', 'L', 'F', 'I', 'L', 'E', 'S'};
inline constexpr std::uint32_t kVersion = 1;
inline constexpr std::size_t kHeaderSize = 48;
inline constexpr std::size_t kRecordSize = 56;

using Sink = std::function<void(std::string_view)>;

// Writes the member for `stats` (which must hold one record per node) to `sink`, in pieces of at
// most 64 KiB.
void write_member(const FileStats& stats, const Sink& sink);
// The member's size in bytes for `stats`.
std::uint64_t member_size(const FileStats& stats) noexcept;

// Reads the member in data[0, size). Every count is checked against the bytes left before
// anything is allocated, so what it holds costs at most about five times the member's size.
// Returns "" and fills `out`, or the reason the bytes were refused.
std::string read_member(const char* data, std::size_t size, FileStats& out);

}  // namespace mavelin::metadata
