// Compact node table: paths in one arena, ids as integers, fingerprints as binary row digests.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/fs/tree_walk.h"
#include "engine/hash/sha256/sha256.h"
#include "engine/metadata/file_stats.h"
#include "engine/metadata/stat_pool.h"

namespace mavelin::table {

using Digest = hash::sha256::Digest;

// The nodes of one tree in table order. Node i has an id, a path (raw bytes as the walk gave
// them, '/'-separated) and either no fingerprint or exactly rows() row digests.
//
// Memory per node: the path bytes, 4 bytes of path end, 1 byte of flags and rows() * 32 bytes
// of digests; ids cost nothing while they run 1, 2, 3 ... in table order, as a scan numbers
// them, and 8 bytes otherwise. Paths and digests live in fixed blocks that are never moved, so
// growing the table never copies them (a growing array would briefly need three times its size).
//
// Nodes are appended from one thread. Fingerprints may then be set from several threads at
// once, each on other nodes, after prepare_fingerprints().
class NodeTable {
  public:
    explicit NodeTable(std::size_t rows = 0) : rows_(rows) {}
    NodeTable(NodeTable&&) noexcept = default;
    NodeTable& operator=(NodeTable&&) noexcept = default;

    // What a comparison knows of a node besides its path and fingerprint.
    enum Mark : std::uint8_t {
        kOddFingerprint = 2,  // it has a fingerprint, but not in the form a scan writes: that
                              // fingerprint equals no other
        kIdMismatch = 4,      // a certificate record whose id disagrees with its key's number
    };

    std::size_t size() const noexcept { return ends_.size(); }
    bool empty() const noexcept { return ends_.empty(); }
    // Row digests per fingerprint (the transformation step, 0 when that is not positive).
    std::size_t rows() const noexcept { return rows_; }

    // The longest path a node may have.
    static constexpr std::size_t kMaxPath = UINT32_MAX;

    // Appends a node, without fingerprint or with the rows() digests at `fingerprint`.
    // Throws std::bad_alloc, or std::length_error for a path longer than kMaxPath.
    void add(std::int64_t id, std::string_view raw_path, const Digest* fingerprint = nullptr);
    // Appends a node without fingerprint whose path is `dir` + '/' + `name` (`name` alone when
    // `dir` is empty).
    void add_joined(std::int64_t id, std::string_view dir, std::string_view name);
    // Gives back the slack of the per-node arrays (once the last node is in).
    void shrink_to_fit();

    std::int64_t id(std::size_t i) const noexcept {
        return explicit_ids_ ? ids_[i] : static_cast<std::int64_t>(i) + 1;
    }
    std::string_view path(std::size_t i) const noexcept;
    bool has_fingerprint(std::size_t i) const noexcept { return flags_[i] & kHasFingerprint; }
    // The rows() digests of node i, or nullptr when it has no fingerprint.
    const Digest* fingerprint(std::size_t i) const noexcept {
        return has_fingerprint(i) ? digest_slot(i) : nullptr;
    }
    // Whether ids are 1, 2, 3 ... in table order.
    bool sequential_ids() const noexcept { return !explicit_ids_; }

    // Changes rows() while no fingerprint storage exists yet (a decoder learns it from the first
    // fingerprint it meets); false, and nothing changed, afterwards.
    bool set_rows(std::size_t rows) noexcept;

    // Gives every node room for a fingerprint. Throws std::bad_alloc.
    void prepare_fingerprints();
    // Sets node i's fingerprint from rows() digests (after prepare_fingerprints()).
    void set_fingerprint(std::size_t i, const Digest* rows) noexcept;
    void clear_fingerprint(std::size_t i) noexcept;
    // Nodes per block of fingerprint storage.
    static constexpr std::size_t kDigestBlockNodes = std::size_t{1} << 14;
    // Takes `blocks` as the fingerprint storage (the layout prepare_fingerprints() makes:
    // kDigestBlockNodes nodes of rows() digests per block; blocks missing at the end are added)
    // and marks every node fingerprinted: the caller then clears the nodes it has none for.
    // Only while no storage exists (std::logic_error otherwise). Throws std::bad_alloc.
    void adopt_fingerprints(std::vector<std::unique_ptr<Digest[]>> blocks);
    // Sets node i's fingerprint from row digests of another count than rows() (`digests`: the
    // binary digests one after another), as records built by hand may hold. Kept aside, so it
    // costs nothing when no node has one. Throws std::bad_alloc.
    void set_other_fingerprint(std::size_t i, std::string digests);

    void mark(std::size_t i, Mark m) noexcept { flags_[i] |= m; }
    bool marked(std::size_t i, Mark m) const noexcept { return flags_[i] & m; }
    // Whether node i has a fingerprint of any form (rows() digests, another count, or odd).
    bool fingerprinted(std::size_t i) const noexcept {
        return flags_[i] & (kHasFingerprint | kOtherRows | kOddFingerprint);
    }
    // Whether node i has a fingerprint that can equal another one: its digest_bytes().
    bool comparable(std::size_t i) const noexcept {
        return (flags_[i] & (kHasFingerprint | kOtherRows)) && !(flags_[i] & kOddFingerprint);
    }
    // The binary row digests of a comparable node one after another (empty otherwise): two
    // fingerprints are equal when these bytes are.
    std::string_view digest_bytes(std::size_t i) const noexcept;

    // Bytes held by the table (capacities and blocks).
    std::size_t memory_bytes() const noexcept;

  private:
    static constexpr std::uint8_t kHasFingerprint = 1;
    static constexpr std::uint8_t kOtherRows = 8;  // the fingerprint is in other_rows_
    static constexpr std::size_t kArenaBlock = std::size_t{4} << 20;
    static constexpr unsigned kDigestBlockShift = 14;
    static_assert(kDigestBlockNodes == std::size_t{1} << kDigestBlockShift);

    struct PathBlock {
        std::unique_ptr<char[]> data;
        std::size_t capacity = 0;
        std::size_t used = 0;
        std::size_t first_node = 0;
    };

    char* path_room(std::size_t n);
    void push_node(std::int64_t id);
    Digest* digest_slot(std::size_t i) const noexcept {
        return digest_blocks_[i >> kDigestBlockShift].get() +
               (i & ((std::size_t{1} << kDigestBlockShift) - 1)) * rows_;
    }
    void ensure_digest_blocks(std::size_t nodes);

    std::size_t rows_;
    std::vector<PathBlock> path_blocks_;
    std::vector<std::uint32_t> ends_;  // end of path i within its block
    bool explicit_ids_ = false;        // an id out of sequence was added: ids_ holds them all
    std::vector<std::int64_t> ids_;
    std::vector<std::uint8_t> flags_;
    std::vector<std::unique_ptr<Digest[]>> digest_blocks_;
    std::unordered_map<std::size_t, std::string> other_rows_;
};

// The walk of scan_tree() into `t` (empty), calling added(i) once node i is in. With `stats`
// (empty), every node's stat record goes there (one stat per file, taken by a metadata::StatPool
// while the walk goes on), with the target texts of the links among the nodes and of the links
// that are no nodes, in walk order.
template <class Added>
void scan_into(NodeTable& t, const std::string& top, std::vector<fs::WalkError>* errors,
               const std::atomic<bool>* cancel, std::vector<fs::LeftOutFolder>* left_out,
               std::vector<std::string>* dangling, const fs::SkippedFiles* skipped, Added&& added,
               metadata::FileStats* stats = nullptr) {
    std::int64_t next_id = 1;
    if (stats) stats->taken_ns = metadata::now_ns();
    std::optional<metadata::StatPool> pool;
    if (stats) pool.emplace(stats->threads > 0 ? stats->threads : metadata::stat_threads());
    // The links that are no nodes, each with the number of nodes before it.
    std::vector<std::pair<std::size_t, metadata::Link>> loose;
    fs::TreeWalker walker(top, cancel);
    fs::for_each_node_file(
        walker,
        [&](const std::string& dir, const std::string& name) {
            if (stats) {
                stats->push_back(metadata::Record{});
                pool->add(walker.current_fd(), walker.visits(), name, t.size(),
                          &(*stats)[stats->size() - 1]);
            }
            t.add_joined(next_id++, dir, name);
            added(t.size() - 1);
        },
        [left_out](fs::Visit& v) { fs::record_left_out(v, left_out); },
        [&](const std::string& dir, std::string& name) {
            if (stats) {
                std::string text = metadata::read_link(walker.current_fd(), name.c_str());
                std::string copy = name;
                loose.push_back(
                    {t.size(),
                     {metadata::Link::kNotANode, fs::node_path(dir, copy), std::move(text)}});
            }
            if (dangling) dangling->push_back(fs::node_path(dir, name));
        },
        skipped);
    if (errors) *errors = walker.errors();
    t.shrink_to_fit();
    if (stats) metadata::merge_links(pool->finish(), loose, stats->links());
}

// The node table of a tree built straight from the walk: the nodes of fs::scan_node_paths in
// its order, numbered 1, 2, 3 ..., without fingerprints, for fingerprints of `rows` rows;
// `errors`, `cancel`, `left_out`, `dangling` and `skipped` as there; `stats` as for scan_into.
NodeTable scan_tree(const std::string& top, std::size_t rows,
                    std::vector<fs::WalkError>* errors = nullptr,
                    const std::atomic<bool>* cancel = nullptr,
                    std::vector<fs::LeftOutFolder>* left_out = nullptr,
                    std::vector<std::string>* dangling = nullptr,
                    const fs::SkippedFiles* skipped = nullptr,
                    metadata::FileStats* stats = nullptr);

}  // namespace mavelin::table
