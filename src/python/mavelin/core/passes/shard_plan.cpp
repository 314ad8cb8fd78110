// How the files of a pass on a cluster are cut into shards: tasks of about equal bytes.
#include "python/mavelin/core/passes/shard_plan.h"

#include <sys/stat.h>

#include <algorithm>

#include "engine/fs/file_io.h"

namespace mavelin::passes {
namespace {

constexpr uint64_t kFileWeight = uint64_t{16} << 10;  // what opening one file costs, in bytes
constexpr size_t kMaxShardFiles = 4096;

}  // namespace

Identity identity_of(const struct stat& st) {
    Identity id;
    id.size = static_cast<uint64_t>(st.st_size);
    id.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id.ino = static_cast<uint64_t>(st.st_ino);
    id.known = true;
    return id;
}

Identity identity_at(const std::string& root, const std::string& rel) {
    struct stat st {};
    const std::string path = fs::posix_join(root, rel);
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    return identity_of(st);
}

Shards cut_shards(const std::string& root, const std::vector<std::string>& rels,
                  const fingerprint::Params& params, uint64_t shard_bytes,
                  std::vector<Identity>& ids) {
    const uint64_t range_chunks =
        std::max<uint64_t>(1, shard_bytes / static_cast<uint64_t>(params.chunk_size));
    Shards shards(1);
    ids.assign(rels.size(), {});
    uint64_t weight = 0;
    auto close_shard = [&] {
        if (!shards.back().empty()) shards.emplace_back();
        weight = 0;
    };
    for (size_t i = 0; i < rels.size(); ++i) {
        ids[i] = identity_at(root, rels[i]);
        const uint64_t size = ids[i].size;
        const uint64_t n = fingerprint::chunk_count(size, params.chunk_size);
        if (n > range_chunks) {  // a large file: one shard per range
            close_shard();
            for (uint64_t first = 0; first < n; first += range_chunks) {
                const uint64_t count = std::min(range_chunks, n - first);
                shards.back().push_back({i, true, first, count, first + count == n});
                close_shard();
            }
            continue;
        }
        shards.back().push_back({i, false, 0, 0, true});
        weight += size + kFileWeight;
        if (weight >= shard_bytes || shards.back().size() >= kMaxShardFiles) close_shard();
    }
    if (shards.back().empty()) shards.pop_back();
    return shards;
}

}  // namespace mavelin::passes
