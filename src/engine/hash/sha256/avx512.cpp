// SHA-256 block functions on AVX-512: 16 messages side by side, one per 32-bit element; fewer
// messages go to the SHA-NI block functions (or the portable ones on a CPU without them).
// GCC 12 takes the deliberately undefined pass-through vectors of the unmasked AVX-512 intrinsics
// for uninitialised variables.
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)  // a GCC-only warning group; clang's tools refuse the name
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "engine/hash/sha256/impl.h"

#define MAVELIN_AVX512 __attribute__((target("avx512f,avx512bw")))

namespace mavelin::hash::sha256::detail {
namespace {

constexpr int kLanes = 16;

// 16 x 16 transpose of 32-bit elements: r[i] holds row i on entry and column i on exit.
MAVELIN_AVX512 inline void transpose16(__m512i* r) {
    __m512i t[16];
#pragma GCC unroll 8
    for (int i = 0; i < 16; i += 2) {
        t[i] = _mm512_unpacklo_epi32(r[i], r[i + 1]);
        t[i + 1] = _mm512_unpackhi_epi32(r[i], r[i + 1]);
    }
#pragma GCC unroll 4
    for (int i = 0; i < 16; i += 4) {
        r[i] = _mm512_unpacklo_epi64(t[i], t[i + 2]);
        r[i + 1] = _mm512_unpackhi_epi64(t[i], t[i + 2]);
        r[i + 2] = _mm512_unpacklo_epi64(t[i + 1], t[i + 3]);
        r[i + 3] = _mm512_unpackhi_epi64(t[i + 1], t[i + 3]);
    }
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
        t[i] = _mm512_shuffle_i32x4(r[i], r[i + 4], 0x88);
        t[i + 4] = _mm512_shuffle_i32x4(r[i], r[i + 4], 0xDD);
        t[i + 8] = _mm512_shuffle_i32x4(r[i + 8], r[i + 12], 0x88);
        t[i + 12] = _mm512_shuffle_i32x4(r[i + 8], r[i + 12], 0xDD);
    }
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
        r[i] = _mm512_shuffle_i32x4(t[i], t[i + 8], 0x88);
        r[i + 8] = _mm512_shuffle_i32x4(t[i], t[i + 8], 0xDD);
        r[i + 4] = _mm512_shuffle_i32x4(t[i + 4], t[i + 12], 0x88);
        r[i + 12] = _mm512_shuffle_i32x4(t[i + 4], t[i + 12], 0xDD);
    }
}

MAVELIN_AVX512 inline __m512i add(__m512i a, __m512i b) {
    return _mm512_add_epi32(a, b);
}

// x ^ y ^ z in one instruction.
MAVELIN_AVX512 inline __m512i xor3(__m512i x, __m512i y, __m512i z) {
    return _mm512_ternarylogic_epi32(x, y, z, 0x96);
}

// The eight state words of 16 messages, word i of message l in element l of v[i].
struct Lanes {
    __m512i v[8];
};

MAVELIN_AVX512 inline Lanes load_states(uint32_t* const* states) {
    alignas(64) uint32_t words[8][kLanes];
    for (int l = 0; l < kLanes; ++l)
        for (int i = 0; i < 8; ++i) words[i][l] = states[l][i];
    Lanes s;
    for (int i = 0; i < 8; ++i) s.v[i] = _mm512_load_si512(words[i]);
    return s;
}

MAVELIN_AVX512 inline void store_states(const Lanes& s, uint32_t* const* states) {
    alignas(64) uint32_t words[8][kLanes];
    for (int i = 0; i < 8; ++i) _mm512_store_si512(words[i], s.v[i]);
    for (int l = 0; l < kLanes; ++l)
        for (int i = 0; i < 8; ++i) states[l][i] = words[i][l];
}

// The 64 rounds of one block for all 16 messages. `wk(t)` gives W[t] + K[t] and may extend the
// message schedule as it goes (rounds ask for t in increasing order).
template <typename WK>
MAVELIN_AVX512 inline void rounds(Lanes& s, WK&& wk) {
    __m512i a = s.v[0], b = s.v[1], c = s.v[2], d = s.v[3];
    __m512i e = s.v[4], f = s.v[5], g = s.v[6], h = s.v[7];
#pragma GCC unroll 64
    for (int t = 0; t < 64; ++t) {
        const __m512i s1 =
            xor3(_mm512_ror_epi32(e, 6), _mm512_ror_epi32(e, 11), _mm512_ror_epi32(e, 25));
        const __m512i ch = _mm512_ternarylogic_epi32(e, f, g, 0xCA);  // e ? f : g
        const __m512i t1 = add(add(h, s1), add(ch, wk(t)));
        const __m512i s0 =
            xor3(_mm512_ror_epi32(a, 2), _mm512_ror_epi32(a, 13), _mm512_ror_epi32(a, 22));
        const __m512i maj = _mm512_ternarylogic_epi32(a, b, c, 0xE8);  // majority
        h = g;
        g = f;
        f = e;
        e = add(d, t1);
        d = c;
        c = b;
        b = a;
        a = add(t1, add(s0, maj));
    }
    s.v[0] = add(s.v[0], a);
    s.v[1] = add(s.v[1], b);
    s.v[2] = add(s.v[2], c);
    s.v[3] = add(s.v[3], d);
    s.v[4] = add(s.v[4], e);
    s.v[5] = add(s.v[5], f);
    s.v[6] = add(s.v[6], g);
    s.v[7] = add(s.v[7], h);
}

MAVELIN_AVX512 void lanes_avx512(uint32_t* const* states, const uint8_t* const* data,
                                 size_t nblocks) {
    const __m512i byte_swap =
        _mm512_broadcast_i32x4(_mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3));
    Lanes s = load_states(states);
    for (size_t blk = 0; blk < nblocks; ++blk) {
        // w[t & 15]: message word t of every lane, the last 16 of the schedule.
        __m512i w[16];
#pragma GCC unroll 16
        for (int l = 0; l < kLanes; ++l) w[l] = _mm512_loadu_si512(data[l] + 64 * blk);
        transpose16(w);
#pragma GCC unroll 16
        for (int t = 0; t < 16; ++t) w[t] = _mm512_shuffle_epi8(w[t], byte_swap);
        rounds(s, [&](int t) MAVELIN_AVX512 {
            if (t >= 16) {
                const __m512i x = w[(t - 15) & 15], y = w[(t - 2) & 15];
                const __m512i s0 =
                    xor3(_mm512_ror_epi32(x, 7), _mm512_ror_epi32(x, 18), _mm512_srli_epi32(x, 3));
                const __m512i s1 = xor3(_mm512_ror_epi32(y, 17), _mm512_ror_epi32(y, 19),
                                        _mm512_srli_epi32(y, 10));
                w[t & 15] = add(add(w[t & 15], s0), add(w[(t - 7) & 15], s1));
            }
            return add(w[t & 15], _mm512_set1_epi32(static_cast<int>(kRound[t])));
        });
    }
    store_states(s, states);
}

MAVELIN_AVX512 void scheduled_avx512(uint32_t* const* states, const uint32_t* wk) {
    Lanes s = load_states(states);
    rounds(s, [&](int t) MAVELIN_AVX512 { return _mm512_set1_epi32(static_cast<int>(wk[t])); });
    store_states(s, states);
}

}  // namespace

const Backend& avx512_backend() {
    // Groups of up to 8 messages are left to the fastest narrower block functions.
    static const Backend be = [] {
        const Backend& narrow = available(Impl::kShaNi) ? shani_backend() : portable_backend();
        Backend b = narrow;
        b.impl = Impl::kAvx512;
        b.lanes[4] = lanes_avx512;
        b.scheduled[4] = scheduled_avx512;
        b.preferred_width = 4;
        return b;
    }();
    return be;
}

}  // namespace mavelin::hash::sha256::detail
