// Reading files for hashing with the page cache left as the run found it, kept, or bypassed
// (O_DIRECT).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/fs/file_io.h"

namespace mavelin::fs {

// How a run reads the files it hashes.
enum class ReadMode : uint8_t {
    // Pages the run brings into the page cache are dropped again once read; pages that were
    // cached before stay cached.
    kCacheNeutral,
    // Plain reads: the page cache keeps whatever the reads bring in.
    kKeepCache,
    // O_DIRECT: every byte comes from the device, cached copies are bypassed. Where the file system
    // refuses direct I/O the file is read as with kCacheNeutral (direct_io_refused() tells).
    kDirect,
};

// What the reads of one open file do with the page cache.
enum class CacheUse : uint8_t {
    kKeep,     // nothing: the page cache keeps what the reads bring in
    kDrop,     // the file was not cached at all: its reader drops what it has read as it goes
               // (drop_read_prefix) and the whole file at the end
    kDropNew,  // a read takes what the page cache holds first; what had to come from the device
               // is dropped afterwards (a file read whole in one request)
    kDropUncached,  // the file was partly cached: its reader drops the blocks that held no cached
                    // page when it was opened (UncachedBlocks) once the file is read
};

// One open file as the hashing reads see it.
struct ReadSource {
    int fd = -1;
    bool direct = false;  // opened with O_DIRECT: reads go through aligned blocks
    CacheUse cache = CacheUse::kKeep;
};

// Alignment of offsets, lengths and buffers of O_DIRECT reads: the page size, which every block
// device's logical block size divides.
inline constexpr size_t kDirectAlign = 4096;

// open_below_for_hashing() for `mode`: with kDirect the file is opened with O_DIRECT; a file
// system that refuses it (EINVAL) gets a plain open, and direct_io_refused() turns true. `direct`
// tells which open it was.
int open_below_for_mode(int root_fd, const std::string& rel, ReadMode mode, UniqueFd& out,
                        uint64_t* size, bool* direct);

// True once a file system refused O_DIRECT since the last call (which resets it).
bool take_direct_io_refused() noexcept;

// What the reads of a file of `size` bytes (fstat) open on `fd` do with the page cache under a
// cache-neutral run. `whole_read`: the file is read in one request from its start, so the request
// itself tells what was cached (kDropNew, no call). Otherwise cachestat decides once for the file:
// fully cached: kKeep, not cached at all (or when the kernel cannot say, before Linux 6.5):
// kDrop, partly: kDropUncached. A request cannot tell there: readahead, once started by earlier
// reads, brings in pages ahead of the reads.
CacheUse cache_use_for(int fd, uint64_t size, bool whole_read);

// The blocks of kDropGrain bytes of a partly cached file that held no cached page when it was
// opened: what a cache-neutral run drops once the file is read.
class UncachedBlocks {
  public:
    // Looks at each block (one cachestat each). False when the kernel cannot say.
    bool take(int fd, uint64_t size);
    void drop(int fd) const noexcept;

  private:
    std::vector<bool> uncached_;
};

// pread_full() (see file_io.h) of an open file read as `src` says: through aligned blocks for a
// direct descriptor, with what came from the device dropped again for kDropNew.
ssize_t read_source(const ReadSource& src, void* buf, size_t len, uint64_t offset,
                    uint64_t known_end = UINT64_MAX);

// Drops the cached pages of `len` bytes at `offset` (to the end of the file when that range
// reaches `known_end`), the partial pages at both ends included.
void drop_cached(int fd, uint64_t offset, uint64_t len, uint64_t known_end = UINT64_MAX) noexcept;

// For a kDrop file read from its start: drops what lies between *dropped and `end` in whole
// blocks of kDropGrain (readahead fills the cache with large folios, which the kernel drops only
// whole) and moves *dropped on. The rest goes with drop_whole_file() once the file is read.
inline constexpr uint64_t kDropGrain = uint64_t{2} << 20;
void drop_read_prefix(int fd, uint64_t* dropped, uint64_t end) noexcept;
void drop_whole_file(int fd) noexcept;

}  // namespace mavelin::fs
