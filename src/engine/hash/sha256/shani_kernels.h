// SHA-NI block functions as templates over the lane count, compiled once per target by the file
// that includes this one (shani.cpp, shani_evex.cpp) inside a namespace of its own,
// with MAVELIN_SHANI defined as that target's attribute. No include guard, on purpose.
// Needs <immintrin.h> and engine/hash/sha256/impl.h included first.

// The SHA extensions keep the state as two vectors, (a, b, e, f) and (c, d, g, h).
MAVELIN_SHANI inline void load_state(const uint32_t* state, __m128i& abef, __m128i& cdgh) {
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    dcba = _mm_shuffle_epi32(dcba, 0xB1);      // c d a b
    hgfe = _mm_shuffle_epi32(hgfe, 0x1B);      // e f g h
    abef = _mm_alignr_epi8(dcba, hgfe, 8);     // a b e f
    cdgh = _mm_blend_epi16(hgfe, dcba, 0xF0);  // c d g h
}

MAVELIN_SHANI inline void store_state(uint32_t* state, __m128i abef, __m128i cdgh) {
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

MAVELIN_SHANI inline __m128i load_words(const uint8_t* p) {
    const __m128i kByteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), kByteSwap);
}

// Four rounds with message words plus constants `wk`.
MAVELIN_SHANI inline void four_rounds(__m128i& abef, __m128i& cdgh, __m128i wk) {
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0E));
}

// Message words 4g..4g+3 from the four previous groups w0 (oldest) .. w3 (newest).
MAVELIN_SHANI inline __m128i next_words(__m128i w0, __m128i w1, __m128i w2, __m128i w3) {
    const __m128i t = _mm_add_epi32(_mm_sha256msg1_epu32(w0, w1), _mm_alignr_epi8(w3, w2, 4));
    return _mm_sha256msg2_epu32(t, w3);
}

MAVELIN_SHANI inline __m128i round_constants(int group) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * group));
}

// N independent messages, their rounds interleaved so that the CPU can overlap them.
template <int N>
MAVELIN_SHANI void lanes_shani(uint32_t* const* states, const uint8_t* const* data,
                               size_t nblocks) {
    __m128i abef[N], cdgh[N];
#pragma GCC unroll 8
    for (int l = 0; l < N; ++l) load_state(states[l], abef[l], cdgh[l]);

    for (size_t b = 0; b < nblocks; ++b) {
        __m128i save_abef[N], save_cdgh[N], w[4][N];
#pragma GCC unroll 8
        for (int l = 0; l < N; ++l) {
            save_abef[l] = abef[l];
            save_cdgh[l] = cdgh[l];
            const uint8_t* p = data[l] + 64 * b;
            w[0][l] = load_words(p);
            w[1][l] = load_words(p + 16);
            w[2][l] = load_words(p + 32);
            w[3][l] = load_words(p + 48);
        }
#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) {
            const __m128i k = round_constants(g);
#pragma GCC unroll 8
            for (int l = 0; l < N; ++l) {
                if (g >= 4) {
                    w[g & 3][l] = next_words(w[g & 3][l], w[(g + 1) & 3][l], w[(g + 2) & 3][l],
                                             w[(g + 3) & 3][l]);
                }
                four_rounds(abef[l], cdgh[l], _mm_add_epi32(w[g & 3][l], k));
            }
        }
#pragma GCC unroll 8
        for (int l = 0; l < N; ++l) {
            abef[l] = _mm_add_epi32(abef[l], save_abef[l]);
            cdgh[l] = _mm_add_epi32(cdgh[l], save_cdgh[l]);
        }
    }
#pragma GCC unroll 8
    for (int l = 0; l < N; ++l) store_state(states[l], abef[l], cdgh[l]);
}

// One block with a precomputed schedule: rounds only.
template <int N>
MAVELIN_SHANI void scheduled_shani(uint32_t* const* states, const uint32_t* wk) {
    __m128i abef[N], cdgh[N], save_abef[N], save_cdgh[N];
#pragma GCC unroll 8
    for (int l = 0; l < N; ++l) {
        load_state(states[l], abef[l], cdgh[l]);
        save_abef[l] = abef[l];
        save_cdgh[l] = cdgh[l];
    }
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
        const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(wk + 4 * g));
#pragma GCC unroll 8
        for (int l = 0; l < N; ++l) four_rounds(abef[l], cdgh[l], k);
    }
#pragma GCC unroll 8
    for (int l = 0; l < N; ++l) {
        store_state(states[l], _mm_add_epi32(abef[l], save_abef[l]),
                    _mm_add_epi32(cdgh[l], save_cdgh[l]));
    }
}

MAVELIN_SHANI void compress_shani(uint32_t* state, const uint8_t* blocks, size_t nblocks) {
    uint32_t* const states[1] = {state};
    const uint8_t* const data[1] = {blocks};
    lanes_shani<1>(states, data, nblocks);
}

// The backend made of this target's block functions.
inline Backend shani_backend_of_this_target() {
    return Backend{
        Impl::kShaNi,
        compress_shani,
        {lanes_shani<1>, lanes_shani<2>, lanes_shani<4>, lanes_shani<8>, lanes_shani<16>},
        {scheduled_shani<1>, scheduled_shani<2>, scheduled_shani<4>, scheduled_shani<8>,
         scheduled_shani<16>},
        shani_preferred_width(),
    };
}
