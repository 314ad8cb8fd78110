// The walk of a tree spread over a Dask cluster: subtrees walked and fingerprinted by the
// workers, their rows spliced in walk order into this machine's node table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/fingerprint/fingerprint.h"
#include "engine/fs/tree_walk.h"
#include "engine/table/fill.h"
#include "engine/table/node_table.h"
#include "python/capi/handle.h"

namespace mavelin::passes {

// What the spliced walk gives: what table::scan_tree and table::fill_fingerprints give on this
// machine, byte for byte, except for the files too large for one task (`large`, ascending: in
// the table without fingerprint, for the range tasks of fingerprint_on_cluster).
struct SplicedWalk {
    table::NodeTable nodes;
    std::vector<fs::WalkError> errors;
    std::vector<fs::LeftOutFolder> left_out;
    std::vector<std::string> dangling;
    std::vector<table::FillFailure> failures;
    std::vector<std::size_t> large;
    std::uint64_t bytes = 0;
};

// Walks and fingerprints the tree `root` on the cluster `cluster` ((distributed.Client, logger)).
// This machine lists the top folder only; the workers walk subtrees with the walk of this
// machine (mavelin.core._shards.walk_subtree), each task stopping after a budget of files and
// handing the folders it did not enter back, which become tasks of their own in their place.
// Each task's result is one bytes object of rows in walk order, read into `out` in task order
// as it comes, with a bounded number of tasks submitted ahead; the table and one result are all
// this machine holds.
//
// Every task carries the root's inode as this machine saw it, and each folder handed on the
// inode its lister saw; the first task's listing of the top is compared with this machine's. A
// worker that sees otherwise fails the run with one ERROR line naming it (or saying that the
// folder changed, when this machine now sees it otherwise too). -1 with an exception set
// (KeyboardInterrupt: the tasks still pending are cancelled; SystemExit(1) after an ERROR line).
int walk_on_cluster(PyObject* cluster, const std::string& root, const fingerprint::Params& params,
                    unsigned threads, const fs::SkippedFiles* skipped, SplicedWalk& out);

}  // namespace mavelin::passes
