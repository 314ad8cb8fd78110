// Loading a certificate: the archive member, decoded by the restricted payload reader.
#pragma once

#include <string>

#include "engine/table/node_table.h"
#include "python/capi/handle.h"

namespace mavelin::certificate {

// Outcome of reading the stored node table.
enum class Result {
    kOk,         // `table` holds the node table
    kError,      // a Python exception is set: the archive could not be opened or has no member
    kCorrupted,  // the member's data or the payload is damaged: `why` says how; nothing is set
};

// `node_class` is the FileNode class the records are built as.
Result load(PyObject* certificate_path, PyObject* node_class, py::Ref& table, std::string& why);

// The stored node table in compact form: 1 when the archive and its payload are sound and the
// table fits that form (as the signer writes it, in any protocol the host writes). Else 0 with
// nothing set, and load() reads the certificate and gives its verdict; -1 with the exception
// set that a signal handler raised (KeyboardInterrupt for Ctrl-C) when it cut the read short.
int load_table(PyObject* certificate_path, table::NodeTable& table);

}  // namespace mavelin::certificate
