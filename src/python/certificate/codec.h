// Certificate payload codec: the node table to and from its pickle bytes through the engine's
// writer and reader.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "engine/memory_budget.h"
#include "python/capi/handle.h"

namespace mavelin::certificate {

// Serializes a node table exactly as the host's pickle.dump(table, file) does at protocol 4,
// handing the stream to `sink` piece by piece as it is made, so that a large table is never
// held whole in memory. `sink` returns 0, or -1 with a Python exception set, which ends the
// dump. Returns 0 when the whole stream was handed out; 1 when the table holds anything this
// writer does not reproduce with certainty (nothing is raised; pieces may already have been
// handed out, and the caller starts again with the host's pickle); -1 with a Python exception
// set. `filenode_type` is the class mavelin.core.models.FileNode.
int dump_node_table(PyObject* table, PyObject* filenode_type,
                    const std::function<int(std::string_view)>& sink);

// Decodes a payload into a new dict of FileNode records, built as the host's unpickler
// builds them (no constructor runs; attribute names interned). Accepts the host's own
// streams of such a table at protocols 2 to 5 and nothing else: any other content raises
// ValueError with a short reason. The decoder's tables count against `budget` (optional), and
// a payload they would not fit in is refused. Returns a new reference, or null with an
// exception set.
PyObject* load_node_table(const char* data, std::size_t len, PyObject* filenode_type,
                          memory_budget::Budget* budget = nullptr);

}  // namespace mavelin::certificate
