// Text made for the host: ASCII strings without a decoding pass, and the escaped form of a text
// that a log line shows.
#include "python/capi/text.h"

#include <cstring>
#include <string>

namespace mavelin::py {

Ref ascii_text(const char* data, size_t n) {
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
    if (text) std::memcpy(PyUnicode_DATA(text.get()), data, n);
    return text;
}

Ref display_text(PyObject* text) {
    Ref str = Ref::steal(PyObject_Str(text));
    if (!str) return {};
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str.get());
    const int kind = PyUnicode_KIND(str.get());
    const void* data = PyUnicode_DATA(str.get());
    // Control characters (C0, DEL, C1) and the line and paragraph separators: every character
    // that some reader takes as the end of a line (str.splitlines takes 0x0a-0x0d, 0x1c-0x1e,
    // 0x85, U+2028 and U+2029).
    auto escaped = [](Py_UCS4 c) {
        return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029 ||
               (c >= 0xd800 && c <= 0xdfff);
    };
    bool plain = true;
    for (Py_ssize_t i = 0; i < n && plain; ++i) plain = !escaped(PyUnicode_READ(kind, data, i));
    if (plain) return str;
    std::u32string out;
    out.reserve(static_cast<size_t>(n) + 16);
    auto append_hex = [&out](const char* prefix, unsigned value, int digits) {
        for (const char* p = prefix; *p; ++p) out.push_back(static_cast<char32_t>(*p));
        for (int d = digits - 1; d >= 0; --d)
            out.push_back(static_cast<char32_t>("0123456789abcdef"[(value >> (4 * d)) & 0xf]));
    };
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\n') {
            out += U"\\n";
        } else if (c == '\t') {
            out += U"\\t";
        } else if (c == '\r') {
            out += U"\\r";
        } else if (c >= 0xdc80 && c <= 0xdcff) {
            append_hex("\\x", c - 0xdc00, 2);  // an undecodable byte of the file name
        } else if (c < 0x20 || c == 0x7f) {
            append_hex("\\x", c, 2);
        } else if (escaped(c)) {
            // Other surrogates, C1 controls and U+2028/U+2029: \uNNNN, never read as bytes.
            append_hex("\\u", c, 4);
        } else {
            out.push_back(static_cast<char32_t>(c));
        }
    }
    return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(),
                                                static_cast<Py_ssize_t>(out.size())));
}

}  // namespace mavelin::py
