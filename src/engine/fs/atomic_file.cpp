// Atomic file replacement: temporary file beside the target, fsync, rename; cleanup on every
// failure path.
#include "engine/fs/atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "engine/fs/file_io.h"

namespace mavelin::fs {
namespace {

constexpr int kMaxLinkHops = 40;  // as the kernel's own limit for path lookup
constexpr int kMaxNameAttempts = 100;
constexpr size_t kMaxBaseInTempName = 100;

std::string dir_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links from `target` to the file that an open() of it would write. Sets
// *existing when that file exists, with its mode. Returns 0 or an errno.
int resolve(const std::string& target, std::string* out, bool* existing, mode_t* mode) {
    std::string path = target;
    *existing = false;
    for (int hops = 0;; ++hops) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno != ENOENT) return errno;
            break;  // a new file; a missing folder shows up when the temporary is created
        }
        if (S_ISLNK(st.st_mode)) {
            if (hops >= kMaxLinkHops) return ELOOP;
            char buf[4096];
            const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
            if (n < 0) return errno;
            if (static_cast<size_t>(n) == sizeof buf) return ENAMETOOLONG;
            std::string link(buf, static_cast<size_t>(n));
            path = link.starts_with('/') ? link : dir_of(path) + "/" + link;
            continue;
        }
        if (S_ISDIR(st.st_mode)) return EISDIR;
        // Opening an existing file for update needs read and write permission on it.
        if (::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) != 0) return errno;
        *existing = S_ISREG(st.st_mode);
        *mode = st.st_mode;
        break;
    }
    *out = std::move(path);
    return 0;
}

uint64_t random_tag() {
    uint64_t value = 0;
    if (::getrandom(&value, sizeof value, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof value)) {
        return value;
    }
    static std::atomic<uint64_t> counter{0};
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return (static_cast<uint64_t>(ts.tv_nsec) << 20) ^ static_cast<uint64_t>(ts.tv_sec) ^
           (static_cast<uint64_t>(::getpid()) << 40) ^
           (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
}

}  // namespace

AtomicFile::~AtomicFile() {
    discard();
}

void AtomicFile::discard() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        temp_.clear();
    }
}

int AtomicFile::fail(int code, OsError* err) noexcept {
    discard();
    if (err) {
        err->code = code;
        try {
            err->path = target_;
        } catch (...) {
        }
    }
    return code;
}

int AtomicFile::open(const std::string& target, OsError* err, Sync sync) {
    discard();
    sync_ = sync;
    target_ = target;
    final_.clear();
    if (target.empty()) return fail(ENOENT, err);

    bool existing = false;
    mode_t mode = 0;
    if (const int rc = resolve(target, &final_, &existing, &mode)) return fail(rc, err);

    const std::string dir = dir_of(final_);
    std::string base = base_of(final_);
    if (base.size() > kMaxBaseInTempName) base.resize(kMaxBaseInTempName);
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
        char tag[24];
        std::snprintf(tag, sizeof tag, ".%016llx.tmp",
                      static_cast<unsigned long long>(random_tag()));
        std::string candidate = dir + "/." + base + tag;
        const int fd =
            ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) {
            fd_ = fd;
            temp_ = std::move(candidate);
            break;
        }
        if (errno != EEXIST) return fail(errno, err);
    }
    if (fd_ < 0) return fail(EEXIST, err);

    // Replacing a file keeps its permission bits, as rewriting it in place would.
    if (existing && ::fchmod(fd_, mode & 0777) != 0) return fail(errno, err);
    return 0;
}

int AtomicFile::write_all(const void* data, size_t len, OsError* err) {
    if (fd_ < 0) return fail(EBADF, err);
    const int code = fs::write_all(fd_, data, len);
    return code == 0 ? 0 : fail(code, err);
}

int AtomicFile::pwrite_all(const void* data, size_t len, uint64_t offset, OsError* err) {
    if (fd_ < 0) return fail(EBADF, err);
    const auto* p = static_cast<const char*>(data);
    while (len > 0) {
        const ssize_t n = ::pwrite(fd_, p, len, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(errno, err);
        }
        if (n == 0) return fail(EIO, err);
        p += n;
        len -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return 0;
}

int AtomicFile::commit(OsError* err) {
    if (fd_ < 0) return fail(EBADF, err);
    if (sync_ != Sync::kNone && ::fsync(fd_) != 0) return fail(errno, err);
    const int fd = fd_;
    fd_ = -1;
    // A failed close can mean lost data (NFS, quotas): the new file is not trusted then.
    if (::close(fd) != 0 && errno != EINTR) return fail(errno, err);
    if (::rename(temp_.c_str(), final_.c_str()) != 0) return fail(errno, err);
    temp_.clear();
    if (sync_ == Sync::kFileAndDir) {
        const int dfd = ::open(dir_of(final_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd < 0) return fail(errno, err);
        const int rc = ::fsync(dfd) == 0 || errno == EINVAL ? 0 : errno;
        ::close(dfd);
        // The new file is in place; only its durability is in doubt.
        if (rc != 0) return fail(rc, err);
    }
    return 0;
}

}  // namespace mavelin::fs
