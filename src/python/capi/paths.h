// Paths between Python and the engine: file names encoded and decoded as the host does, joined
// as posixpath joins them.
#pragma once

#include <string>
#include <string_view>

#include "python/capi/handle.h"

namespace mavelin::py {

// posixpath.join(a, b) for a str/bytes/path-like `a`, `b` a str or another object.
Ref join(PyObject* a, PyObject* b);
Ref join(PyObject* a, const char* b);
// Text form of a path as the host decodes file names (surrogate escapes kept).
Ref decode_path(std::string_view bytes);
// Bytes of a str / path-like object as the host encodes file names. -1 with exception.
int encode_path(PyObject* path, std::string& out);

}  // namespace mavelin::py
