// Per-file fingerprint: chunk hashing with pread, row reduction, and the sequential whole-file driver.
#include "engine/fingerprint.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "engine/sha256_impl.h"

namespace mavelin::fingerprint {
namespace {

namespace sd = sha256::detail;

// Bytes read per pread when chunks are small enough to batch; several chunks of one read are
// hashed side by side. Chunks larger than this are streamed through one hasher.
constexpr size_t kReadBatch = size_t{256} << 10;
// Largest message group handed to hash_many at once.
constexpr size_t kHashGroup = 64;
// Chunk digests handled per step of the sequential driver.
constexpr uint64_t kDigestBatch = 1024;
// Hex blocks per step of the row reducer.
constexpr size_t kRowWindow = 256;

const sha256::Digest& empty_digest() {
  static const sha256::Digest d = sha256::hash(nullptr, 0);
  return d;
}

// Reads up to len bytes at offset, stopping early only at end of file.
// Returns the byte count, or -errno.
int64_t read_at(int fd, uint8_t* buf, size_t len, uint64_t offset) {
  constexpr size_t kMaxPread = size_t{1} << 30;
  size_t got = 0;
  while (got < len) {
    const uint64_t pos = offset + got;
    if (pos > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) break;  // past any file
    const size_t want = std::min(len - got, kMaxPread);
    const ssize_t r = ::pread(fd, buf + got, want, static_cast<off_t>(pos));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -static_cast<int64_t>(errno);
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return static_cast<int64_t>(got);
}

// Byte offset of a chunk; false when it lies beyond any possible file.
bool chunk_offset(uint64_t index, uint64_t chunk_size, uint64_t* offset) {
  if (chunk_size != 0 && index > std::numeric_limits<uint64_t>::max() / chunk_size) return false;
  *offset = index * chunk_size;
  return *offset <= static_cast<uint64_t>(std::numeric_limits<off_t>::max());
}

// Chunks of up to kReadBatch bytes: one pread for many chunks, full ones hashed side by side.
int hash_small_chunks(int fd, size_t chunk, uint64_t first, uint64_t count, sha256::Digest* out,
                      Buffer& scratch, bool* at_eof) {
  const uint64_t per_read = kReadBatch / chunk;
  if (!scratch.reserve(static_cast<size_t>(std::min(per_read, count)) * chunk)) return ENOMEM;
  uint64_t done = 0;
  while (done < count) {
    const uint64_t k = std::min(per_read, count - done);
    uint64_t offset = 0;
    int64_t got = 0;
    if (chunk_offset(first + done, chunk, &offset)) {
      got = read_at(fd, scratch.data(), static_cast<size_t>(k) * chunk, offset);
      if (got < 0) return static_cast<int>(-got);
    }
    const size_t bytes = static_cast<size_t>(got);
    const size_t full = bytes / chunk;
    const uint8_t* ptrs[kHashGroup];
    for (size_t j = 0; j < full; j += kHashGroup) {
      const size_t g = std::min(kHashGroup, full - j);
      for (size_t l = 0; l < g; ++l) ptrs[l] = scratch.data() + (j + l) * chunk;
      sha256::hash_many(ptrs, chunk, g, out + done + j);
    }
    done += full;
    if (full < k) {
      // End of file: a short last chunk, then nothing more is read.
      out[done++] = sha256::hash(scratch.data() + full * chunk, bytes % chunk);
      std::fill(out + done, out + count, empty_digest());
      *at_eof = true;
      return 0;
    }
  }
  return 0;
}

// Chunks too large to buffer: each is streamed through a hasher in kReadBatch pieces.
int hash_large_chunks(int fd, uint64_t chunk, uint64_t first, uint64_t count, sha256::Digest* out,
                      Buffer& scratch, bool* at_eof) {
  if (!scratch.reserve(kReadBatch)) return ENOMEM;
  for (uint64_t i = 0; i < count; ++i) {
    sha256::Hasher h;
    uint64_t offset = 0;
    bool short_read = true;
    if (chunk_offset(first + i, chunk, &offset)) {
      uint64_t left = chunk;
      while (left > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(left, kReadBatch));
        const int64_t got = read_at(fd, scratch.data(), want, offset);
        if (got < 0) return static_cast<int>(-got);
        h.update(scratch.data(), static_cast<size_t>(got));
        if (static_cast<size_t>(got) < want) break;
        offset += want;
        left -= want;
      }
      short_read = left > 0;
    }
    out[i] = h.finish();
    if (short_read) {
      std::fill(out + i + 1, out + count, empty_digest());
      *at_eof = true;
      return 0;
    }
  }
  return 0;
}

int hash_range(int fd, int64_t chunk_size, uint64_t first, uint64_t count, sha256::Digest* out,
               Buffer& scratch, bool* at_eof) {
  *at_eof = false;
  if (count == 0) return 0;
  if (chunk_size <= 0) return EINVAL;
  const auto chunk = static_cast<uint64_t>(chunk_size);
  if (chunk <= kReadBatch) {
    return hash_small_chunks(fd, static_cast<size_t>(chunk), first, count, out, scratch, at_eof);
  }
  return hash_large_chunks(fd, chunk, first, count, out, scratch, at_eof);
}

// Padding block of a row with `members` hex digests, scheduled for the round functions.
void row_padding(uint64_t members, uint32_t* wk) {
  uint8_t block[128];
  sd::pad_tail(nullptr, 0, members * 64, block);
  sd::schedule_block(block, wk);
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
    this->~Buffer();
    data_ = other.data_;
    capacity_ = other.capacity_;
    other.data_ = nullptr;
    other.capacity_ = 0;
  }
  return *this;
}

Buffer::~Buffer() {
  if (data_ != nullptr) ::operator delete(data_, std::align_val_t{64});
  data_ = nullptr;
  capacity_ = 0;
}

bool Buffer::reserve(size_t n) {
  if (n <= capacity_) return true;
  void* p = ::operator new(n, std::align_val_t{64}, std::nothrow);
  if (p == nullptr) return false;
  this->~Buffer();
  data_ = static_cast<uint8_t*>(p);
  capacity_ = n;
  return true;
}

// ---- RowReducer ----

RowReducer::RowReducer(int64_t step) : step_(step) {}

void RowReducer::add(const sha256::Digest* chunk_digests, size_t n) {
  if (step_ <= 0) {
    added_ += n;
    return;
  }
  const sd::Backend& be = sd::backend();
  const auto step = static_cast<uint64_t>(step_);
  alignas(64) char hex[kRowWindow][64];
  const uint8_t* data[kRowWindow];
  uint32_t* states[kRowWindow];

  size_t i = 0;
  while (i < n) {
    const uint64_t row = added_ % step;
    if (row == 0 && step <= kRowWindow && n - i >= step) {
      // Whole passes over all rows: each row takes k consecutive blocks, rows side by side.
      const size_t t = static_cast<size_t>(step);
      const size_t k = std::min((n - i) / t, kRowWindow / t);
      if (states_.size() < 8 * t) states_.resize(8 * t);
      if (added_ == 0) {
        for (size_t r = 0; r < t; ++r) std::memcpy(&states_[8 * r], sd::kInit, 32);
      }
      for (size_t p = 0; p < k; ++p) {
        for (size_t r = 0; r < t; ++r) sha256::to_hex(chunk_digests[i + p * t + r], hex[r * k + p]);
      }
      for (size_t r = 0; r < t; ++r) {
        data[r] = reinterpret_cast<const uint8_t*>(hex[r * k]);
        states[r] = &states_[8 * r];
      }
      sd::compress_lanes(be, states, data, k, t);
      i += k * t;
      added_ += k * t;
    } else {
      // Part of one pass: consecutive rows, one block each.
      const size_t m = static_cast<size_t>(
          std::min<uint64_t>({n - i, step - row, static_cast<uint64_t>(kRowWindow)}));
      if (added_ < step) {  // first pass: these rows get their first member now
        states_.resize(8 * (row + m));
        for (size_t r = 0; r < m; ++r) std::memcpy(&states_[8 * (row + r)], sd::kInit, 32);
      }
      for (size_t r = 0; r < m; ++r) {
        sha256::to_hex(chunk_digests[i + r], hex[r]);
        data[r] = reinterpret_cast<const uint8_t*>(hex[r]);
        states[r] = &states_[8 * (row + r)];
      }
      sd::compress_lanes(be, states, data, 1, m);
      i += m;
      added_ += m;
    }
  }
}

std::vector<sha256::Digest> RowReducer::finish() {
  std::vector<sha256::Digest> rows;
  if (step_ <= 0) return rows;
  const auto step = static_cast<uint64_t>(step_);
  rows.assign(static_cast<size_t>(step), empty_digest());
  const uint64_t used = std::min(added_, step);  // rows with at least one member
  if (used == 0) return rows;

  // Rows below `longer` hold q + 1 members, the other used rows q.
  const uint64_t q = added_ / step;
  const uint64_t longer = added_ % step;
  const sd::Backend& be = sd::backend();
  std::vector<uint32_t> work(states_.begin(), states_.begin() + static_cast<ptrdiff_t>(8 * used));
  alignas(16) uint32_t wk[64];
  uint32_t* states[kRowWindow];
  for (uint64_t begin = 0; begin < used;) {
    const uint64_t members = begin < longer ? q + 1 : q;
    const uint64_t end = std::min({begin < longer ? longer : used, used, begin + kRowWindow});
    row_padding(members, wk);
    for (uint64_t r = begin; r < end; ++r) states[r - begin] = &work[8 * r];
    sd::compress_scheduled(be, states, wk, static_cast<size_t>(end - begin));
    for (uint64_t r = begin; r < end; ++r) rows[r] = sd::state_to_digest(&work[8 * r]);
    begin = end;
  }
  return rows;
}

// ---- Chunk ranges and whole files ----

int hash_chunk_range(int fd, int64_t chunk_size, uint64_t first_chunk, uint64_t count,
                     sha256::Digest* out, Buffer& scratch) {
  bool at_eof = false;
  return hash_range(fd, chunk_size, first_chunk, count, out, scratch, &at_eof);
}

int fingerprint_fd(int fd, uint64_t size, const Params& params,
                   std::vector<sha256::Digest>* rows,
                   std::vector<sha256::Digest>* chunk_digests) {
  const uint64_t n = chunk_count(size, params.chunk_size);
  RowReducer reducer(params.step);
  Buffer scratch;
  sha256::Digest batch[kDigestBatch];
  bool at_eof = false;
  for (uint64_t done = 0; done < n;) {
    const uint64_t k = std::min(kDigestBatch, n - done);
    if (at_eof) {
      // Past the end of a file that shrank: every further read is empty.
      std::fill(batch, batch + k, empty_digest());
    } else {
      const int err = hash_range(fd, params.chunk_size, done, k, batch, scratch, &at_eof);
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
