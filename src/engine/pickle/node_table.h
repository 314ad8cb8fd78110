// Shape check of a decoded certificate payload: the node table and its FileNode states, nothing
// else.
#pragma once

#include "engine/pickle/reader.h"

namespace mavelin::pickle {

// Checks that the decoded root is a dict of distinct str keys to built FileNode objects whose
// state holds "id" (int) and "file_path" (str) and optionally "_FileNode__hash_fingerprint"
// (a list of lists of str), each once and nothing else. Time is linear in the decoded size,
// shared objects are checked once. Never throws.
Status check_node_table(const Decoded& d);

}  // namespace mavelin::pickle
