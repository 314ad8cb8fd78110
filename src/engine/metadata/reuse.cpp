// Re-signing from the stat data of the last signing: which fingerprints of the stored table can be
// taken over for the nodes of a fresh walk, and which files must be read again.
#include "engine/metadata/reuse.h"

#include "engine/metadata/path_pairing.h"

namespace mavelin::metadata {

bool unchanged(const Record& before, const Record& now, std::int64_t taken_ns) noexcept {
    if ((before.flags | now.flags) & kNoStat) return false;
    if (!S_ISREG(now.mode) || !S_ISREG(before.mode)) return false;
    if (before.size != now.size || before.mtime_ns != now.mtime_ns ||
        before.ctime_ns != now.ctime_ns || before.dev != now.dev || before.ino != now.ino)
        return false;
    const std::int64_t safe = taken_ns - kRacyMarginNs;
    return now.mtime_ns < safe && now.ctime_ns < safe;
}

std::size_t reuse_fingerprints(table::NodeTable& fresh, const FileStats& fresh_stats,
                               const table::NodeTable& stored, const FileStats& stored_stats,
                               std::vector<std::size_t>& reread) {
    fresh.prepare_fingerprints();
    PathPairing pairing(stored);
    const bool comparable = stored.rows() == fresh.rows() && stored_stats.size() == stored.size();
    std::size_t reused = 0;
    for (std::size_t i = 0; i < fresh.size(); ++i) {
        const std::size_t k = comparable ? pairing.find(fresh, i) : stored.size();
        const table::Digest* fp = k < stored.size() ? stored.fingerprint(k) : nullptr;
        if (fp && unchanged(stored_stats[k], fresh_stats[i], stored_stats.taken_ns)) {
            fresh.set_fingerprint(i, fp);
            ++reused;
        } else {
            reread.push_back(i);
        }
    }
    return reused;
}

}  // namespace mavelin::metadata
