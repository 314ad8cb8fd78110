// Shape check of a decoded certificate payload: the node table and its FileNode states, nothing
// else.
#pragma once

#include <atomic>

#include "engine/pickle/reader.h"

namespace mavelin::pickle {

// Checks that the decoded root is a dict of distinct str keys (without lone surrogates) to built
// FileNode objects whose
// state holds "id" (int) and "file_path" (str) and optionally "_FileNode__hash_fingerprint"
// (a list of lists of str), each once and nothing else. Time is linear in the decoded size,
// shared objects are checked once. Never throws. Once `cancel` (optional) is set, the check stops
// within a few thousand nodes and fails with the reason "interrupted".
Status check_node_table(const Decoded& d, const std::atomic<bool>* cancel = nullptr);

}  // namespace mavelin::pickle
