// Internal interface between the SHA-256 front end, the run-time dispatcher and the block
// functions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/hash/sha256/choice.h"
#include "engine/hash/sha256/sha256.h"

namespace mavelin::hash::sha256::detail {

inline constexpr uint32_t kInit[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

alignas(64) inline constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// Compresses `nblocks` consecutive 64-byte blocks into one state (a, b, ..., h in natural order).
using CompressFn = void (*)(uint32_t* state, const uint8_t* blocks, size_t nblocks);

// Compresses `nblocks` consecutive blocks of each of N independent messages, message i into
// states[i]; N is fixed per function (1, 2, 4, 8 or 16). States must be distinct.
using LanesFn = void (*)(uint32_t* const* states, const uint8_t* const* data, size_t nblocks);

// Runs the 64 rounds of one block, the same for all N states, whose message schedule has been
// computed ahead: wk[t] = W[t] + K[t].
using ScheduledFn = void (*)(uint32_t* const* states, const uint32_t* wk);

inline constexpr int kLaneWidths = 5;  // lane counts 1, 2, 4, 8, 16 at indices 0..4

struct Backend {
    Impl impl;
    CompressFn compress;
    LanesFn lanes[kLaneWidths];
    ScheduledFn scheduled[kLaneWidths];
    int preferred_width;  // index into lanes[]: the widest grouping worth using on this CPU
};

// Block functions of each implementation (portable.cpp, shani.cpp,
// avx512.cpp).
const Backend& portable_backend();
const Backend& shani_backend();  // the SHA-NI variant for this CPU, one of the two below
const Backend& avx512_backend();
// SHA-NI with the 16 SSE registers (any CPU with SHA-NI), and the same code compiled for AVX-512
// (shani_evex.cpp; only where cpu::features().avx512), with the lane count for both.
const Backend& shani_sse_backend();
const Backend& shani_evex_backend();
int shani_preferred_width();

// The implementation in use; chosen on first call and cached (dispatch.cpp).
const Backend& backend();

// W[t] + K[t] for one 64-byte block.
void schedule_block(const uint8_t* block, uint32_t* wk);

// Compresses `nblocks` blocks of `count` messages (any count), grouping them into lanes.
void compress_lanes(const Backend& be, uint32_t* const* states, const uint8_t* const* data,
                    size_t nblocks, size_t count);

// Same for the precomputed block `wk`, applied to all `count` states.
void compress_scheduled(const Backend& be, uint32_t* const* states, const uint32_t* wk,
                        size_t count);

// Big-endian serialisation of a state into a digest.
inline Digest state_to_digest(const uint32_t* state) {
    Digest d;
    for (int i = 0; i < 8; ++i) {
        d[4 * i] = static_cast<uint8_t>(state[i] >> 24);
        d[4 * i + 1] = static_cast<uint8_t>(state[i] >> 16);
        d[4 * i + 2] = static_cast<uint8_t>(state[i] >> 8);
        d[4 * i + 3] = static_cast<uint8_t>(state[i]);
    }
    return d;
}

// Writes the final padding for a message of `total_len` bytes whose last `tail_len` (< 64) bytes
// are at `tail`, into `out` (128 bytes of room). Returns the number of blocks written (1 or 2).
size_t pad_tail(const uint8_t* tail, size_t tail_len, uint64_t total_len, uint8_t* out);

// The table-driven hexadecimal conversions that to_hex and from_hex fall back on where the
// target has no SSE2 (hex.cpp); exposed so that tests hold both paths to one answer.
void to_hex_portable(const Digest& digest, char out[64]);
bool from_hex_portable(const char* text, Digest& out);

}  // namespace mavelin::hash::sha256::detail
