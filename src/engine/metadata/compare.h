// The metadata checks of a validation: permission bits, owner, group and link targets of the
// stored certificate's files against the fresh walk's, paired by path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/metadata/file_stats.h"
#include "engine/metadata/path_pairing.h"
#include "engine/table/node_table.h"

namespace mavelin::metadata {

// One difference. `path`: the node path (raw bytes); `before`/`after`: the values as shown
// ("0644", "1000", a link's target text, "(no link)").
struct Change {
    enum What { kMode, kOwner, kGroup, kLinkTarget } what = kMode;
    std::string path;
    std::string before;
    std::string after;
};

// The differences between the stored records (`stored_stats`, one per node of `stored`, and
// their links) and the fresh ones, for every path present in both: the nodes' permission bits,
// owners, groups and link targets, then the targets of the links that are no node. In the fresh
// walk's order. Throws std::bad_alloc.
std::vector<Change> compare_metadata(const table::NodeTable& stored, const FileStats& stored_stats,
                                     const table::NodeTable& fresh, const FileStats& fresh_stats);

}  // namespace mavelin::metadata
