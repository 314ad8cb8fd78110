// Strict UTF-8 validation as the host's decoder does it, with or without lone surrogates. Its own
// folder because archive member names and pickled strings both need it, and neither the ZIP nor
// the pickle code should depend on the other.
#pragma once

#include <string_view>

namespace mavelin::text {

// Whether encoded surrogate code points (U+D800..U+DFFF, ED A0..BF xx) count as valid: the
// "strict" decoder refuses them, the "surrogatepass" error handler lets them through.
enum class Surrogates { kReject, kAllow };

// Whether `s` is UTF-8 the host decodes without error: no overlong forms, nothing beyond
// U+10FFFF, no truncated or stray sequences, surrogates as `surrogates` says.
bool is_valid_utf8(std::string_view s, Surrogates surrogates = Surrogates::kReject) noexcept;

}  // namespace mavelin::text
