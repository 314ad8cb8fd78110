// Small files gathered in one buffer so that their chunks are hashed side by side across files.
#include "engine/fingerprint/small_batch.h"

#include <algorithm>
#include <cerrno>

#include "engine/fs/file_io.h"

namespace mavelin::fingerprint {
namespace {

constexpr size_t kHashGroup = 64;  // chunk pointers handed to hash_many at once

}  // namespace

size_t SmallFileBatch::chunks_of(uint64_t size) const noexcept {
    const uint64_t n = chunk_count(size, params_.chunk_size);
    return n > kMaxFileChunks ? kMaxFileChunks + 1 : static_cast<size_t>(n);
}

bool SmallFileBatch::accepts(uint64_t size) const noexcept {
    if (size == 0 || params_.chunk_size <= 0 || size > kMaxFileBytes) return false;
    const size_t n = chunks_of(size);
    return n <= kMaxFileChunks && n * static_cast<uint64_t>(params_.chunk_size) <= kMaxFileBytes;
}

bool SmallFileBatch::has_room(uint64_t size) const noexcept {
    const size_t n = chunks_of(size);
    return used_ + n * static_cast<size_t>(params_.chunk_size) <= kBufferBytes &&
           digests_ + n <= kMaxDigests;
}

int SmallFileBatch::add(int fd, uint64_t size, size_t tag) {
    if (!accepts(size) || !has_room(size)) return EINVAL;
    const size_t n = chunks_of(size);
    const size_t want = n * static_cast<size_t>(params_.chunk_size);
    if (!data_.reserve(kBufferBytes)) return ENOMEM;
    try {
        files_.reserve(kMaxDigests);
    } catch (...) {
        return ENOMEM;
    }
    const ssize_t got = fs::pread_full(fd, data_.data() + used_, want, 0, size);
    if (got < 0) return errno;
    files_.push_back(File{tag, size, used_, static_cast<size_t>(got), n});
    used_ += want;
    digests_ += n;
    return 0;
}

int SmallFileBatch::hash_chunks() noexcept {
    namespace sha = hash::sha256;
    try {
        chunk_digests_.resize(digests_);
    } catch (...) {
        return ENOMEM;
    }
    const size_t chunk = static_cast<size_t>(params_.chunk_size);
    const uint8_t* msgs[kHashGroup];
    sha::Digest* dest[kHashGroup];
    sha::Digest out[kHashGroup];
    size_t g = 0;
    auto hash_group = [&] {
        sha::hash_many(msgs, chunk, g, out);
        for (size_t l = 0; l < g; ++l) *dest[l] = out[l];
        g = 0;
    };
    size_t first = 0;  // the file's first digest
    for (const File& f : files_) {
        const size_t full = f.got / chunk;
        for (size_t j = 0; j < full; ++j) {
            msgs[g] = data_.data() + f.offset + j * chunk;
            dest[g++] = &chunk_digests_[first + j];
            if (g == kHashGroup) hash_group();
        }
        if (full < f.chunks) {
            // End of file: a short last chunk, and nothing after it.
            chunk_digests_[first + full] =
                sha::hash(data_.data() + f.offset + full * chunk, f.got % chunk);
            std::fill(chunk_digests_.begin() + static_cast<ptrdiff_t>(first + full + 1),
                      chunk_digests_.begin() + static_cast<ptrdiff_t>(first + f.chunks),
                      sha::empty_digest());
        }
        first += f.chunks;
    }
    if (g > 0) hash_group();
    return 0;
}

int SmallFileBatch::reduce(size_t first, size_t chunks,
                           std::vector<hash::sha256::Digest>& rows) noexcept {
    try {
        RowReducer reducer(params_.step);
        reducer.add(&chunk_digests_[first], chunks);
        rows = reducer.finish();
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

void SmallFileBatch::clear() noexcept {
    files_.clear();
    used_ = 0;
    digests_ = 0;
}

}  // namespace mavelin::fingerprint
