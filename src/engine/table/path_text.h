// Node paths between the raw bytes of the walk and the text the certificate stores (UTF-8, bytes
// that are not UTF-8 as escaped surrogates).
#pragma once

#include <string>
#include <string_view>

namespace mavelin::table {

// Appends the stored text of a raw path: the path decoded as the host decodes file names
// (UTF-8, each byte of an invalid sequence as the lone surrogate U+DC80..U+DCFF) and written as
// UTF-8 with surrogates in their 3-byte form, as the host's pickle writes text.
void append_path_text(std::string_view raw, std::string& out);

// The raw path whose stored text is `text`, into `out`. False when there is none (`text` is
// not UTF-8 in that form, holds another lone surrogate, or escaped bytes that would read back
// as a character): such a text is never the path of a file the walk finds.
bool path_from_text(std::string_view text, std::string& out);

}  // namespace mavelin::table
