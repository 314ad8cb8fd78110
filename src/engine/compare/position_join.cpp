// Pairing the certificate's node table with a fresh one entry by entry, in table order.
#include "engine/compare/position_join.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/cancellation.h"

namespace mavelin::compare {

namespace {

using table::NodeTable;

// The paths of a table, each once.
class PathSet {
  public:
    // False when cancelled before it was complete.
    bool fill(const NodeTable& t, cancellation::Poll& stop) {
        paths_.reserve(t.size());
        for (size_t i = 0; i < t.size(); ++i) {
            if (stop()) return false;
            paths_.insert(t.path(i));
        }
        return true;
    }
    bool contains(std::string_view path) const { return paths_.contains(path); }

  private:
    std::unordered_set<std::string_view> paths_;
};

}  // namespace

Comparison join_by_position(const NodeTable& certificate, const NodeTable& fresh,
                            const std::atomic<bool>* cancel, const FolderSet* unread) {
    Comparison out;
    cancellation::Poll stop(cancel);  // looked at per node in every loop
    const size_t pairs = std::min(certificate.size(), fresh.size());
    bool paths_differ = certificate.size() != fresh.size();
    for (size_t i = 0; i < pairs; ++i) {
        if (stop()) return out;
        const bool same_path = certificate.path(i) == fresh.path(i);
        const size_t before = out.findings.size();
        if (!same_path || certificate.id(i) != fresh.id(i))
            out.findings.push_back({Kind::kNotAuthentic, i, i, !same_path});
        if (!same_path) {
            out.findings.push_back({Kind::kOutOfOrder, i, i, true});
            paths_differ = true;
        }
        if (!fresh.fingerprinted(i)) {
            out.findings.push_back({Kind::kUnreadable, i, i, !same_path});
        } else if (!certificate.fingerprinted(i)) {
            out.findings.push_back({Kind::kUnsigned, i, i, !same_path});
        } else if (!certificate.comparable(i) || !fresh.comparable(i) ||
                   certificate.digest_bytes(i) != fresh.digest_bytes(i)) {
            out.findings.push_back({Kind::kModified, i, i, !same_path});
        }
        if (out.findings.size() != before) ++out.failed_files;
    }
    // Both tables list the same paths at the same places: nothing is missing, new or left over.
    if (!paths_differ) return out;

    PathSet certificate_paths, fresh_paths;
    if (!certificate_paths.fill(certificate, stop) || !fresh_paths.fill(fresh, stop)) return out;
    std::vector<bool> unchecked(certificate.size(), false);
    for (size_t i = 0; i < certificate.size(); ++i) {
        if (stop()) return out;
        if (fresh_paths.contains(certificate.path(i))) continue;
        if (unread && unread->covers(certificate.path(i))) {
            unchecked[i] = true;
            ++out.not_checked;
            continue;
        }
        out.findings.push_back({Kind::kMissing, kNoRow, i});
    }
    for (size_t j = 0; j < fresh.size(); ++j) {
        if (stop()) return out;
        if (!certificate_paths.contains(fresh.path(j)))
            out.findings.push_back({Kind::kNew, j, kNoRow});
    }
    // Past the shorter table, no entry passes unnoticed.
    const bool certificate_longer = certificate.size() > fresh.size();
    const NodeTable& longer = certificate_longer ? certificate : fresh;
    const PathSet& other_paths = certificate_longer ? fresh_paths : certificate_paths;
    for (size_t i = pairs; i < longer.size(); ++i) {
        if (stop()) return out;
        if (certificate_longer && unchecked[i]) continue;
        if (other_paths.contains(longer.path(i)))
            out.findings.push_back(certificate_longer ? Finding{Kind::kOutOfOrder, kNoRow, i}
                                                      : Finding{Kind::kOutOfOrder, i, kNoRow});
        ++out.failed_files;
    }
    return out;
}

}  // namespace mavelin::compare
