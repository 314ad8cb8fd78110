// Reading files for hashing with the page cache left as the run found it, kept, or bypassed
// (O_DIRECT).
#include "engine/fs/cache_reads.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace mavelin::fs {
namespace {

std::atomic<bool> g_direct_refused{false};
std::atomic<bool> g_no_cachestat{false};  // the kernel lacks it (before 6.5) or refuses it here

// The kernel's cachestat() (Linux 6.5), which no C library wraps yet.
constexpr long kSysCachestat = 451;
struct CachestatRange {
    uint64_t off;
    uint64_t len;
};
struct Cachestat {
    uint64_t nr_cache;
    uint64_t nr_dirty;
    uint64_t nr_writeback;
    uint64_t nr_evicted;
    uint64_t nr_recently_evicted;
};

uint64_t page_size() noexcept {
    static const uint64_t size = [] {
        const long s = ::sysconf(_SC_PAGESIZE);
        return s > 0 ? static_cast<uint64_t>(s) : uint64_t{4096};
    }();
    return size;
}

// Cached pages of `len` bytes at `off` (len 0: to the end of the file), or -1 when the kernel
// cannot say.
int64_t cached_pages(int fd, uint64_t off = 0, uint64_t len = 0) noexcept {
    if (g_no_cachestat.load(std::memory_order_relaxed)) return -1;
    CachestatRange range{off, len};
    Cachestat stat{};
    if (::syscall(kSysCachestat, fd, &range, &stat, 0) == 0)
        return static_cast<int64_t>(stat.nr_cache);
    if (errno == ENOSYS || errno == EPERM) g_no_cachestat.store(true, std::memory_order_relaxed);
    return -1;
}

// The bounce buffer of a thread's direct reads that are not aligned as O_DIRECT wants.
constexpr size_t kBounceBytes = size_t{512} << 10;
struct AlignedFree {
    void operator()(uint8_t* p) const noexcept {
        ::operator delete (p, std::align_val_t{kDirectAlign});
    }
};
using AlignedBytes = std::unique_ptr<uint8_t, AlignedFree>;

uint8_t* bounce_buffer() {
    thread_local AlignedBytes buffer;
    if (!buffer) {
        void* p = ::operator new (kBounceBytes, std::align_val_t{kDirectAlign}, std::nothrow);
        buffer.reset(static_cast<uint8_t*>(p));
    }
    return buffer.get();
}

bool aligned(uint64_t v) noexcept {
    return v % kDirectAlign == 0;
}

// pread_full() on an O_DIRECT descriptor: aligned requests go straight into `buf`, the rest
// (unaligned offsets, buffers, or a tail shorter than a block) through the bounce buffer, whole
// blocks read and the wanted part copied out. A direct read returns less than asked only at the
// end of the file.
ssize_t pread_direct(int fd, void* buf, size_t len, uint64_t offset, uint64_t known_end) {
    constexpr auto kMaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
    constexpr size_t kMaxPread = size_t{1} << 30;
    len = std::min<size_t>(len, std::numeric_limits<ssize_t>::max());
    auto* p = static_cast<uint8_t*>(buf);
    size_t done = 0;
    while (done < len) {
        const uint64_t pos = offset + done;
        if (offset > kMaxOffset || done >= kMaxOffset - offset) break;  // past any file
        const size_t left = len - done;
        size_t got = 0;
        if (aligned(pos) && aligned(reinterpret_cast<uintptr_t>(p + done)) &&
            left >= kDirectAlign) {
            const size_t want = std::min(left, kMaxPread) / kDirectAlign * kDirectAlign;
            const ssize_t n = pread_retry(fd, p + done, want, pos);
            if (n < 0) return -1;
            got = static_cast<size_t>(n);
        } else {
            uint8_t* bounce = bounce_buffer();
            if (bounce == nullptr) {
                errno = ENOMEM;
                return -1;
            }
            const uint64_t base = pos / kDirectAlign * kDirectAlign;
            const size_t skip = static_cast<size_t>(pos - base);
            const size_t span = std::min<size_t>(
                kBounceBytes, (skip + left + kDirectAlign - 1) / kDirectAlign * kDirectAlign);
            const ssize_t n = pread_retry(fd, bounce, span, base);
            if (n < 0) return -1;
            const auto in = static_cast<size_t>(n);
            got = in > skip ? std::min(in - skip, left) : 0;
            std::memcpy(p + done, bounce + skip, got);
        }
        if (got == 0) break;
        done += got;
        if (done < len && offset + done == known_end) break;
    }
    return static_cast<ssize_t>(done);
}

// pread_full() that takes what the page cache holds first (RWF_NOWAIT) and reads the rest from
// the device, dropping those pages again.
ssize_t pread_dropping_new(int fd, void* buf, size_t len, uint64_t offset, uint64_t known_end) {
    struct iovec iov {
        buf, len
    };
    ssize_t cached = ::preadv2(fd, &iov, 1, static_cast<off_t>(offset), RWF_NOWAIT);
    if (cached < 0) {
        // EAGAIN: the first page is not cached; EOPNOTSUPP: the file system cannot tell, and what
        // is read is taken as brought in by this run. Other errors come back from the read below.
        cached = 0;
    }
    const auto have = static_cast<size_t>(cached);
    if (have == len || (known_end != UINT64_MAX && offset + have >= known_end)) return cached;
    const ssize_t rest =
        pread_full(fd, static_cast<uint8_t*>(buf) + have, len - have, offset + have, known_end);
    if (rest < 0) return -1;
    if (rest > 0) drop_cached(fd, offset + have, static_cast<uint64_t>(rest), known_end);
    return cached + rest;
}

}  // namespace

int open_below_for_mode(int root_fd, const std::string& rel, ReadMode mode, UniqueFd& out,
                        uint64_t* size, bool* direct) {
    *direct = false;
    if (mode != ReadMode::kDirect) return open_below_for_hashing(root_fd, rel, out, size);
    const int err = open_below_for_hashing(root_fd, rel, out, size, O_DIRECT);
    if (err != EINVAL) {
        *direct = err == 0;
        return err;
    }
    const int plain = open_below_for_hashing(root_fd, rel, out, size);
    if (plain == 0) g_direct_refused.store(true, std::memory_order_relaxed);
    return plain;
}

bool take_direct_io_refused() noexcept {
    return g_direct_refused.exchange(false, std::memory_order_relaxed);
}

CacheUse cache_use_for(int fd, uint64_t size, bool whole_read) {
    if (whole_read || size == 0) return CacheUse::kDropNew;
    const int64_t cached = cached_pages(fd);
    if (cached <= 0) return CacheUse::kDrop;
    if (static_cast<uint64_t>(cached) >= (size - 1) / page_size() + 1) return CacheUse::kKeep;
    return CacheUse::kDropUncached;
}

bool UncachedBlocks::take(int fd, uint64_t size) {
    const uint64_t blocks = size == 0 ? 0 : (size - 1) / kDropGrain + 1;
    uncached_.assign(static_cast<size_t>(blocks), false);
    for (uint64_t b = 0; b < blocks; ++b) {
        const int64_t cached = cached_pages(fd, b * kDropGrain, kDropGrain);
        if (cached < 0) return false;
        uncached_[static_cast<size_t>(b)] = cached == 0;
    }
    return true;
}

void UncachedBlocks::drop(int fd) const noexcept {
    // Runs of uncached blocks, one call each; the last block's run reaches the end of the file.
    const size_t n = uncached_.size();
    for (size_t b = 0; b < n;) {
        if (!uncached_[b]) {
            ++b;
            continue;
        }
        size_t e = b;
        while (e < n && uncached_[e]) ++e;
        const uint64_t len = e == n ? 0 : (e - b) * kDropGrain;
        ::posix_fadvise(fd, static_cast<off_t>(b * kDropGrain), static_cast<off_t>(len),
                        POSIX_FADV_DONTNEED);
        b = e;
    }
}

ssize_t read_source(const ReadSource& src, void* buf, size_t len, uint64_t offset,
                    uint64_t known_end) {
    if (src.direct) return pread_direct(src.fd, buf, len, offset, known_end);
    // kDrop files are dropped by their reader, in blocks (drop_read_prefix).
    if (src.cache == CacheUse::kDropNew)
        return pread_dropping_new(src.fd, buf, len, offset, known_end);
    return pread_full(src.fd, buf, len, offset, known_end);
}

void drop_cached(int fd, uint64_t offset, uint64_t len, uint64_t known_end) noexcept {
    constexpr auto kMaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
    const uint64_t page = page_size();
    const uint64_t start = offset / page * page;
    uint64_t span = 0;  // 0: to the end of the file
    if (known_end == UINT64_MAX || offset + len < known_end) {
        const uint64_t end = std::min(kMaxOffset - page, offset + len);
        span = (end + page - 1) / page * page - start;
    }
    ::posix_fadvise(fd, static_cast<off_t>(start), static_cast<off_t>(span), POSIX_FADV_DONTNEED);
}

void drop_read_prefix(int fd, uint64_t* dropped, uint64_t end) noexcept {
    const uint64_t to = end / kDropGrain * kDropGrain;
    if (to <= *dropped) return;
    ::posix_fadvise(fd, static_cast<off_t>(*dropped), static_cast<off_t>(to - *dropped),
                    POSIX_FADV_DONTNEED);
    *dropped = to;
}

void drop_whole_file(int fd) noexcept {
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

}  // namespace mavelin::fs
