// File descriptor ownership, path joining and descriptor-relative opening that works past PATH_MAX.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace mavelin::fs {

// Owns one file descriptor and closes it when destroyed. Move-only; -1 means "none".
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held so far (if any) and takes `fd`.
    void reset(int fd = -1) noexcept;

  private:
    int fd_ = -1;
};

// POSIX path join of two parts: `b` alone when it starts with '/', otherwise `a` + '/' + `b`,
// where no separator is added when `a` is empty or already ends with '/'.
std::string posix_join(std::string_view a, std::string_view b);

// openat() retried on EINTR, with `flags` as given. Returns the descriptor, or -1 with errno set.
int openat_retry(int dirfd, const char* path, int flags, mode_t mode = 0);
// mkdirat() of `name` below `dirfd`, retried on EINTR. Returns 0, or the errno (EEXIST included).
int mkdirat_retry(int dirfd, const char* name, mode_t mode);

// openat() for any path length: paths too long for one system call are split at '/' boundaries
// and resolved group by group through directory descriptors, so intermediate symbolic links and
// ".." behave exactly as in a single call. `flags` apply to the last component only; O_CLOEXEC is
// always added. Returns 0 and sets `out`, or the errno.
int open_at_any_length(int dirfd, const std::string& path, int flags, UniqueFd& out,
                       mode_t mode = 0);

// Opens through `open(flags)` (which returns 0 or an errno) with O_NOATIME added where the
// kernel allows it, so that reading leaves the access time alone. Only the owner of a file, or a
// process with CAP_FOWNER, may ask for that; anyone else is refused with EPERM and opens again
// without it. After 64 refusals in a row the process stops asking, so a tree of other users'
// files costs a few more opens, not one more per file.
bool noatime_wanted() noexcept;
void noatime_outcome(bool refused) noexcept;
template <class Open>
int open_keeping_atime(int flags, Open&& open) {
    if (!noatime_wanted()) return open(flags);
    const int err = open(flags | O_NOATIME);
    if (err == 0 || err == EPERM) noatime_outcome(err == EPERM);
    return err == EPERM ? open(flags) : err;
}

// Opens a file read-only for hashing without ever blocking (a named pipe without writer opens at
// once), then switches the descriptor back to blocking reads; the access time is kept where
// open_keeping_atime() can keep it. A directory is refused with EISDIR, as a read-only file open
// of it would be. A socket, which cannot be opened, reads as empty, as a named pipe does. On
// success returns 0, sets `out` and, if `size` is given, stores the size that fstat reports for the
// open file. Returns the errno otherwise.
int open_for_hashing(const std::string& path, UniqueFd& out, uint64_t* size = nullptr);

// Opens `rel` below the folder open on `root_fd` so that no folder on the way is a symbolic
// link: a folder swapped for a link after the walk fails (ELOOP) instead of leading out of the
// tree. The last component is opened with `flags` and followed when it is a link, as a plain
// open would. Works for any path length. Returns 0 and sets `out`, or the errno.
int open_below(int root_fd, const std::string& rel, int flags, UniqueFd& out);

// Whether open_below() still resolves a path in one openat2() call: false once the kernel lacked
// it or a sandbox refused it, after which every folder on the way costs calls of its own.
bool openat2_in_use() noexcept;

// open_for_hashing() of `rel` below `root_fd`, through open_below(); `extra_flags` (O_DIRECT)
// are added to the open of the file. A link is followed only as far as its chain stays in the
// tree: the chain is resolved again here (fs::link_end_in_tree) and where it ends is opened with
// no link followed; one that now leads out fails with EXDEV. (With AT_FDCWD, `rel` absolute, a
// link is followed as a plain open would.)
int open_below_for_hashing(int root_fd, const std::string& rel, UniqueFd& out,
                           uint64_t* size = nullptr, int extra_flags = 0);

// read() and pread() that retry on EINTR. They return what the system call returned (-1 with
// errno set on failure); a short count only happens at end of file or for pipes and the like.
ssize_t read_retry(int fd, void* buf, size_t len);
ssize_t pread_retry(int fd, void* buf, size_t len, uint64_t offset);

// Read until `len` bytes are in or end of file is reached, retrying EINTR and short reads;
// return the count or -1 (errno set). pread_full takes offsets beyond what any file can hold
// as end of file, and any `len`. `known_end`, when given, is the file's size as fstat gave it: a
// read that comes out short exactly there is taken as the end of the file without one more read
// to prove it (a regular file returns less than asked only at its end, and a file that grew since
// would have returned more).
ssize_t read_full(int fd, void* buf, size_t len);
ssize_t pread_full(int fd, void* buf, size_t len, uint64_t offset, uint64_t known_end = UINT64_MAX);

// Write all `len` bytes, retrying EINTR and short writes; 0, or the errno (EIO when the system
// accepts nothing). pwrite_all leaves the file position alone.
int write_all(int fd, const void* buf, size_t len);
int pwrite_all(int fd, const void* buf, size_t len, uint64_t offset);

}  // namespace mavelin::fs
