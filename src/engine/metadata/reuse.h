// Re-signing from the stat data of the last signing: which fingerprints of the stored table can be
// taken over for the nodes of a fresh walk, and which files must be read again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/metadata/file_stats.h"
#include "engine/table/node_table.h"

namespace mavelin::metadata {

// How much older than the last signing's walk a file's modification and change times must be
// for its stored fingerprint to be believed: a file changed within the file system's timestamp
// granularity of that walk may have changed again after it was read with the same times (the
// "racy" case). Two seconds cover the coarsest stamps in use (FAT).
inline constexpr std::int64_t kRacyMarginNs = 2'000'000'000;

// Whether the file of `now` is, as far as its stat data tells, the one of `before`, read by a
// walk that began at `taken_ns`: a regular file with the same size, modification and change
// times, device and inode, both times safely older than that walk.
bool unchanged(const Record& before, const Record& now, std::int64_t taken_ns) noexcept;

// Gives every node of `fresh` (just walked, `fresh_stats` its records) the fingerprint of the
// node of `stored` with the same path when unchanged() says so (`stored_stats` the records
// stored with it, one per node); the indices of the other nodes go to `reread`, ascending.
// `fresh` gets room for every fingerprint. Nodes are paired by position while both tables list
// the same paths, through a path index otherwise. Returns the number of fingerprints taken over.
// Throws std::bad_alloc.
std::size_t reuse_fingerprints(table::NodeTable& fresh, const FileStats& fresh_stats,
                               const table::NodeTable& stored, const FileStats& stored_stats,
                               std::vector<std::size_t>& reread);

}  // namespace mavelin::metadata
