// Loading a certificate: the archive member, decoded by the restricted payload reader.
#pragma once

#include "python/capi/handle.h"

namespace mavelin::certificate_reader {

// Outcome of reading the stored node table.
enum class Result {
    kOk,         // `table` holds the node table
    kError,      // a Python exception is set: the archive could not be opened or has no member
    kCorrupted,  // the member's data or the payload is damaged; no exception is set
};

Result load(PyObject* certificate_path, py::Ref& table);

}  // namespace mavelin::certificate_reader
