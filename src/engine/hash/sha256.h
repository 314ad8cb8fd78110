// SHA-256 (FIPS 180-4): streaming hasher, one-shot and multi-message hashing, run-time choice of
// implementation.
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

// Hashes `count` independent messages, each `len` bytes long, into out[0..count-1];
// the messages are processed side by side where the CPU profits from it.
void hash_many(const uint8_t* const* msgs, size_t len, size_t count, Digest* out);

enum class Impl { kPortable, kShaNi };

bool available(Impl impl);
// The implementation in use: the fastest available unless another was forced.
Impl active();
// For tests and benchmarks. Refuses (returns false, changes nothing) when `impl` is unavailable.
bool force(Impl impl);
const char* name(Impl impl);

}  // namespace mavelin::hash::sha256
