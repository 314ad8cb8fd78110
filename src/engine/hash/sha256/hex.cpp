// Lowercase hexadecimal form of digests and back: 16 characters per SSE2 step, a table otherwise.
#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/hash/sha256/impl.h"

namespace mavelin::hash::sha256 {
namespace detail {

void to_hex_portable(const Digest& digest, char out[64]) {
    // The two digits of every byte value, looked up at once.
    static constexpr std::array<char, 512> kPairs = [] {
        constexpr char kDigits[] = "0123456789abcdef";
        std::array<char, 512> t{};
        for (size_t b = 0; b < 256; ++b) {
            t[2 * b] = kDigits[b >> 4];
            t[2 * b + 1] = kDigits[b & 15];
        }
        return t;
    }();
    for (size_t i = 0; i < digest.size(); ++i)
        std::memcpy(out + 2 * i, &kPairs[2 * size_t{digest[i]}], 2);
}

bool from_hex_portable(const char* text, Digest& out) {
    // The value of each lowercase hex digit, 0x10 for every other byte: one lookup per character
    // and no branch, as digests are random and a branch per digit would be mispredicted often.
    static constexpr std::array<uint8_t, 256> kValue = [] {
        std::array<uint8_t, 256> t{};
        for (auto& v : t) v = 0x10;
        for (int c = '0'; c <= '9'; ++c) t[static_cast<size_t>(c)] = static_cast<uint8_t>(c - '0');
        for (int c = 'a'; c <= 'f'; ++c)
            t[static_cast<size_t>(c)] = static_cast<uint8_t>(c - 'a' + 10);
        return t;
    }();
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    unsigned bad = 0;
    for (size_t k = 0; k < out.size(); ++k) {
        const unsigned hi = kValue[p[2 * k]], lo = kValue[p[2 * k + 1]];
        bad |= hi | lo;
        out[k] = static_cast<uint8_t>(hi << 4 | (lo & 0xF));
    }
    return (bad & 0x10) == 0;
}

}  // namespace detail

#if defined(__SSE2__)
namespace {

// The 32 digits of 16 bytes: nibbles interleaved high first, then 0-9 -> '0'-'9', 10-15 -> 'a'-'f'.
inline void hex_of_16(const uint8_t* in, char* out) {
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i hi = _mm_and_si128(_mm_srli_epi16(x, 4), nibble);
    const __m128i lo = _mm_and_si128(x, nibble);
    const __m128i nine = _mm_set1_epi8(9), zero = _mm_set1_epi8('0');
    const __m128i letters = _mm_set1_epi8('a' - '0' - 10);
    for (int half = 0; half < 2; ++half) {
        const __m128i n = half == 0 ? _mm_unpacklo_epi8(hi, lo) : _mm_unpackhi_epi8(hi, lo);
        const __m128i c =
            _mm_add_epi8(_mm_add_epi8(n, zero), _mm_and_si128(_mm_cmpgt_epi8(n, nine), letters));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * half), c);
    }
}

// The value of each of 16 characters (0-15) and, in `valid`, 0xFF where it is a lowercase hex
// digit. The subtractions wrap, so every byte outside '0'-'9' (or 'a'-'f') lands outside 0-9
// (or 0-5) when compared as signed.
inline __m128i digit_values(__m128i c, __m128i& valid) {
    const __m128i minus_one = _mm_set1_epi8(-1);
    const __m128i d = _mm_sub_epi8(c, _mm_set1_epi8('0'));
    const __m128i is_digit =
        _mm_and_si128(_mm_cmpgt_epi8(d, minus_one), _mm_cmplt_epi8(d, _mm_set1_epi8(10)));
    const __m128i a = _mm_sub_epi8(c, _mm_set1_epi8('a'));
    const __m128i is_letter =
        _mm_and_si128(_mm_cmpgt_epi8(a, minus_one), _mm_cmplt_epi8(a, _mm_set1_epi8(6)));
    valid = _mm_or_si128(is_digit, is_letter);
    return _mm_or_si128(_mm_and_si128(is_digit, d),
                        _mm_and_si128(is_letter, _mm_add_epi8(a, _mm_set1_epi8(10))));
}

// 16 digit values as 8 bytes in the low half of each 16-bit lane: first << 4 | second.
inline __m128i pair_up(__m128i v) {
    const __m128i first = _mm_and_si128(v, _mm_set1_epi16(0x00FF));
    return _mm_or_si128(_mm_slli_epi16(first, 4), _mm_srli_epi16(v, 8));
}

}  // namespace

void to_hex(const Digest& digest, char out[64]) {
    hex_of_16(digest.data(), out);
    hex_of_16(digest.data() + 16, out + 32);
}

bool from_hex(const char* text, Digest& out) {
    __m128i valid_all = _mm_set1_epi8(-1);
    for (int half = 0; half < 2; ++half) {
        __m128i pairs[2];
        for (int q = 0; q < 2; ++q) {
            const __m128i c =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 32 * half + 16 * q));
            __m128i valid;
            pairs[q] = pair_up(digit_values(c, valid));
            valid_all = _mm_and_si128(valid_all, valid);
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out.data() + 16 * half),
                         _mm_packus_epi16(pairs[0], pairs[1]));
    }
    return _mm_movemask_epi8(valid_all) == 0xFFFF;
}

#else

void to_hex(const Digest& digest, char out[64]) {
    detail::to_hex_portable(digest, out);
}

bool from_hex(const char* text, Digest& out) {
    return detail::from_hex_portable(text, out);
}

#endif

}  // namespace mavelin::hash::sha256
