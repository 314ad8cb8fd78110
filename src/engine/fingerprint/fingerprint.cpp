// Per-file fingerprint: chunk hashing with pread, the read buffer, and the sequential whole-file
// driver.
#include "engine/fingerprint/fingerprint.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "engine/fs/cache_reads.h"
#include "engine/fs/file_io.h"

namespace mavelin::fingerprint {
namespace {

// Bytes read per pread when chunks are small enough to batch; the chunks of one read are hashed
// side by side. Larger chunks are read in pieces of this much in all.
constexpr size_t kReadBatch = size_t{256} << 10;
// The same for direct reads, which no readahead follows: larger requests, which the block layer
// cuts into several outstanding at once.
constexpr size_t kDirectReadBatch = size_t{4} << 20;
// Largest message group handed to hash_many at once.
constexpr size_t kHashGroup = 64;
// Chunks hashed side by side when fewer than that fit one read.
constexpr size_t kLaneGroup = kLaneChunks;
// Chunks up to this size are read many at a time; larger ones piecewise, side by side.
constexpr size_t kBatchedChunk = kReadBatch / kLaneGroup;
// Chunk digests handled per step of the sequential driver.
constexpr uint64_t kDigestBatch = 1024;

// Reads up to len bytes at offset, stopping early only at end of file (taken as reached when a
// read comes out short at `known_end`, the size fstat gave). Returns the byte count, or -errno.
int64_t read_at(const fs::ReadSource& src, uint8_t* buf, size_t len, uint64_t offset,
                uint64_t known_end) {
    const ssize_t got = fs::read_source(src, buf, len, offset, known_end);
    return got < 0 ? -static_cast<int64_t>(errno) : static_cast<int64_t>(got);
}

// Byte offset of chunk `index` counted from byte `base`; false when it lies beyond any possible
// file.
bool chunk_offset(uint64_t base, uint64_t index, uint64_t chunk_size, uint64_t* offset) {
    constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
    if (chunk_size != 0 && index > kMax / chunk_size) return false;
    const uint64_t delta = index * chunk_size;
    if (base > kMax || delta > kMax - base) return false;
    *offset = base + delta;
    return true;
}

// Chunks of up to kBatchedChunk bytes: one pread for many chunks, full ones hashed side by side.
int hash_small_chunks(const fs::ReadSource& src, size_t chunk, uint64_t base, uint64_t first,
                      uint64_t count, hash::sha256::Digest* out, Buffer& scratch, bool* at_eof,
                      uint64_t* bytes_read, uint64_t known_end) {
    const uint64_t per_read = (src.direct ? kDirectReadBatch : kReadBatch) / chunk;
    if (!scratch.reserve(static_cast<size_t>(std::min(per_read, count)) * chunk)) return ENOMEM;
    uint64_t done = 0;
    while (done < count) {
        const uint64_t k = std::min(per_read, count - done);
        uint64_t offset = 0;
        int64_t got = 0;
        if (chunk_offset(base, first + done, chunk, &offset)) {
            got = read_at(src, scratch.data(), static_cast<size_t>(k) * chunk, offset, known_end);
            if (got < 0) return static_cast<int>(-got);
        }
        const size_t bytes = static_cast<size_t>(got);
        *bytes_read += bytes;
        const size_t full = bytes / chunk;
        const uint8_t* ptrs[kHashGroup];
        for (size_t j = 0; j < full; j += kHashGroup) {
            const size_t g = std::min(kHashGroup, full - j);
            for (size_t l = 0; l < g; ++l) ptrs[l] = scratch.data() + (j + l) * chunk;
            hash::sha256::hash_many(ptrs, chunk, g, out + done + j);
        }
        done += full;
        if (full < k) {
            // End of file: a short last chunk, then nothing more is read.
            out[done++] = hash::sha256::hash(scratch.data() + full * chunk, bytes % chunk);
            std::fill(out + done, out + count, hash::sha256::empty_digest());
            *at_eof = true;
            return 0;
        }
    }
    return 0;
}

// Chunks too large to buffer: up to kLaneGroup chunks at a time are read piece by piece, each
// into its own part of the scratch buffer, and hashed side by side. Every chunk has the same
// size, so the lanes advance together until one of them meets the end of the file.
int hash_large_chunks(const fs::ReadSource& src, uint64_t chunk, uint64_t base, uint64_t first,
                      uint64_t count, hash::sha256::Digest* out, Buffer& scratch, bool* at_eof,
                      uint64_t* bytes_read, uint64_t known_end) {
    namespace sha = hash::sha256;
    if (!scratch.reserve(kReadBatch)) return ENOMEM;
    for (uint64_t i = 0; i < count;) {
        const size_t g = static_cast<size_t>(std::min<uint64_t>(kLaneGroup, count - i));
        const size_t piece = kReadBatch / g / sha::kBlockSize * sha::kBlockSize;
        sha::BlockState states[kLaneGroup];
        uint64_t offset[kLaneGroup];
        bool reading[kLaneGroup];  // neither short nor complete yet
        uint64_t got[kLaneGroup] = {};
        size_t tail[kLaneGroup] = {};  // bytes left at the end of the lane's buffer when done
        for (size_t l = 0; l < g; ++l) {
            states[l] = sha::initial_state();
            reading[l] = chunk_offset(base, first + i + l, chunk, &offset[l]);
        }
        for (uint64_t done = 0; done < chunk; done += piece) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(piece, chunk - done));
            sha::BlockState* together[kLaneGroup];
            const uint8_t* data[kLaneGroup];
            size_t n_together = 0;
            for (size_t l = 0; l < g; ++l) {
                if (!reading[l]) continue;
                uint8_t* buf = scratch.data() + l * piece;
                const int64_t n = read_at(src, buf, want, offset[l] + done, known_end);
                if (n < 0) return static_cast<int>(-n);
                const auto len = static_cast<size_t>(n);
                got[l] += len;
                if (len == want) {
                    together[n_together] = &states[l];
                    data[n_together++] = buf;
                    tail[l] = want % sha::kBlockSize;
                    continue;
                }
                // End of file within this chunk: the chunks after it are never read.
                sha::BlockState* state = &states[l];
                const uint8_t* start = buf;
                sha::absorb_blocks(&state, &start, len / sha::kBlockSize, 1);
                tail[l] = len % sha::kBlockSize;
                std::fill(reading + l, reading + g, false);
                break;
            }
            sha::absorb_blocks(together, data, want / sha::kBlockSize, n_together);
            if (n_together == 0) break;
        }
        for (size_t l = 0; l < g; ++l) {
            // The lane's last piece starts its buffer; its tail follows the whole blocks.
            const uint64_t in_last = got[l] == 0 ? 0 : (got[l] - 1) % piece + 1;
            const uint8_t* end = scratch.data() + l * piece + in_last;
            out[i + l] = sha::finish_state(states[l], got[l] - tail[l], end - tail[l], tail[l]);
        }
        for (size_t l = 0; l < g; ++l) {
            *bytes_read += got[l];
            if (got[l] == chunk) continue;
            // The first chunk that came out short ends the file: later ones read nothing.
            std::fill(out + i + l + 1, out + count, sha::empty_digest());
            *at_eof = true;
            return 0;
        }
        i += g;
    }
    return 0;
}

// Chunks first .. first+count-1 of those that start at byte `base`; `bytes_read` grows by the
// bytes the reads returned.
int hash_range(const fs::ReadSource& src, int64_t chunk_size, uint64_t base, uint64_t first,
               uint64_t count, hash::sha256::Digest* out, Buffer& scratch, bool* at_eof,
               uint64_t* bytes_read, uint64_t known_end) {
    *at_eof = false;
    if (count == 0) return 0;
    if (chunk_size <= 0) return EINVAL;
    const auto chunk = static_cast<uint64_t>(chunk_size);
    if (chunk <= kBatchedChunk) {
        return hash_small_chunks(src, static_cast<size_t>(chunk), base, first, count, out, scratch,
                                 at_eof, bytes_read, known_end);
    }
    return hash_large_chunks(src, chunk, base, first, count, out, scratch, at_eof, bytes_read,
                             known_end);
}

}  // namespace

uint64_t chunk_count(uint64_t size, int64_t chunk_size) {
    if (chunk_size <= 0) return 0;
    const double chunks = std::ceil(static_cast<double>(size) / static_cast<double>(chunk_size));
    if (!(chunks > 0)) return 0;
    if (chunks >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(chunks);
}

// ---- Buffer ----

Buffer::Buffer(Buffer&& other) noexcept : data_(other.data_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.capacity_ = 0;
}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = other.data_;
        capacity_ = other.capacity_;
        other.data_ = nullptr;
        other.capacity_ = 0;
    }
    return *this;
}

Buffer::~Buffer() {
    release();
}

void Buffer::release() noexcept {
    if (data_ != nullptr) ::operator delete (data_, std::align_val_t{kBufferAlign});
    data_ = nullptr;
    capacity_ = 0;
}

bool Buffer::reserve(size_t n) {
    if (n <= capacity_) return true;
    void* p = ::operator new (n, std::align_val_t{kBufferAlign}, std::nothrow);
    if (p == nullptr) return false;
    release();
    data_ = static_cast<uint8_t*>(p);
    capacity_ = n;
    return true;
}

int hash_chunk_range(int fd, int64_t chunk_size, uint64_t first_chunk, uint64_t count,
                     hash::sha256::Digest* out, Buffer& scratch, uint64_t known_size) {
    fs::ReadSource src;
    src.fd = fd;
    return hash_chunk_range(src, chunk_size, first_chunk, count, out, scratch, known_size);
}

int hash_chunk_range(const fs::ReadSource& src, int64_t chunk_size, uint64_t first_chunk,
                     uint64_t count, hash::sha256::Digest* out, Buffer& scratch,
                     uint64_t known_size) {
    bool at_eof = false;
    uint64_t bytes_read = 0;
    return hash_range(src, chunk_size, 0, first_chunk, count, out, scratch, &at_eof, &bytes_read,
                      known_size);
}

int hash_chunks_at(int fd, int64_t chunk_size, uint64_t offset, uint64_t count,
                   hash::sha256::Digest* out, Buffer& scratch, uint64_t* bytes_read) {
    bool at_eof = false;
    uint64_t got = 0;
    fs::ReadSource src;
    src.fd = fd;
    const int err =
        hash_range(src, chunk_size, offset, 0, count, out, scratch, &at_eof, &got, UINT64_MAX);
    if (bytes_read != nullptr) *bytes_read = got;
    return err;
}

int fingerprint_fd(int fd, uint64_t size, const Params& params,
                   std::vector<hash::sha256::Digest>* rows,
                   std::vector<hash::sha256::Digest>* chunk_digests, Buffer* scratch) {
    const uint64_t n = chunk_count(size, params.chunk_size);
    RowReducer reducer(params.step);
    Buffer own_scratch;
    Buffer& buffer = scratch != nullptr ? *scratch : own_scratch;
    hash::sha256::Digest batch[kDigestBatch];
    bool at_eof = false;
    for (uint64_t done = 0; done < n;) {
        const uint64_t k = std::min(kDigestBatch, n - done);
        if (at_eof) {
            // Past the end of a file that shrank: every further read is empty.
            std::fill(batch, batch + k, hash::sha256::empty_digest());
        } else {
            uint64_t bytes_read = 0;
            fs::ReadSource src;
            src.fd = fd;
            const int err = hash_range(src, params.chunk_size, 0, done, k, batch, buffer, &at_eof,
                                       &bytes_read, size);
            if (err != 0) return err;
        }
        reducer.add(batch, static_cast<size_t>(k));
        if (chunk_digests != nullptr) chunk_digests->insert(chunk_digests->end(), batch, batch + k);
        done += k;
    }
    *rows = reducer.finish();
    return 0;
}

}  // namespace mavelin::fingerprint
