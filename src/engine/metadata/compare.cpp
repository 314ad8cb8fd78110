// The metadata checks of a validation: permission bits, owner, group and link targets of the
// stored certificate's files against the fresh walk's, paired by path.
#include "engine/metadata/compare.h"

#include <cstdio>
#include <string_view>
#include <unordered_map>

namespace mavelin::metadata {
namespace {

constexpr char kNoLink[] = "(no link)";

std::string octal_mode(std::uint32_t mode) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
    return buf;
}

// The link targets of the nodes, by node index.
std::unordered_map<std::uint64_t, std::string_view> node_links(const FileStats& stats) {
    std::unordered_map<std::uint64_t, std::string_view> m;
    for (const Link& l : stats.links())
        if (l.node != Link::kNotANode) m.emplace(l.node, l.target);
    return m;
}

}  // namespace

std::vector<Change> compare_metadata(const table::NodeTable& stored, const FileStats& stored_stats,
                                     const table::NodeTable& fresh, const FileStats& fresh_stats) {
    std::vector<Change> changes;
    const auto stored_links = node_links(stored_stats);
    const auto fresh_links = node_links(fresh_stats);
    PathPairing pairing(stored);
    for (std::size_t i = 0; i < fresh.size() && i < fresh_stats.size(); ++i) {
        const std::size_t k = pairing.find(fresh, i);
        if (k >= stored.size() || k >= stored_stats.size()) continue;
        const Record& a = stored_stats[k];
        const Record& b = fresh_stats[i];
        auto add = [&](Change::What what, std::string before, std::string after) {
            changes.push_back(
                {what, std::string(fresh.path(i)), std::move(before), std::move(after)});
        };
        if (!((a.flags | b.flags) & kNoStat)) {
            if ((a.mode & 07777) != (b.mode & 07777))
                add(Change::kMode, octal_mode(a.mode), octal_mode(b.mode));
            if (a.uid != b.uid) add(Change::kOwner, std::to_string(a.uid), std::to_string(b.uid));
            if (a.gid != b.gid) add(Change::kGroup, std::to_string(a.gid), std::to_string(b.gid));
        }
        auto sa = stored_links.find(k);
        auto fb = fresh_links.find(i);
        const bool la = sa != stored_links.end(), lb = fb != fresh_links.end();
        if (la || lb) {
            const std::string_view ta = la ? sa->second : kNoLink;
            const std::string_view tb = lb ? fb->second : kNoLink;
            if (ta != tb || la != lb) add(Change::kLinkTarget, std::string(ta), std::string(tb));
        }
    }
    std::unordered_map<std::string_view, std::string_view> dangling;
    for (const Link& l : stored_stats.links())
        if (l.node == Link::kNotANode) dangling.emplace(l.path, l.target);
    for (const Link& l : fresh_stats.links()) {
        if (l.node != Link::kNotANode) continue;
        auto it = dangling.find(l.path);
        if (it != dangling.end() && it->second != l.target)
            changes.push_back({Change::kLinkTarget, l.path, std::string(it->second), l.target});
    }
    return changes;
}

}  // namespace mavelin::metadata
