// Small files gathered in one buffer so that their chunks are hashed side by side across files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/fingerprint/fingerprint.h"
#include "engine/fs/cache_reads.h"
#include "engine/hash/sha256/sha256.h"

namespace mavelin::fingerprint {

// The widest SHA-256 kernels want more chunks at once than a small file has. A worker reads
// several small files into one of these, then hashes their whole chunks, then their short last
// chunks, then their rows, each side by side across the files. Memory is fixed (kBufferBytes of
// data, kMaxDigests digests).
class SmallFileBatch {
  public:
    static constexpr size_t kBufferBytes = size_t{512} << 10;
    static constexpr size_t kMaxFileBytes = size_t{32} << 10;  // chunk_count * chunk_size, at most
    static constexpr size_t kMaxDigests = 512;
    static constexpr size_t kMaxFileChunks = 64;
    // What one batch holds at most: its data, its chunk digests, its files and their tails.
    static constexpr size_t kMemoryBytes =
        kBufferBytes + kMaxDigests * (2 * sizeof(hash::sha256::Digest) + 64 + 8 * sizeof(size_t));

    explicit SmallFileBatch(const Params& params) : params_(params) {}

    // True when a file of `size` bytes is gathered rather than hashed on its own.
    bool accepts(uint64_t size) const noexcept;
    // True when a file of `size` bytes (which accepts() took) fits beside the files gathered.
    bool has_room(uint64_t size) const noexcept;
    bool empty() const noexcept { return files_.empty(); }

    // Reads the file open on fd, `size` bytes as fstat measured it, into the batch under `tag`:
    // chunk_count(size) chunks as a counted sequential read gives them (the last short, those
    // past the end of a file that shrank empty). Returns 0, or the errno of the failed read or
    // ENOMEM (the file is then not kept).
    int add(int fd, uint64_t size, size_t tag);
    // The same, reading as `src` says (direct reads, pages dropped afterwards).
    int add(const fs::ReadSource& src, uint64_t size, size_t tag);

    // Hashes every gathered file and calls done(tag, size, error, rows) for each, in the order
    // they were added: error is 0 and `rows` (an rvalue) the file's row digests, or error is
    // ENOMEM. The batch is empty afterwards. `done` must not throw.
    template <typename Done>
    void flush(Done&& done) noexcept {
        int error = hash_chunks();
        if (error == 0) error = hash_rows();
        size_t first = 0;  // the file's first row digest
        for (const File& f : files_) {
            std::vector<hash::sha256::Digest> rows;
            int err = error;
            if (err == 0) err = take_rows(first, f.chunks, rows);
            done(f.tag, f.size, err, std::move(rows));
            first += rows_used(f.chunks);
        }
        clear();
    }

    // A file's short last chunk, whose digest goes to `out`.
    struct Tail {
        const uint8_t* data;
        size_t len;
        hash::sha256::Digest* out;
    };

  private:
    struct File {
        size_t tag;
        uint64_t size;
        size_t offset;  // into data_
        size_t got;     // bytes the read returned
        size_t chunks;  // chunk_count(size)
    };

    size_t chunks_of(uint64_t size) const noexcept;
    // Every chunk digest of the gathered files into chunk_digests_: 0 or ENOMEM.
    int hash_chunks() noexcept;
    // Rows that get at least one member from a file of `chunks` chunks.
    size_t rows_used(size_t chunks) const noexcept;
    // Every row digest of the gathered files into row_digests_, the rows of all files hashed
    // side by side: 0 or ENOMEM.
    int hash_rows() noexcept;
    // The rows of the file whose row digests start at row_digests_[first]: 0 or ENOMEM.
    int take_rows(size_t first, size_t chunks, std::vector<hash::sha256::Digest>& rows) noexcept;
    void clear() noexcept;

    Params params_;
    Buffer data_;
    size_t used_ = 0;     // bytes of data_ taken
    size_t digests_ = 0;  // chunk digests the gathered files need
    std::vector<File> files_;
    std::vector<hash::sha256::Digest> chunk_digests_;
    std::vector<Tail> tails_;
    std::vector<char> row_text_;  // the rows' messages: hex chunk digests, row after row
    std::vector<hash::sha256::Digest> row_digests_;
};

}  // namespace mavelin::fingerprint
