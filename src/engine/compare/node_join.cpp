// Pairing the certificate's node table with a fresh one by node path: the findings of a validation.
#include "engine/compare/node_join.h"

#include <algorithm>
#include <functional>
#include <string_view>
#include <unordered_map>

#include "engine/cancellation.h"
#include "engine/hash/sha256/sha256.h"

namespace mavelin::compare {

namespace {

using table::NodeTable;

// The certificate's nodes by path, in open addressing. The slot of a path holds the first of
// its nodes not yet paired, or its last node once all are; nodes sharing a path are chained in
// table order.
class PathIndex {
  public:
    // Of the nodes from `first` on; built until `stop` says so.
    PathIndex(const NodeTable& t, size_t first, cancellation::Poll& stop) : t_(t) {
        const size_t n = t.size() - first;
        size_t capacity = 16;
        while (capacity < n + n / 2) capacity <<= 1;  // at most two thirds full
        slots_.assign(capacity, kNoRow);
        mask_ = capacity - 1;
        for (size_t i = t.size(); i-- > first;) {  // backwards: each chain ends up in table order
            if (stop()) return;
            size_t& s = slot(t.path(i));
            if (s != kNoRow) {
                if (next_.empty()) next_.assign(t.size(), kNoRow);
                next_[i] = s;
            }
            s = i;
        }
    }

    // The slot of `path`, or null when no certificate node has that path.
    size_t* find(std::string_view path) {
        size_t& s = slot(path);
        return s == kNoRow ? nullptr : &s;
    }
    // The node after `i` with the same path, or kNoRow.
    size_t next(size_t i) const { return next_.empty() ? kNoRow : next_[i]; }

  private:
    size_t& slot(std::string_view path) {
        for (size_t k = std::hash<std::string_view>{}(path)&mask_;; k = (k + 1) & mask_)
            if (slots_[k] == kNoRow || t_.path(slots_[k]) == path) return slots_[k];
    }

    const NodeTable& t_;
    std::vector<size_t> slots_;
    size_t mask_ = 0;
    std::vector<size_t> next_;  // only when some path occurs twice
};

// Unpaired nodes of both sides grouped by fingerprint: how many of each side hold it and the first.
struct Holders {
    size_t certificate_count = 0;
    size_t certificate_row = kNoRow;
    size_t fresh_count = 0;
    size_t fresh_finding = kNoRow;  // the finding of the first fresh node
};

// Whether `digests` (row digests one after another) is the fingerprint of an empty file: every
// row the digest of empty input.
bool is_empty_file(std::string_view digests) {
    const auto& empty = hash::sha256::empty_digest();
    const std::string_view row(reinterpret_cast<const char*>(empty.data()), empty.size());
    for (size_t at = 0; at < digests.size(); at += row.size())
        if (digests.substr(at, row.size()) != row) return false;
    return true;
}

}  // namespace

void FolderSet::add(std::string folder) {
    folders_.insert(std::move(folder));
}

bool FolderSet::covers(std::string_view path) const {
    if (folders_.empty()) return false;
    if (folders_.contains(std::string_view())) return true;
    for (size_t slash = path.find('/'); slash != std::string_view::npos;
         slash = path.find('/', slash + 1))
        if (folders_.contains(path.substr(0, slash))) return true;
    return false;
}

Comparison join_by_path(const NodeTable& certificate, const NodeTable& fresh,
                        const std::atomic<bool>* cancel, const FolderSet* unread) {
    Comparison out;
    cancellation::Poll stop(cancel);  // looked at per node in every loop
    // Certificate nodes paired with a fresh node (and, later, moved).
    std::vector<bool> certificate_done(certificate.size(), false);
    std::vector<size_t> unpaired_fresh;  // the kNew findings, some of which become moves
    {
        // Where both tables list the same paths in the same order (an unchanged tree, up to its
        // first change) the nodes pair by position, as the hash join would pair them: only the
        // rest of each table goes through it.
        const size_t common = std::min(certificate.size(), fresh.size());
        size_t same = 0;
        while (same < common && certificate.path(same) == fresh.path(same)) {
            if (stop()) return out;
            ++same;
        }
        PathIndex index(certificate, same, stop);
        if (cancellation::requested(cancel)) return out;
        for (size_t j = 0; j < fresh.size(); ++j) {
            if (stop()) return out;
            size_t i = j;
            if (j >= same) {
                size_t* s = index.find(fresh.path(j));
                if (!s || certificate_done[*s]) {
                    unpaired_fresh.push_back(out.findings.size());
                    out.findings.push_back({Kind::kNew, j, kNoRow});
                    ++out.failed_files;
                    continue;
                }
                i = *s;
                if (index.next(i) != kNoRow) *s = index.next(i);
            }
            certificate_done[i] = true;
            const size_t before = out.findings.size();
            if (certificate.marked(i, NodeTable::kIdMismatch))
                out.findings.push_back({Kind::kNotAuthentic, j, i});
            if (!fresh.fingerprinted(j)) {
                out.findings.push_back({Kind::kUnreadable, j, i});
            } else if (!certificate.fingerprinted(i)) {
                out.findings.push_back({Kind::kUnsigned, j, i});
            } else if (!certificate.comparable(i) || !fresh.comparable(j) ||
                       certificate.digest_bytes(i) != fresh.digest_bytes(j)) {
                out.findings.push_back({Kind::kModified, j, i});
            }
            if (out.findings.size() != before) ++out.failed_files;
        }
    }

    // What lies below a folder that could not be read went unchecked: not missing, not moved.
    if (unread && !unread->empty()) {
        for (size_t i = 0; i < certificate.size(); ++i) {
            if (stop()) return out;
            if (certificate_done[i] || !unread->covers(certificate.path(i))) continue;
            certificate_done[i] = true;
            ++out.not_checked;
        }
    }

    // Moves: fingerprints shared by exactly one unpaired node of each side.
    std::unordered_map<std::string_view, Holders> by_fingerprint;
    if (!unpaired_fresh.empty()) {
        for (size_t i = 0; i < certificate.size(); ++i) {
            if (stop()) return out;
            if (certificate_done[i] || !certificate.comparable(i) ||
                is_empty_file(certificate.digest_bytes(i)))
                continue;
            Holders& h = by_fingerprint[certificate.digest_bytes(i)];
            if (h.certificate_count++ == 0) h.certificate_row = i;
        }
    }
    if (!by_fingerprint.empty()) {
        for (size_t f : unpaired_fresh) {
            if (stop()) return out;
            const size_t j = out.findings[f].fresh_row;
            if (!fresh.comparable(j)) continue;
            auto it = by_fingerprint.find(fresh.digest_bytes(j));
            if (it == by_fingerprint.end()) continue;
            if (it->second.fresh_count++ == 0) it->second.fresh_finding = f;
        }
        for (const auto& [digests, h] : by_fingerprint) {
            if (stop()) return out;
            if (h.certificate_count != 1 || h.fresh_count != 1) continue;
            out.findings[h.fresh_finding].kind = Kind::kMoved;
            out.findings[h.fresh_finding].certificate_row = h.certificate_row;
            certificate_done[h.certificate_row] = true;
        }
    }

    for (size_t i = 0; i < certificate.size(); ++i) {
        if (stop()) return out;
        if (certificate_done[i]) continue;
        out.findings.push_back({Kind::kMissing, kNoRow, i});
        ++out.failed_files;
    }
    return out;
}

}  // namespace mavelin::compare
