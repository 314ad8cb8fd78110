// How the files of a pass on a cluster are cut into shards: tasks of about equal bytes.
#pragma once

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

// Cuts root/rel for every rel of `rels` into shards of about `shard_bytes` bytes of content
// (opening a file counts as some bytes too, and a shard holds a bounded number of files). A file
// of more chunks than a shard holds is cut into chunk-aligned ranges, one shard each, in file
// order. Sizes come from stat() (metadata only); a file that cannot be examined is planned whole
// with size 0, and the worker meets the failure as a local pass would. `sizes` receives the size
// each file was planned with.
Shards cut_shards(const std::string& root, const std::vector<std::string>& rels,
                  const fingerprint::Params& params, uint64_t shard_bytes,
                  std::vector<uint64_t>& sizes);

}  // namespace mavelin::passes
