// CRC-32 on x86-64 with carry-less multiplication (PCLMULQDQ): 64-byte blocks folded, then reduced.
#if defined(__x86_64__)
#include <immintrin.h>

#include "engine/hash/crc32/impl.h"

namespace mavelin::hash::crc32::detail {
namespace {

__attribute__((target("pclmul,sse4.1"))) inline __m128i load(const uint8_t* q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}

// acc * k (both halves) + next: moves the 128 bits of acc forward by the distance k encodes.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i acc, __m128i k, __m128i next) {
    const __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
    const __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

// 16-byte blocks folded into `x1`, the 128 bits of remainder so far, then reduced to 32 bits
// (Barrett). Constants are x^n mod P for the reflected polynomial: fold by 128 bits (k3, k4),
// 64 to 32 bits (k5), then P and mu = x^64 / P. `len` must be a multiple of 16.
__attribute__((target("pclmul,sse4.1"))) uint32_t reduce(__m128i x1, const uint8_t* p, size_t len) {
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009eLL, 0x01751997d0LL);
    const __m128i k5k0 = _mm_set_epi64x(0, 0x0163cd6124LL);
    const __m128i poly = _mm_set_epi64x(0x01f7011641LL, 0x01db710641LL);
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
    while (len >= 16) {
        x1 = fold(x1, k3k4, load(p));
        p += 16;
        len -= 16;
    }

    // 128 -> 64 bits.
    __m128i x = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x);
    // 64 -> 32 bits.
    x = _mm_srli_si128(x1, 4);
    x1 = _mm_and_si128(x1, low32);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(x1, k5k0, 0x00), x);
    // Barrett reduction.
    x = _mm_and_si128(x1, low32);
    x = _mm_clmulepi64_si128(x, poly, 0x10);
    x = _mm_and_si128(x, low32);
    x = _mm_clmulepi64_si128(x, poly, 0x00);
    x1 = _mm_xor_si128(x1, x);
    return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

// Folds 64-byte blocks in four registers (by 512 bits: k1, k2), joins them (by 128 bits: k3, k4)
// and reduces. `len` must be a multiple of 16 and at least 64. Works on the inverted register.
__attribute__((target("pclmul,sse4.1"))) uint32_t fold_pclmul(uint32_t reg, const uint8_t* p,
                                                              size_t len) {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596LL, 0x0154442bd4LL);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009eLL, 0x01751997d0LL);

    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(reg)));
    __m128i x2 = load(p + 16);
    __m128i x3 = load(p + 32);
    __m128i x4 = load(p + 48);
    p += 64;
    len -= 64;

    while (len >= 64) {
        x1 = fold(x1, k1k2, load(p));
        x2 = fold(x2, k1k2, load(p + 16));
        x3 = fold(x3, k1k2, load(p + 32));
        x4 = fold(x4, k1k2, load(p + 48));
        p += 64;
        len -= 64;
    }

    x1 = fold(x1, k3k4, x2);
    x1 = fold(x1, k3k4, x3);
    x1 = fold(x1, k3k4, x4);
    return reduce(x1, p, len);
}

}  // namespace

uint32_t update_pclmul(uint32_t reg, const uint8_t* p, size_t len) {
    if (len >= 64) {
        const size_t bulk = len & ~static_cast<size_t>(15);
        reg = fold_pclmul(reg, p, bulk);
        p += bulk;
        len -= bulk;
    }
    return update_portable(reg, p, len);
}

uint32_t reduce_pclmul(const uint8_t acc[16], const uint8_t* p, size_t len) {
    return reduce(load(acc), p, len);
}

}  // namespace mavelin::hash::crc32::detail
#endif
