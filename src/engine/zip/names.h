// Member-name encodings of ZIP archives (ASCII, code page 437; UTF-8 is checked by text/utf8.h) and
// their quoted display forms.
#pragma once

#include <string>
#include <string_view>

namespace mavelin::zip {

bool is_ascii(std::string_view s);

// The historical ZIP name encoding, code page 437, decoded to UTF-8 (every byte is valid).
std::string cp437_to_utf8(std::string_view s);

// A member name as the host's repr() of a text shows it: 'name' (or "name" when it holds a
// single quote and no double quote), with backslashes and control characters escaped.
std::string quote_text(std::string_view utf8);
// The same for raw bytes, as repr() of a bytes value: b'...', bytes above 0x7E escaped as \xNN.
std::string quote_bytes(std::string_view raw);

}  // namespace mavelin::zip
