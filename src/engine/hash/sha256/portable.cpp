// Portable SHA-256 block functions, usable on any CPU; also the padding and schedule helpers.
#include <cstring>

#include "engine/hash/sha256/impl.h"

namespace mavelin::hash::sha256::detail {
namespace {

inline uint32_t rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}
inline uint32_t load_be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// Message schedule of one block, without the round constants.
void expand(const uint8_t* block, uint32_t* w) {
    for (int t = 0; t < 16; ++t) w[t] = load_be32(block + 4 * t);
#pragma GCC unroll 48
    for (int t = 16; t < 64; ++t) {
        const uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
        const uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
}

// The 64 rounds, given W[t] + K[t].
void rounds(uint32_t* state, const uint32_t* wk) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
#pragma GCC unroll 64
    for (int t = 0; t < 64; ++t) {
        const uint32_t s1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
        const uint32_t ch = g ^ (e & (f ^ g));
        const uint32_t t1 = h + s1 + ch + wk[t];
        const uint32_t s0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
        const uint32_t maj = (a & b) | (c & (a | b));
        const uint32_t t2 = s0 + maj;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

void compress_portable(uint32_t* state, const uint8_t* blocks, size_t nblocks) {
    uint32_t wk[64];
    for (size_t i = 0; i < nblocks; ++i) {
        schedule_block(blocks + 64 * i, wk);
        rounds(state, wk);
    }
}

template <int N>
void lanes_portable(uint32_t* const* states, const uint8_t* const* data, size_t nblocks) {
    for (int l = 0; l < N; ++l) compress_portable(states[l], data[l], nblocks);
}

template <int N>
void scheduled_portable(uint32_t* const* states, const uint32_t* wk) {
    for (int l = 0; l < N; ++l) rounds(states[l], wk);
}

}  // namespace

void schedule_block(const uint8_t* block, uint32_t* wk) {
    expand(block, wk);
    for (int t = 0; t < 64; ++t) wk[t] += kRound[t];
}

size_t pad_tail(const uint8_t* tail, size_t tail_len, uint64_t total_len, uint8_t* out) {
    const size_t blocks = tail_len < 56 ? 1 : 2;
    std::memset(out, 0, 64 * blocks);
    if (tail_len != 0) std::memcpy(out, tail, tail_len);
    out[tail_len] = 0x80;
    const uint64_t bits = total_len << 3;
    uint8_t* len_field = out + 64 * blocks - 8;
    for (int i = 0; i < 8; ++i) len_field[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    return blocks;
}

const Backend& portable_backend() {
    static const Backend be{
        Impl::kPortable,
        compress_portable,
        {lanes_portable<1>, lanes_portable<2>, lanes_portable<4>, lanes_portable<8>,
         lanes_portable<16>},
        {scheduled_portable<1>, scheduled_portable<2>, scheduled_portable<4>, scheduled_portable<8>,
         scheduled_portable<16>},
        0,
    };
    return be;
}

}  // namespace mavelin::hash::sha256::detail
