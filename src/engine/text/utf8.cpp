// Strict UTF-8 validation with an ASCII fast path; surrogates accepted or refused on request.
#include "engine/text/utf8.h"

#include <cstdint>
#include <cstring>

namespace mavelin::text {

bool is_valid_utf8(std::string_view s, Surrogates surrogates) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const unsigned char* const end = p + s.size();
    while (p < end) {
        if (end - p >= 8) {
            uint64_t word;
            std::memcpy(&word, p, 8);
            if ((word & 0x8080808080808080ULL) == 0) {  // eight ASCII bytes at once
                p += 8;
                continue;
            }
        }
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        // Length of the sequence, and the range its second byte must lie in.
        int len;
        unsigned char lo = 0x80;
        unsigned char hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;                                       // overlong
            if (c == 0xED && surrogates == Surrogates::kReject) hi = 0x9F;  // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;  // overlong
            if (c == 0xF4) hi = 0x8F;  // beyond U+10FFFF
        } else {
            return false;  // continuation byte without a lead, C0, C1, F5..FF
        }
        if (end - p < len) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (int k = 2; k < len; ++k) {
            if ((p[k] & 0xC0) != 0x80) return false;
        }
        p += len;
    }
    return true;
}

}  // namespace mavelin::text
