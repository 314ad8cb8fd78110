// Certificate payload decoded straight into the compact node table, or found not to fit it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "engine/memory_budget.h"
#include "engine/pickle/reader.h"
#include "engine/table/node_table.h"

namespace mavelin::table {

enum class DecodeResult {
    kOk,          // `out` holds the table
    kNotCompact,  // the payload is not the compact form's stream: decode it the general way
    kReadFailed,  // the source failed, or the decoding was cancelled
};

// Fills up to `capacity` bytes at `buffer` with the next bytes of the payload; returns how many
// (0 at the end) or -1 when reading failed.
using PayloadSource = std::function<std::ptrdiff_t(std::uint8_t* buffer, std::size_t capacity)>;

// Decodes a payload in one pass into `out` when it is, byte for byte, what write_payload writes
// for some compact table: each node is parsed and encoded again, and the encoding must
// reproduce the input exactly (frames, memo, batches and the end included). Such a payload is
// the host pickler's stream of that table, which the general decoder (pickle::decode and
// check_node_table) accepts and reads as the same table; so this refuses nothing the general
// way accepts and accepts nothing it refuses. Anything else, from another protocol or memo
// use to a damaged or truncated stream, an id beyond 64 bits, a path no walk gives or a
// fingerprint not in the scan's form, is kNotCompact, and the caller decodes the same bytes the
// general way, which accepts or refuses them with its own reasons.
// Memory: the table, plus about one frame and one node of input. With a `budget` (optional),
// all of it is counted against the budget as it grows, and a payload that would take more is
// kNotCompact before the memory is taken (the general way then refuses it within the same
// budget). A node path longer than path_limit() is kNotCompact too. Throws std::bad_alloc.
// A source that is cancelled fails (kReadFailed); on a payload in memory, `cancel` (optional)
// stops the decoding within a piece of input.
DecodeResult decode_payload(const PayloadSource& source, NodeTable& out,
                            memory_budget::Budget* budget = nullptr);
DecodeResult decode_payload(std::span<const std::uint8_t> payload, NodeTable& out,
                            const std::atomic<bool>* cancel = nullptr,
                            memory_budget::Budget* budget = nullptr);

// The longest node path the decoders take: NodeTable::kMaxPath (path ends are 32-bit). Setting
// 0 restores it (the setter is for tests).
std::size_t path_limit() noexcept;
void set_path_limit(std::size_t bytes) noexcept;

// The compact form of a payload decoded and checked the general way (pickle::decode and
// check_node_table passed): kOk, or kNotCompact when the table does not fit the form (keys
// other than node_id_1, node_id_2 ... in order, or as above). Throws std::bad_alloc. Once
// `cancel` (optional) is set, stops within a few thousand nodes: kReadFailed.
// With a `budget` (optional), the table is counted against it and kNotCompact once it would not
// fit.
DecodeResult from_decoded(const pickle::Decoded& d, NodeTable& out,
                          const std::atomic<bool>* cancel = nullptr,
                          memory_budget::Budget* budget = nullptr);

// A whole payload in memory into `out`: decode_payload, or else pickle::decode and
// check_node_table followed by from_decoded, each stage within `budget` (which already counts
// the payload itself). kNotCompact also for a payload the general way refuses: the caller then
// reads it the way that gives the verdict and its reason.
DecodeResult decode_any(std::span<const std::uint8_t> payload, NodeTable& out,
                        memory_budget::Budget& budget, const std::atomic<bool>* cancel = nullptr);

}  // namespace mavelin::table
