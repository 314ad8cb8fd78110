// Pairing the certificate's node table with a fresh one entry by entry, in table order.
#pragma once

#include <atomic>

#include "engine/compare/node_join.h"
#include "engine/table/node_table.h"

namespace mavelin::compare {

// Node i of the certificate meets node i of the fresh table, for every i below the shorter
// table's size. A pair is not authentic when the ids or the paths differ, and out of order when
// the paths differ (both findings then carry paths_differ); then, as in join_by_path, at most one
// of kUnreadable, kUnsigned and kModified. Each pair with a finding is one failed file.
//
// Then every difference in the set of paths is named: each certificate node whose path no fresh
// node has is kMissing (in certificate order), unless it lies below a folder of `unread`
// (optional), when it is counted in not_checked; each fresh node whose path no certificate node
// has is kNew (in fresh order). Last, each node of the longer table past the shorter one's size
// is one failed file (a certificate node not checked excepted), and kOutOfOrder (on its own row
// only) when the other table holds its path at another place.
//
// Fingerprints are equal when their digest_bytes() are. Time is linear in the tables; the two
// sets of paths cost a hash entry per node, and are only built when some path differs.
// Once `cancel` (optional) is set, returns within a few thousand nodes with the comparison
// unfinished, for the caller to drop. Throws std::bad_alloc.
Comparison join_by_position(const table::NodeTable& certificate, const table::NodeTable& fresh,
                            const std::atomic<bool>* cancel = nullptr,
                            const FolderSet* unread = nullptr);

}  // namespace mavelin::compare
