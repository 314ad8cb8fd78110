// File descriptor ownership, path joining and descriptor-relative opening that works past PATH_MAX.
#include "engine/fs/file_io.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>

#include "engine/fs/link_target.h"

namespace mavelin::fs {

void UniqueFd::reset(int fd) noexcept {
    if (fd_ >= 0 && fd_ != fd)
        ::close(fd_);  // close() errors on a read-only descriptor carry nothing
    fd_ = fd;
}

std::string posix_join(std::string_view a, std::string_view b) {
    if (!b.empty() && b.front() == '/') return std::string(b);
    std::string out;
    out.reserve(a.size() + 1 + b.size());
    out.append(a);
    if (!a.empty() && a.back() != '/') out.push_back('/');
    out.append(b);
    return out;
}

int openat_retry(int dirfd, const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::openat(dirfd, path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int mkdirat_retry(int dirfd, const char* name, mode_t mode) {
    int r;
    do {
        r = ::mkdirat(dirfd, name, mode);
    } while (r != 0 && errno == EINTR);
    return r == 0 ? 0 : errno;
}

int open_at_any_length(int dirfd, const std::string& path, int flags, UniqueFd& out, mode_t mode) {
    flags |= O_CLOEXEC;
    if (path.size() < PATH_MAX) {
        int fd = openat_retry(dirfd, path.c_str(), flags, mode);
        if (fd < 0) return errno;
        out.reset(fd);
        return 0;
    }
    // Resolve the leading directories in groups that each fit one system call. Every group ends at
    // a '/', so the kernel resolves each component exactly as it would in one long path.
    UniqueFd held;
    int base = dirfd;
    std::string_view rest(path);
    std::string group;
    while (rest.size() >= PATH_MAX) {
        size_t slash = rest.rfind('/', PATH_MAX - 2);
        if (slash == std::string_view::npos) return ENAMETOOLONG;  // one component beyond any limit
        group.assign(rest.substr(0, slash + 1));
        int fd = openat_retry(base, group.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
        if (fd < 0) return errno;
        held.reset(fd);
        base = fd;
        rest.remove_prefix(slash + 1);
        // What follows is relative to the group just opened: no leading '/' may stay.
        while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    }
    group.assign(rest.empty() ? std::string_view(".") : rest);
    int fd = openat_retry(base, group.c_str(), flags, mode);
    if (fd < 0) return errno;
    out.reset(fd);
    return 0;
}

namespace {

std::atomic<bool> g_no_openat2{false};  // the kernel lacks it (or refuses it here)

long openat2_retry(int dirfd, const char* path, int flags) {
    struct open_how how {};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_NO_SYMLINKS;
    long fd;
    do {
        fd = ::syscall(SYS_openat2, dirfd, path, &how, sizeof how);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Whether EPERM from openat2() was the sandbox refusing the call itself (a seccomp filter), not
// the file refusing what was asked of it (O_NOATIME on a file of another user): the call is
// tried again on the folder itself, which nothing but a filter refuses that way.
bool openat2_refused(int dirfd) {
    const long probe = openat2_retry(dirfd, ".", O_PATH | O_DIRECTORY);
    if (probe >= 0) {
        ::close(static_cast<int>(probe));
        return false;
    }
    return errno == EPERM || errno == ENOSYS;
}

// openat2() with links refused on the whole path; -1 with errno ENOSYS when unavailable.
int openat2_no_links(int dirfd, const std::string& path, int flags) {
    if (g_no_openat2.load(std::memory_order_relaxed)) {
        errno = ENOSYS;
        return -1;
    }
    const long fd = openat2_retry(dirfd, path.c_str(), flags);
    if (fd >= 0) return static_cast<int>(fd);
    const int code = errno;
    if (code == ENOSYS || (code == EPERM && openat2_refused(dirfd))) {
        g_no_openat2.store(true, std::memory_order_relaxed);
        errno = ENOSYS;
    } else {
        errno = code;
    }
    return -1;
}

// The folder `dir` (components separated by '/') below `root_fd`, no component a link.
int open_folder_below(int root_fd, const std::string& dir, UniqueFd& out) {
    if (dir.size() < PATH_MAX) {
        const int fd = openat2_no_links(root_fd, dir, O_PATH | O_DIRECTORY);
        if (fd >= 0) {
            out.reset(fd);
            return 0;
        }
        if (errno != ENOSYS) return errno;
    }
    // One component at a time: O_NOFOLLOW refuses a link (with O_PATH it would open the link
    // itself, which O_DIRECTORY then refuses), any length works.
    UniqueFd held;
    int base = root_fd;
    size_t at = 0;
    while (at < dir.size()) {
        size_t slash = dir.find('/', at);
        if (slash == std::string::npos) slash = dir.size();
        if (slash > at) {
            const std::string comp = dir.substr(at, slash - at);
            struct stat st;
            if (::fstatat(base, comp.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                return ELOOP;
            const int fd =
                openat_retry(base, comp.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
            if (fd < 0) return errno;
            held.reset(fd);
            base = fd;
        }
        at = slash + 1;
    }
    if (!held) {
        const int fd = openat_retry(root_fd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
        if (fd < 0) return errno;
        held.reset(fd);
    }
    out = std::move(held);
    return 0;
}

}  // namespace

bool openat2_in_use() noexcept {
    return !g_no_openat2.load(std::memory_order_relaxed);
}

int open_below(int root_fd, const std::string& rel, int flags, UniqueFd& out) {
    const size_t slash = rel.rfind('/');
    if (slash == std::string::npos) {  // directly in the root: nothing on the way
        const int fd = openat_retry(root_fd, rel.c_str(), flags | O_CLOEXEC, 0);
        if (fd < 0) return errno;
        out.reset(fd);
        return 0;
    }
    if (rel.size() < PATH_MAX) {
        // The usual case in one call; a link as the last component needs the two steps below.
        const int fd = openat2_no_links(root_fd, rel, flags);
        if (fd >= 0) {
            out.reset(fd);
            return 0;
        }
        if (errno != ENOSYS && errno != ELOOP) return errno;
    }
    UniqueFd folder;
    if (int err = open_folder_below(root_fd, rel.substr(0, slash), folder)) return err;
    const int fd = openat_retry(folder.get(), rel.c_str() + slash + 1, flags | O_CLOEXEC, 0);
    if (fd < 0) return errno;
    out.reset(fd);
    return 0;
}

namespace {

// The checks and mode switch of open_for_hashing on a descriptor just opened.
int prepare_for_hashing(UniqueFd& fd, UniqueFd& out, uint64_t* size) {
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return errno;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!S_ISREG(st.st_mode)) {
        // Pipes, devices and the like read blocking from here on; for regular files the flag
        // changes nothing, so they are spared the two calls.
        int fl = ::fcntl(fd.get(), F_GETFL);
        if (fl < 0 || ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) < 0) return errno;
    }
    if (size) *size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    out = std::move(fd);
    return 0;
}

// After an open for hashing failed with ENXIO: when `open_path(out)` (the same entry opened with
// O_PATH) shows a socket, which no open can read, it is taken as a named pipe without a writer
// reads, empty: `out` becomes the read end of a pipe whose write end is closed. ENXIO otherwise.
template <class OpenPath>
int socket_as_empty(OpenPath&& open_path, UniqueFd& out, uint64_t* size) {
    UniqueFd entry;
    struct stat st;
    if (open_path(entry) != 0 || ::fstat(entry.get(), &st) != 0 || !S_ISSOCK(st.st_mode))
        return ENXIO;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return errno;
    ::close(ends[1]);
    out.reset(ends[0]);
    if (size) *size = 0;
    return 0;
}

constexpr int kNoAtimeRefusals = 64;
// Refusals of O_NOATIME in a row; at kNoAtimeRefusals the process stops asking for it.
std::atomic<int> g_noatime_refusals{0};

}  // namespace

bool noatime_wanted() noexcept {
    return g_noatime_refusals.load(std::memory_order_relaxed) < kNoAtimeRefusals;
}

void noatime_outcome(bool refused) noexcept {
    if (!refused) {
        if (g_noatime_refusals.load(std::memory_order_relaxed) != 0)
            g_noatime_refusals.store(0, std::memory_order_relaxed);
    } else if (g_noatime_refusals.load(std::memory_order_relaxed) < kNoAtimeRefusals) {
        g_noatime_refusals.fetch_add(1, std::memory_order_relaxed);
    }
}

int open_for_hashing(const std::string& path, UniqueFd& out, uint64_t* size) {
    UniqueFd fd;
    const int err = open_keeping_atime(O_RDONLY | O_NONBLOCK | O_NOCTTY, [&](int flags) {
        return open_at_any_length(AT_FDCWD, path, flags, fd);
    });
    if (err == ENXIO)
        return socket_as_empty(
            [&](UniqueFd& entry) { return open_at_any_length(AT_FDCWD, path, O_PATH, entry); }, out,
            size);
    if (err != 0) return err;
    return prepare_for_hashing(fd, out, size);
}

namespace {

// open_below_for_hashing() of an entry, with `extra_flags`.
int open_entry_for_hashing(int root_fd, const std::string& rel, UniqueFd& out, uint64_t* size,
                           int extra_flags) {
    UniqueFd fd;
    const int err =
        open_keeping_atime(O_RDONLY | O_NONBLOCK | O_NOCTTY | extra_flags,
                           [&](int flags) { return open_below(root_fd, rel, flags, fd); });
    if (err == ENXIO)
        return socket_as_empty(
            [&](UniqueFd& entry) {
                return open_below(root_fd, rel, O_PATH | (extra_flags & O_NOFOLLOW), entry);
            },
            out, size);
    if (err != 0) return err;
    return prepare_for_hashing(fd, out, size);
}

// After an open with O_NOFOLLOW failed with ELOOP: when `rel` is a link (its folder reached with
// no link on the way), where its chain of links ends inside the tree. ELOOP when a folder on the
// way is the link, EXDEV when the chain leads out of the tree.
int link_end_below(int root_fd, const std::string& rel, std::string& end) {
    const size_t slash = rel.rfind('/');
    UniqueFd folder;
    if (int err = open_folder_below(
            root_fd, slash == std::string::npos ? "." : rel.substr(0, slash), folder))
        return err;
    const std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
    struct stat st;
    if (::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (!S_ISLNK(st.st_mode)) return ELOOP;
    return link_end_in_tree(root_fd, folder.get(), name, end);
}

}  // namespace

int open_below_for_hashing(int root_fd, const std::string& rel, UniqueFd& out, uint64_t* size,
                           int extra_flags) {
    if (root_fd == AT_FDCWD) return open_entry_for_hashing(root_fd, rel, out, size, extra_flags);
    // A link is not followed by the kernel: it may have been pointed elsewhere since the walk
    // found it inside the tree. Its chain is resolved again, and where it ends is opened with no
    // link followed, so nothing outside the tree is ever read.
    const int err = open_entry_for_hashing(root_fd, rel, out, size, extra_flags | O_NOFOLLOW);
    if (err != ELOOP) return err;
    std::string end;
    if (int e = link_end_below(root_fd, rel, end)) return e;
    return open_entry_for_hashing(root_fd, end, out, size, extra_flags | O_NOFOLLOW);
}

ssize_t read_retry(int fd, void* buf, size_t len) {
    ssize_t n;
    do {
        n = ::read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t pread_retry(int fd, void* buf, size_t len, uint64_t offset) {
    ssize_t n;
    do {
        n = ::pread(fd, buf, len, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t read_full(int fd, void* buf, size_t len) {
    size_t done = 0;
    auto* p = static_cast<unsigned char*>(buf);
    while (done < len) {
        ssize_t n = read_retry(fd, p + done, len - done);
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

ssize_t pread_full(int fd, void* buf, size_t len, uint64_t offset, uint64_t known_end) {
    constexpr size_t kMaxPread = size_t{1} << 30;  // well below what one call may return
    constexpr auto kMaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
    len = std::min<size_t>(len, std::numeric_limits<ssize_t>::max());
    size_t done = 0;
    auto* p = static_cast<unsigned char*>(buf);
    while (done < len) {
        if (offset > kMaxOffset || done >= kMaxOffset - offset) break;  // past any file
        // The system refuses reads that would end beyond the largest offset.
        const size_t room = static_cast<size_t>(
            std::min<uint64_t>(kMaxOffset - offset - done, std::numeric_limits<size_t>::max()));
        const ssize_t n =
            pread_retry(fd, p + done, std::min({len - done, kMaxPread, room}), offset + done);
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
        if (done < len && offset + done == known_end) break;
    }
    return static_cast<ssize_t>(done);
}

namespace {

// Writes all bytes with `put`, which writes at most `len` bytes `done` bytes into the data and
// returns what write() would.
template <typename Put>
int put_all(const void* buf, size_t len, Put put) {
    const auto* p = static_cast<const char*>(buf);
    size_t done = 0;
    while (done < len) {
        const ssize_t n = put(p + done, len - done, done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

int write_all(int fd, const void* buf, size_t len) {
    return put_all(buf, len, [fd](const char* p, size_t n, size_t) { return ::write(fd, p, n); });
}

int pwrite_all(int fd, const void* buf, size_t len, uint64_t offset) {
    return put_all(buf, len, [fd, offset](const char* p, size_t n, size_t done) {
        return ::pwrite(fd, p, n, static_cast<off_t>(offset + done));
    });
}

}  // namespace mavelin::fs
