// CRC-32 implementations: slicing-by-8 tables everywhere, PCLMULQDQ folding on x86-64 when the CPU
// has it.
#include "engine/hash/crc32.h"

#include <array>
#include <atomic>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace mavelin::hash::crc32 {
namespace {

constexpr uint32_t kPoly = 0xEDB88320u;  // reflected 0x04C11DB7

using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables make_tables() {
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ kPoly : c >> 1;
        t[0][i] = c;
    }
    for (size_t s = 1; s < 8; ++s) {
        for (size_t i = 0; i < 256; ++i) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFFu];
    }
    return t;
}

constexpr Tables kTables = make_tables();

// Works on the inverted register, as the table-driven algorithms do.
uint32_t slice8(uint32_t reg, const uint8_t* p, size_t len) {
    const auto& t = kTables;
    if constexpr (std::endian::native == std::endian::little) {
        while (len >= 8) {
            uint32_t lo;
            uint32_t hi;
            std::memcpy(&lo, p, 4);
            std::memcpy(&hi, p + 4, 4);
            lo ^= reg;
            reg = t[7][lo & 0xFFu] ^ t[6][(lo >> 8) & 0xFFu] ^ t[5][(lo >> 16) & 0xFFu] ^
                  t[4][lo >> 24] ^ t[3][hi & 0xFFu] ^ t[2][(hi >> 8) & 0xFFu] ^
                  t[1][(hi >> 16) & 0xFFu] ^ t[0][hi >> 24];
            p += 8;
            len -= 8;
        }
    }
    while (len--) reg = (reg >> 8) ^ t[0][(reg ^ *p++) & 0xFFu];
    return reg;
}

#if defined(__x86_64__)
__attribute__((target("pclmul,sse4.1"))) inline __m128i load(const uint8_t* q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}

// acc * k (both halves) + next: moves the 128 bits of acc forward by the distance k encodes.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i acc, __m128i k, __m128i next) {
    const __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
    const __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

// Folds 64-byte blocks with carry-less multiplication, then reduces to 32 bits (Barrett).
// Constants are x^n mod P for the reflected polynomial: fold by 512 bits (k1, k2), by 128 bits
// (k3, k4), 64 to 32 bits (k5), then P and mu = x^64 / P.
// `len` must be a multiple of 16 and at least 64. Works on the inverted register.
__attribute__((target("pclmul,sse4.1"))) uint32_t fold_pclmul(uint32_t reg, const uint8_t* p,
                                                              size_t len) {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596LL, 0x0154442bd4LL);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009eLL, 0x01751997d0LL);
    const __m128i k5k0 = _mm_set_epi64x(0, 0x0163cd6124LL);
    const __m128i poly = _mm_set_epi64x(0x01f7011641LL, 0x01db710641LL);
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);

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

uint32_t run_pclmul(uint32_t reg, const uint8_t* p, size_t len) {
    if (len >= 64) {
        const size_t bulk = len & ~static_cast<size_t>(15);
        reg = fold_pclmul(reg, p, bulk);
        p += bulk;
        len -= bulk;
    }
    return slice8(reg, p, len);
}

bool cpu_has_pclmul() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}
#endif

uint32_t run(Impl impl, uint32_t crc, const void* data, size_t len) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t reg = ~crc;
#if defined(__x86_64__)
    if (impl == Impl::kPclmul) return ~run_pclmul(reg, p, len);
#else
    (void)impl;
#endif
    return ~slice8(reg, p, len);
}

Impl best() {
    return available(Impl::kPclmul) ? Impl::kPclmul : Impl::kPortable;
}

std::atomic<int>& current() {
    static std::atomic<int> impl{static_cast<int>(best())};
    return impl;
}

}  // namespace

bool available(Impl impl) {
    switch (impl) {
        case Impl::kPortable:
            return true;
        case Impl::kPclmul:
#if defined(__x86_64__)
        {
            static const bool has = cpu_has_pclmul();
            return has;
        }
#else
            return false;
#endif
    }
    return false;
}

Impl active() {
    return static_cast<Impl>(current().load(std::memory_order_relaxed));
}

bool force(Impl impl) {
    if (!available(impl)) return false;
    current().store(static_cast<int>(impl), std::memory_order_relaxed);
    return true;
}

const char* name(Impl impl) {
    switch (impl) {
        case Impl::kPortable:
            return "slicing-by-8";
        case Impl::kPclmul:
            return "pclmulqdq";
    }
    return "?";
}

uint32_t update_with(Impl impl, uint32_t crc, const void* data, size_t len) {
    return run(impl, crc, data, len);
}

uint32_t update(uint32_t crc, const void* data, size_t len) {
    return run(active(), crc, data, len);
}

}  // namespace mavelin::hash::crc32
