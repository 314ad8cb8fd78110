// Per-file fingerprint: chunk digests of a file regrouped into T interleaved rows, each row
// digested again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/fs/cache_reads.h"
#include "engine/hash/sha256/sha256.h"

namespace mavelin::fingerprint {

struct Params {
    int64_t chunk_size;  // bytes per chunk; the caller rejects 0
    int64_t step;        // number of rows T; T <= 0 gives an empty fingerprint
};

// Chunks of one file hashed side by side at most (the widest lane grouping of SHA-256): a run of
// at least this many consecutive chunks keeps every lane busy, whatever the chunk size.
inline constexpr uint64_t kLaneChunks = 16;

// ceil(size / chunk_size) taken as a double division, exactly as the fingerprint defines the
// number of chunks; 0 when chunk_size <= 0.
uint64_t chunk_count(uint64_t size, int64_t chunk_size);

// Alignment of the read buffer: direct reads (O_DIRECT) go straight into it.
inline constexpr size_t kBufferAlign = fs::kDirectAlign;

// Aligned, growable scratch memory for file reads. Move-only.
class Buffer {
  public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept;
    Buffer& operator=(Buffer&& other) noexcept;
    ~Buffer();

    // Makes room for at least n bytes (contents are not kept). False when out of memory.
    bool reserve(size_t n);
    uint8_t* data() { return data_; }
    size_t capacity() const { return capacity_; }

  private:
    void release() noexcept;

    uint8_t* data_ = nullptr;
    size_t capacity_ = 0;
};

// Reduces chunk digests, fed in file order, to the T row digests:
// row s = SHA-256 of hex(h[s]) hex(h[s+T]) hex(h[s+2T]) ...
class RowReducer {
  public:
    explicit RowReducer(int64_t step);
    void add(const hash::sha256::Digest* chunk_digests, size_t n);
    // The T row digests (a row without members gets the digest of empty input).
    std::vector<hash::sha256::Digest> finish();

  private:
    int64_t step_;
    uint64_t added_ = 0;                            // chunk digests consumed so far
    std::vector<hash::sha256::BlockState> states_;  // rows that have at least one member
};

// Hashes chunks first_chunk .. first_chunk+count-1 of the file open on fd, reading with pread at
// offset first_chunk*chunk_size. Near or past the end of file the chunks come out short or empty,
// exactly as sequential reads would give them. Memory use is bounded by `scratch`, whatever the
// chunk size. `known_size`, when given, is the size fstat gave (it saves the read that would
// prove the end of the file). Returns 0, or the errno of the failed read (EINTR is retried).
int hash_chunk_range(int fd, int64_t chunk_size, uint64_t first_chunk, uint64_t count,
                     hash::sha256::Digest* out, Buffer& scratch, uint64_t known_size = UINT64_MAX);
// The same, reading as `src` says (direct reads, pages dropped afterwards).
int hash_chunk_range(const fs::ReadSource& src, int64_t chunk_size, uint64_t first_chunk,
                     uint64_t count, hash::sha256::Digest* out, Buffer& scratch,
                     uint64_t known_size = UINT64_MAX);

// Hashes `count` consecutive chunks of the file open on fd, the first starting at byte `offset`:
// each digest is that of what one sequential read of chunk_size bytes from there would return
// (short at the end of the file, empty after it), but the reads use pread and leave the file
// position alone. `bytes_read`, if given, receives the number of bytes the chunks held: offset +
// *bytes_read is where sequential reads would have stopped. Memory use is bounded by `scratch`,
// whatever the chunk size. Returns 0, or the errno of the failed read (EINTR is retried).
int hash_chunks_at(int fd, int64_t chunk_size, uint64_t offset, uint64_t count,
                   hash::sha256::Digest* out, Buffer& scratch, uint64_t* bytes_read = nullptr);

// Fingerprints a whole file of (previously measured) `size` bytes sequentially: exactly
// chunk_count(size, chunk_size) chunks are hashed from offset 0, then reduced to `rows`.
// `chunk_digests`, if given, receives every chunk digest in file order. `scratch`, if given, is
// reused for the reads (saves an allocation per file). Returns 0 or an errno; on failure `rows`
// is left untouched.
int fingerprint_fd(int fd, uint64_t size, const Params& params,
                   std::vector<hash::sha256::Digest>* rows,
                   std::vector<hash::sha256::Digest>* chunk_digests, Buffer* scratch = nullptr);

}  // namespace mavelin::fingerprint
