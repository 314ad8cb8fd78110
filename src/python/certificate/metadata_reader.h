// Reading the metadata member Certificate.files of a certificate, for re-signing and for the
// metadata checks of a validation.
#pragma once

#include <Python.h>

#include <string>

#include "engine/metadata/file_stats.h"

namespace mavelin::certificate {

// The member Certificate.files of the certificate at `path` into `out`: 1; 0 when it cannot be
// had, `why` saying why in a few words (no such certificate, no such member, damaged); -1 with
// an exception set (KeyboardInterrupt, or a path that cannot be encoded).
int load_metadata(PyObject* path, metadata::FileStats& out, std::string& why);

}  // namespace mavelin::certificate
