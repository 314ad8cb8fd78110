// Certificate payload codec: a table of records into the compact form the engine's payload writer
// takes, and a payload into records through the engine's reader.
#pragma once

#include <cstddef>
#include <string>

#include "engine/memory_budget.h"
#include "engine/table/node_table.h"
#include "python/capi/handle.h"

namespace mavelin::certificate {

// The compact form of a node table of records, when the host's pickle.dumps(table, 4) of it is
// byte for byte table::write_payload's of that form: a dict whose keys are "node_id_1",
// "node_id_2" ... in order, of records of exactly `filenode_type` (mavelin.core.models.FileNode,
// which the host pickles by module and name, with no hook that changes how) that hold id (an int
// of 64 bits), file_path (a path a walk can give) and, for some, a fingerprint in the scan's form
// with the same number of rows for all; no object occurring twice in the table but the class's
// names and the records' attribute names (the same objects in every record). 1 with `out`
// holding it; 0 when the table has any other shape (the host's pickle then writes it); -1 with
// a Python exception set. No Python code runs while it reads the table.
int compact_form(PyObject* table, PyObject* filenode_type, table::NodeTable& out);

// Decodes a payload into a new dict of FileNode records, built as the host's unpickler
// builds them (no constructor runs; attribute names interned). Accepts the host's own
// streams of such a table at protocols 2 to 5 and nothing else: any other content raises
// ValueError with a short reason. The decoder's tables count against `budget` (optional), and
// a payload they would not fit in is refused. Returns a new reference, or null with an
// exception set.
PyObject* load_node_table(const char* data, std::size_t len, PyObject* filenode_type,
                          memory_budget::Budget* budget = nullptr);

}  // namespace mavelin::certificate
