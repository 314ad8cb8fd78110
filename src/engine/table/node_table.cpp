// Compact node table: paths in one arena, ids as integers, fingerprints as binary row digests.
#include "engine/table/node_table.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "engine/fs/tree_walk.h"

namespace mavelin::table {

char* NodeTable::path_room(std::size_t n) {
    if (n > kMaxPath) throw std::length_error("node path too long");
    if (path_blocks_.empty() || path_blocks_.back().capacity - path_blocks_.back().used < n) {
        PathBlock b;
        b.capacity = std::max(n, kArenaBlock);
        b.data = std::make_unique_for_overwrite<char[]>(b.capacity);
        b.first_node = size();
        path_blocks_.push_back(std::move(b));
    }
    PathBlock& b = path_blocks_.back();
    char* p = b.data.get() + b.used;
    b.used += n;
    return p;
}

void NodeTable::push_node(std::int64_t id) {
    const std::size_t i = size();
    if (!explicit_ids_ && id != static_cast<std::int64_t>(i) + 1) {
        // The first id out of sequence: from now on every id is stored.
        ids_.reserve(std::max(ends_.capacity(), i + 1));
        for (std::size_t k = 0; k < i; ++k) ids_.push_back(static_cast<std::int64_t>(k) + 1);
        explicit_ids_ = true;
    }
    if (explicit_ids_) ids_.push_back(id);
    flags_.push_back(0);
    ends_.push_back(static_cast<std::uint32_t>(path_blocks_.back().used));
}

void NodeTable::add(std::int64_t id, std::string_view raw_path, const Digest* fingerprint) {
    if (fingerprint) ensure_digest_blocks(size() + 1);
    char* p = path_room(raw_path.size());
    if (!raw_path.empty()) std::memcpy(p, raw_path.data(), raw_path.size());
    push_node(id);
    if (fingerprint) set_fingerprint(size() - 1, fingerprint);
}

void NodeTable::add_joined(std::int64_t id, std::string_view dir, std::string_view name) {
    const std::size_t sep = dir.empty() ? 0 : 1;
    char* p = path_room(dir.size() + sep + name.size());
    if (sep) {
        std::memcpy(p, dir.data(), dir.size());
        p[dir.size()] = '/';
    }
    if (!name.empty()) std::memcpy(p + dir.size() + sep, name.data(), name.size());
    push_node(id);
}

std::string_view NodeTable::path(std::size_t i) const noexcept {
    // The last block that starts at or before node i holds its path.
    auto it =
        std::upper_bound(path_blocks_.begin(), path_blocks_.end(), i,
                         [](std::size_t node, const PathBlock& b) { return node < b.first_node; });
    const PathBlock& b = *(it - 1);
    const std::size_t begin = i == b.first_node ? 0 : ends_[i - 1];
    return {b.data.get() + begin, ends_[i] - begin};
}

void NodeTable::shrink_to_fit() {
    ends_.shrink_to_fit();
    ids_.shrink_to_fit();
    flags_.shrink_to_fit();
}

void NodeTable::ensure_digest_blocks(std::size_t nodes) {
    const std::size_t per_block = std::size_t{1} << kDigestBlockShift;
    const std::size_t need = (nodes + per_block - 1) >> kDigestBlockShift;
    while (digest_blocks_.size() < need)
        digest_blocks_.push_back(std::make_unique_for_overwrite<Digest[]>(per_block * rows_));
}

bool NodeTable::set_rows(std::size_t rows) noexcept {
    if (!digest_blocks_.empty()) return rows == rows_;
    rows_ = rows;
    return true;
}

void NodeTable::prepare_fingerprints() {
    ensure_digest_blocks(size());
}

void NodeTable::set_fingerprint(std::size_t i, const Digest* rows) noexcept {
    if (rows_ != 0) std::memcpy(digest_slot(i), rows, rows_ * sizeof(Digest));
    flags_[i] |= kHasFingerprint;
}

void NodeTable::adopt_fingerprints(std::vector<std::unique_ptr<Digest[]>> blocks) {
    if (!digest_blocks_.empty()) throw std::logic_error("fingerprint storage exists already");
    digest_blocks_ = std::move(blocks);
    ensure_digest_blocks(size());
    for (std::uint8_t& f : flags_) f |= kHasFingerprint;
}

void NodeTable::clear_fingerprint(std::size_t i) noexcept {
    if (flags_[i] & kOtherRows) other_rows_.erase(i);
    flags_[i] &= ~(kHasFingerprint | kOtherRows | kOddFingerprint);
}

void NodeTable::set_other_fingerprint(std::size_t i, std::string digests) {
    other_rows_.insert_or_assign(i, std::move(digests));
    flags_[i] = static_cast<std::uint8_t>((flags_[i] & ~kHasFingerprint) | kOtherRows);
}

std::string_view NodeTable::digest_bytes(std::size_t i) const noexcept {
    if (!comparable(i)) return {};
    if (flags_[i] & kOtherRows) return other_rows_.find(i)->second;
    return {reinterpret_cast<const char*>(digest_slot(i)), rows_ * sizeof(Digest)};
}

std::size_t NodeTable::memory_bytes() const noexcept {
    std::size_t n = ends_.capacity() * sizeof(std::uint32_t) +
                    ids_.capacity() * sizeof(std::int64_t) + flags_.capacity() +
                    path_blocks_.capacity() * sizeof(PathBlock) +
                    digest_blocks_.capacity() * sizeof(std::unique_ptr<Digest[]>);
    for (const PathBlock& b : path_blocks_) n += b.capacity;
    n += digest_blocks_.size() * (std::size_t{1} << kDigestBlockShift) * rows_ * sizeof(Digest);
    for (const auto& [node, digests] : other_rows_) n += sizeof(node) + digests.capacity();
    return n;
}

NodeTable scan_tree(const std::string& top, std::size_t rows, std::vector<fs::WalkError>* errors,
                    const std::atomic<bool>* cancel, std::vector<fs::LeftOutFolder>* left_out,
                    std::vector<std::string>* dangling, const fs::SkippedFiles* skipped,
                    metadata::FileStats* stats) {
    NodeTable t(rows);
    scan_into(
        t, top, errors, cancel, left_out, dangling, skipped, [](std::size_t) {}, stats);
    return t;
}

}  // namespace mavelin::table
