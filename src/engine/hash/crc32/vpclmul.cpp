// CRC-32 on x86-64 with carry-less multiplication of whole AVX-512 vectors (VPCLMULQDQ): 256-byte
// blocks folded in four registers, then joined and handed to the 128-bit reduction.
#if defined(__x86_64__)
// GCC 12 takes the deliberately undefined pass-through vectors of the unmasked AVX-512 intrinsics
// for uninitialised variables.
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)  // a GCC-only warning group; clang's tools refuse the name
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "engine/hash/crc32/impl.h"

#define MAVELIN_VPCLMUL __attribute__((target("vpclmulqdq,avx512f,avx512vl,pclmul,sse4.1")))

namespace mavelin::hash::crc32::detail {
namespace {

MAVELIN_VPCLMUL inline __m512i load(const uint8_t* q) {
    return _mm512_loadu_si512(q);
}

// The same constants in all four 128-bit lanes: x^(d+32) mod P for the low halves, x^(d-32)
// mod P for the high halves (reflected, shifted left by one), which fold by d bits.
MAVELIN_VPCLMUL inline __m512i lanes_of(long long low, long long high) {
    return _mm512_broadcast_i32x4(_mm_set_epi64x(high, low));
}

// Each 128-bit lane of acc moved forward by the distance k encodes, plus next.
MAVELIN_VPCLMUL inline __m512i fold(__m512i acc, __m512i k, __m512i next) {
    const __m512i lo = _mm512_clmulepi64_epi128(acc, k, 0x00);
    const __m512i hi = _mm512_clmulepi64_epi128(acc, k, 0x11);
    return _mm512_ternarylogic_epi64(lo, hi, next, 0x96);  // lo ^ hi ^ next
}

MAVELIN_VPCLMUL inline __m128i fold_lane(__m128i lane, long long low, long long high) {
    const __m128i k = _mm_set_epi64x(high, low);
    return _mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x00), _mm_clmulepi64_si128(lane, k, 0x11));
}

// `len` a multiple of 64, at least 256: the 128 bits of remainder after folding it all, stored
// in `acc`.
MAVELIN_VPCLMUL void fold_vpclmul(uint32_t reg, const uint8_t* p, size_t len, uint8_t acc[16]) {
    const __m512i by2048 = lanes_of(0x011542778a, 0x01322d1430);
    const __m512i by512 = lanes_of(0x0154442bd4, 0x01c6e41596);

    __m512i x0 =
        _mm512_xor_si512(load(p), _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(reg))));
    __m512i x1 = load(p + 64), x2 = load(p + 128), x3 = load(p + 192);
    p += 256;
    len -= 256;
    while (len >= 256) {
        x0 = fold(x0, by2048, load(p));
        x1 = fold(x1, by2048, load(p + 64));
        x2 = fold(x2, by2048, load(p + 128));
        x3 = fold(x3, by2048, load(p + 192));
        p += 256;
        len -= 256;
    }
    x0 = fold(x0, by512, x1);
    x0 = fold(x0, by512, x2);
    x0 = fold(x0, by512, x3);
    while (len >= 64) {
        x0 = fold(x0, by512, load(p));
        p += 64;
        len -= 64;
    }
    // The four lanes onto the last: by 384, 256 and 128 bits.
    __m128i x = _mm512_extracti32x4_epi32(x0, 3);
    x = _mm_xor_si128(x, fold_lane(_mm512_castsi512_si128(x0), 0x003db1ecdc, 0x0174359406));
    x = _mm_xor_si128(x, fold_lane(_mm512_extracti32x4_epi32(x0, 1), 0x00f1da05aa, 0x015a546366));
    x = _mm_xor_si128(x, fold_lane(_mm512_extracti32x4_epi32(x0, 2), 0x01751997d0, 0x00ccaa009e));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(acc), x);
}

}  // namespace

uint32_t update_vpclmul(uint32_t reg, const uint8_t* p, size_t len) {
    if (len < 256) return update_pclmul(reg, p, len);
    const size_t wide = len & ~static_cast<size_t>(63);
    const size_t rest16 = (len - wide) & ~static_cast<size_t>(15);
    alignas(16) uint8_t acc[16];
    fold_vpclmul(reg, p, wide, acc);
    reg = reduce_pclmul(acc, p + wide, rest16);
    return update_portable(reg, p + wide + rest16, len - wide - rest16);
}

}  // namespace mavelin::hash::crc32::detail
#endif
