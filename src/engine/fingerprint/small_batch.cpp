// Small files gathered in one buffer so that their chunks are hashed side by side across files.
#include "engine/fingerprint/small_batch.h"

#include <algorithm>
#include <cerrno>

#include "engine/fs/file_io.h"

namespace mavelin::fingerprint {
namespace {

constexpr size_t kHashGroup = 64;  // chunk pointers handed to hash_many at once
constexpr size_t kTailLanes = 16;  // short chunks hashed side by side

// The messages whose whole blocks are absorbed, finished side by side: their last partial
// blocks and the padding.
class Finisher {
  public:
    void add(const hash::sha256::BlockState& state, const SmallFileBatch::Tail& t) {
        const size_t whole = t.len / hash::sha256::kBlockSize * hash::sha256::kBlockSize;
        states_[n_] = state;
        absorbed_[n_] = whole;
        tails_[n_] = t.data + whole;
        lens_[n_] = t.len - whole;
        outs_[n_] = t.out;
        if (++n_ == kTailLanes) flush();
    }
    void flush() {
        if (n_ == 0) return;
        const hash::sha256::BlockState* states[kTailLanes];
        hash::sha256::Digest digests[kTailLanes];
        for (size_t l = 0; l < n_; ++l) states[l] = &states_[l];
        hash::sha256::finish_states(states, absorbed_, tails_, lens_, n_, digests);
        for (size_t l = 0; l < n_; ++l) *outs_[l] = digests[l];
        n_ = 0;
    }

  private:
    hash::sha256::BlockState states_[kTailLanes];
    uint64_t absorbed_[kTailLanes];
    const uint8_t* tails_[kTailLanes];
    size_t lens_[kTailLanes];
    hash::sha256::Digest* outs_[kTailLanes];
    size_t n_ = 0;
};

// Digests of messages of different lengths (the files' short last chunks, the rows): their whole
// blocks go through kTailLanes lanes side by side, a lane taking the next message as soon as its
// own has no whole block left; the messages are then finished kTailLanes at a time as well.
void hash_tails(const SmallFileBatch::Tail* tails, size_t count) {
    namespace sha = hash::sha256;
    sha::BlockState states[kTailLanes];
    sha::BlockState* lanes[kTailLanes];
    const uint8_t* at[kTailLanes];
    size_t left[kTailLanes];  // whole blocks still to absorb
    size_t which[kTailLanes];
    size_t active = 0, next = 0;
    Finisher finisher;
    for (;;) {
        while (active < kTailLanes && next < count) {
            const SmallFileBatch::Tail& t = tails[next];
            if (t.len < sha::kBlockSize) {
                finisher.add(sha::initial_state(), t);
            } else {
                states[active] = sha::initial_state();
                at[active] = t.data;
                left[active] = t.len / sha::kBlockSize;
                which[active++] = next;
            }
            ++next;
        }
        if (active == 0) break;
        size_t step = left[0];
        for (size_t l = 0; l < active; ++l) {
            step = std::min(step, left[l]);
            lanes[l] = &states[l];
        }
        sha::absorb_blocks(lanes, at, step, active);
        for (size_t l = active; l-- > 0;) {
            at[l] += step * sha::kBlockSize;
            left[l] -= step;
            if (left[l] != 0) continue;
            finisher.add(states[l], tails[which[l]]);
            --active;  // the last lane takes this one's place
            states[l] = states[active];
            at[l] = at[active];
            left[l] = left[active];
            which[l] = which[active];
        }
    }
    finisher.flush();
}

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
    fs::ReadSource src;
    src.fd = fd;
    return add(src, size, tag);
}

int SmallFileBatch::add(const fs::ReadSource& src, uint64_t size, size_t tag) {
    if (!accepts(size) || !has_room(size)) return EINVAL;
    const size_t n = chunks_of(size);
    const size_t want = n * static_cast<size_t>(params_.chunk_size);
    if (!data_.reserve(kBufferBytes)) return ENOMEM;
    try {
        files_.reserve(kMaxDigests);
    } catch (...) {
        return ENOMEM;
    }
    const ssize_t got = fs::read_source(src, data_.data() + used_, want, 0, size);
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
        tails_.reserve(files_.size());
    } catch (...) {
        return ENOMEM;
    }
    tails_.clear();
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
            tails_.push_back(Tail{data_.data() + f.offset + full * chunk, f.got % chunk,
                                  &chunk_digests_[first + full]});
            std::fill(chunk_digests_.begin() + static_cast<ptrdiff_t>(first + full + 1),
                      chunk_digests_.begin() + static_cast<ptrdiff_t>(first + f.chunks),
                      sha::empty_digest());
        }
        first += f.chunks;
    }
    if (g > 0) hash_group();
    hash_tails(tails_.data(), tails_.size());
    return 0;
}

size_t SmallFileBatch::rows_used(size_t chunks) const noexcept {
    if (params_.step <= 0) return 0;
    return static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(params_.step), chunks));
}

// Row r of a file is the hex text of its chunk digests r, r + step, r + 2 step, ... (the same
// messages RowReducer hashes one file at a time); here the rows of every gathered file go through
// the refilling lanes together.
int SmallFileBatch::hash_rows() noexcept {
    if (params_.step <= 0) return 0;
    const auto step = static_cast<uint64_t>(params_.step);
    size_t rows = 0;
    for (const File& f : files_) rows += rows_used(f.chunks);
    try {
        row_text_.resize(digests_ * 64);
        row_digests_.resize(rows);
        tails_.clear();
        tails_.reserve(rows);
    } catch (...) {
        return ENOMEM;
    }
    size_t first = 0, at = 0;
    for (const File& f : files_) {
        const size_t used = rows_used(f.chunks);
        for (size_t r = 0; r < used; ++r) {
            const size_t begin = at;
            for (uint64_t j = r; j < f.chunks; j += step) {
                hash::sha256::to_hex(chunk_digests_[first + j], &row_text_[at]);
                at += 64;
            }
            tails_.push_back(Tail{reinterpret_cast<const uint8_t*>(&row_text_[begin]), at - begin,
                                  &row_digests_[tails_.size()]});
        }
        first += f.chunks;
    }
    hash_tails(tails_.data(), tails_.size());
    return 0;
}

int SmallFileBatch::take_rows(size_t first, size_t chunks,
                              std::vector<hash::sha256::Digest>& rows) noexcept {
    if (params_.step <= 0) return 0;
    try {
        rows.assign(static_cast<size_t>(params_.step), hash::sha256::empty_digest());
    } catch (...) {
        return ENOMEM;
    }
    const size_t used = rows_used(chunks);
    std::copy_n(row_digests_.begin() + static_cast<ptrdiff_t>(first), used, rows.begin());
    return 0;
}

void SmallFileBatch::clear() noexcept {
    files_.clear();
    used_ = 0;
    digests_ = 0;
}

}  // namespace mavelin::fingerprint
