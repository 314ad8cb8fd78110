// Text made for the host: ASCII strings without a decoding pass, and the escaped form of a text
// that a log line shows.
#pragma once

#include <cstddef>

#include "python/capi/handle.h"

namespace mavelin::py {

// A str of `n` ASCII characters (no decoding pass).
Ref ascii_text(const char* data, size_t n);

// A text safe to print in a log line: undecodable bytes (surrogate escapes, as \xNN), control
// characters (C0 and DEL as \xNN, C1 as \uNNNN) and U+2028/U+2029 (\uNNNN) are shown as
// backslash escapes, so no reader splits the line; everything else is unchanged.
Ref display_text(PyObject* text);

}  // namespace mavelin::py
