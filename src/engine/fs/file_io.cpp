// File descriptor ownership, path joining and descriptor-relative opening that works past PATH_MAX.
#include "engine/fs/file_io.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

namespace {

int openat_retry(int dirfd, const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::openat(dirfd, path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

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

int open_for_hashing(const std::string& path, UniqueFd& out, uint64_t* size) {
    UniqueFd fd;
    if (int err = open_at_any_length(AT_FDCWD, path, O_RDONLY | O_NONBLOCK | O_NOCTTY, fd))
        return err;
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

ssize_t pread_full(int fd, void* buf, size_t len, uint64_t offset) {
    size_t done = 0;
    auto* p = static_cast<unsigned char*>(buf);
    while (done < len) {
        ssize_t n = pread_retry(fd, p + done, len - done, offset + done);
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

int write_all(int fd, const void* buf, size_t len) {
    const auto* p = static_cast<const char*>(buf);
    while (len > 0) {
        const ssize_t n = ::write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace mavelin::fs
