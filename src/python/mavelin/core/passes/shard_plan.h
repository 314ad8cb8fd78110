// How the files of a pass on a cluster are cut into shards: tasks of about equal bytes.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/fingerprint/fingerprint.h"

namespace mavelin::passes {

// One entry of a shard: a whole file, or chunks first .. first+count-1 of a split one.
struct Piece {
    size_t file;  // index into the list of files planned
    bool range;
    uint64_t first;
    uint64_t count;
    bool last;  // a whole file, or the last range of its file
};

using Shards = std::vector<std::vector<Piece>>;

// A file as one machine of a run sees it: a rewrite or another copy changes at least one field.
// Each entry of a task carries the identity the client saw, and the worker checks the file it
// reads against it.
struct Identity {
    uint64_t size = 0;
    int64_t mtime_ns = 0;
    uint64_t ino = 0;
    bool known = false;  // a regular file that could be examined
    bool operator==(const Identity&) const = default;
};

Identity identity_of(const struct stat& st);
// The identity of root/rel by stat(); not known when it cannot be examined or is no regular file.
Identity identity_at(const std::string& root, const std::string& rel);

// The error a worker gives an entry whose file is not the one sent (before or after its reading).
constexpr int32_t kDrifted = -1;

// Cuts root/rel for every rel of `rels` into shards of about `shard_bytes` bytes of content
// (opening a file counts as some bytes too, and a shard holds a bounded number of files). A file
// of more chunks than a shard holds is cut into chunk-aligned ranges, one shard each, in file
// order. Sizes come from stat() (metadata only); a file that cannot be examined is planned whole
// with size 0, and the worker meets the failure as a local pass would. `ids` receives the
// identity each file was planned with.
Shards cut_shards(const std::string& root, const std::vector<std::string>& rels,
                  const fingerprint::Params& params, uint64_t shard_bytes,
                  std::vector<Identity>& ids);

}  // namespace mavelin::passes
