// Node paths between the raw bytes of the walk and the text the certificate stores (UTF-8, bytes
// that are not UTF-8 as escaped surrogates).
#include "engine/table/path_text.h"

#include <cstdint>

namespace mavelin::table {

namespace {

bool cont(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Length of the well-formed UTF-8 sequence (no surrogates, no overlong forms) at s[i], or 0.
std::size_t strict_sequence(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const std::size_t left = s.size() - i;
    const unsigned char c = b(0);
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return left >= 2 && cont(b(1)) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (left < 3 || !cont(b(1)) || !cont(b(2))) return 0;
        if (c == 0xE0 && b(1) < 0xA0) return 0;   // overlong
        if (c == 0xED && b(1) >= 0xA0) return 0;  // surrogate
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (left < 4 || !cont(b(1)) || !cont(b(2)) || !cont(b(3))) return 0;
        if (c == 0xF0 && b(1) < 0x90) return 0;   // overlong
        if (c == 0xF4 && b(1) >= 0x90) return 0;  // beyond U+10FFFF
        return 4;
    }
    return 0;
}

bool is_ascii(std::string_view s) {
    for (char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

}  // namespace

void append_path_text(std::string_view raw, std::string& out) {
    if (is_ascii(raw)) {
        out.append(raw);
        return;
    }
    for (std::size_t i = 0; i < raw.size();) {
        const std::size_t n = strict_sequence(raw, i);
        if (n != 0) {
            out.append(raw.substr(i, n));
            i += n;
            continue;
        }
        // U+DC00 + byte, in its 3-byte form.
        const unsigned cp = 0xDC00u + static_cast<unsigned char>(raw[i]);
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        ++i;
    }
}

bool path_from_text(std::string_view text, std::string& out) {
    out.clear();
    if (is_ascii(text)) {
        out.assign(text);
        return true;
    }
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == 0xED && i + 2 < text.size() && cont(text[i + 1]) && cont(text[i + 2]) &&
            static_cast<unsigned char>(text[i + 1]) >= 0xA0) {
            const unsigned cp = 0xD000u | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
                                (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
            if (cp < 0xDC80 || cp > 0xDCFF) return false;  // not an escaped byte
            out.push_back(static_cast<char>(cp - 0xDC00));
            i += 3;
            continue;
        }
        const std::size_t n = strict_sequence(text, i);
        if (n == 0) return false;
        out.append(text.substr(i, n));
        i += n;
    }
    // Escaped bytes that together form a character would read back as that character.
    std::string back;
    back.reserve(text.size());
    append_path_text(out, back);
    return back == text;
}

}  // namespace mavelin::table
