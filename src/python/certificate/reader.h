// Loading a certificate: the archive member, decoded by the restricted payload reader.
#pragma once

#include <string>

#include "python/capi/handle.h"

namespace mavelin::certificate_reader {

// Outcome of reading the stored node table.
enum class Result {
    kOk,         // `table` holds the node table
    kError,      // a Python exception is set: the archive could not be opened or has no member
    kCorrupted,  // the member's data or the payload is damaged: `why` says how; nothing is set
};

Result load(PyObject* certificate_path, py::Ref& table, std::string& why);

}  // namespace mavelin::certificate_reader
