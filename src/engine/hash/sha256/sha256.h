// SHA-256 (FIPS 180-4): streaming hasher, one-shot and multi-message hashing. The fastest
// implementation the CPU has is chosen at run time (choice.h lets tests pick another).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace mavelin::hash::sha256 {

using Digest = std::array<uint8_t, 32>;

// Incremental SHA-256. Copyable: a copy continues independently from the same point.
class Hasher {
  public:
    Hasher();
    void update(const void* data, size_t len);
    // Digest of everything fed so far; the hasher itself is left unchanged.
    Digest finish() const;

  private:
    uint32_t state_[8];
    uint8_t pending_[64];
    uint64_t total_;  // bytes fed so far
};

Digest hash(const void* data, size_t len);

// Lowercase hexadecimal form of a digest: exactly 64 characters, no terminator.
void to_hex(const Digest& digest, char out[64]);
// The digest whose lowercase hexadecimal form is the 64 characters at `text`; false (and `out`
// unspecified) when they are anything else, uppercase digits included.
bool from_hex(const char* text, Digest& out);

// SHA-256 of empty input (computed once).
const Digest& empty_digest();

// ---- Many messages side by side ----
// The functions below process independent messages together, interleaved in the lanes of the
// CPU where it profits from that (SHA-NI: up to 8 messages per instruction stream; AVX-512: 16
// messages, one per vector element).

// Hashes `count` independent messages, each `len` bytes long, into out[0..count-1].
void hash_many(const uint8_t* const* msgs, size_t len, size_t count, Digest* out);

// The running state of a message fed in whole 64-byte blocks, for messages that are built up
// over time (such as many rows growing block by block). Plain data: copy it to branch off.
struct BlockState {
    uint32_t words[8];
};
inline constexpr size_t kBlockSize = 64;

// The state of a message before its first block.
BlockState initial_state();

// Feeds `nblocks` 64-byte blocks to each of `count` messages: message i reads its blocks from
// blocks[i] and advances *states[i]. The states must be distinct.
void absorb_blocks(BlockState* const* states, const uint8_t* const* blocks, size_t nblocks,
                   size_t count);

// Digests of `count` messages that are each `total_len` bytes long (a multiple of 64) and have
// had all their blocks fed into *states[i]: out[i]. The states stay as they are.
void finish_blocks(const BlockState* const* states, uint64_t total_len, size_t count, Digest* out);

// Digests of `count` messages of any lengths, their last blocks compressed side by side:
// message i has had its first absorbed[i] bytes (a multiple of 64) fed into *states[i], and its
// remaining tail_lens[i] bytes (fewer than 64) are at tails[i]. The states stay as they are.
void finish_states(const BlockState* const* states, const uint64_t* absorbed,
                   const uint8_t* const* tails, const size_t* tail_lens, size_t count, Digest* out);
// Digest of a message whose first `absorbed` bytes (a multiple of 64) have been fed into `state`
// and whose remaining `tail_len` bytes are at `tail`.
Digest finish_state(const BlockState& state, uint64_t absorbed, const uint8_t* tail,
                    size_t tail_len);

}  // namespace mavelin::hash::sha256
