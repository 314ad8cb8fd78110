// Atomic file replacement: temporary file beside the target, fsync, rename; folder lock and
// removal of stale temporaries; cleanup on every failure path.
#include "engine/fs/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string_view>

namespace mavelin::fs {
namespace {

constexpr int kMaxNameAttempts = 100;
constexpr size_t kMaxBaseInTempName = 100;
constexpr std::string_view kTempSuffix = ".tmp";
constexpr size_t kTagDigits = 16;
// How long a writer waits for another one's clean-up before it goes on without the lock.
constexpr int kLockAttempts = 100;
constexpr long kLockPauseNs = 10'000'000;

std::string temp_base(const std::string& target) {
    return target.size() > kMaxBaseInTempName ? target.substr(0, kMaxBaseInTempName) : target;
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

int flock_retry(int fd, int op) {
    int rc;
    do {
        rc = ::flock(fd, op);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// Removes the regular files of the folder that carry a temporary name of `target`.
void remove_temporaries(int dirfd, const std::string& target) {
    UniqueFd list_fd(openat_retry(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!list_fd) return;
    DIR* d = ::fdopendir(list_fd.get());
    if (!d) return;
    list_fd.release();  // the stream owns it now
    while (const struct dirent* e = ::readdir(d)) {
        const std::string name(e->d_name);
        if (!is_temporary_name(name, target)) continue;
        struct stat st;
        if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            ::unlinkat(dirfd, name.c_str(), 0);
    }
    ::closedir(d);
}

// Takes the folder's shared writer lock. The first writer to find the folder free of other
// writers clears what killed runs left. A folder whose lock stays taken (a clean-up in
// progress, or someone holding it on purpose) is written without the lock after a short while.
void lock_and_clean(int dirfd, const std::string& target) {
    if (flock_retry(dirfd, LOCK_EX | LOCK_NB) == 0) {
        remove_temporaries(dirfd, target);
        if (flock_retry(dirfd, LOCK_SH | LOCK_NB) == 0) return;
    }
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        if (flock_retry(dirfd, LOCK_SH | LOCK_NB) == 0 || errno != EWOULDBLOCK) return;
        struct timespec pause {
            0, kLockPauseNs
        };
        ::nanosleep(&pause, nullptr);
    }
}

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

}  // namespace

void remove_stale_temporaries(int dirfd, const std::string& target) noexcept {
    // A description of our own: the exclusive lock is had only while no writer holds one.
    UniqueFd folder(openat_retry(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder || flock_retry(folder.get(), LOCK_EX | LOCK_NB) != 0) return;
    try {
        remove_temporaries(folder.get(), target);
    } catch (...) {  // out of memory for a name: what is left goes next time
    }
}  // closing the description releases the lock

bool is_temporary_name(const std::string& entry, const std::string& target) {
    const std::string base = temp_base(target);
    const size_t want = 1 + base.size() + 1 + kTagDigits + kTempSuffix.size();
    if (entry.size() != want || entry[0] != '.' || entry.compare(1, base.size(), base) != 0 ||
        entry[1 + base.size()] != '.' || !std::string_view(entry).ends_with(kTempSuffix))
        return false;
    for (size_t i = 2 + base.size(); i < 2 + base.size() + kTagDigits; ++i) {
        const char c = entry[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

AtomicFile::~AtomicFile() {
    discard();
}

void AtomicFile::discard() noexcept {
    fd_.reset();
    if (!temp_.empty() && dir_) ::unlinkat(dir_.get(), temp_.c_str(), 0);
    temp_.clear();
    dir_.reset();  // releases the folder lock
}

int AtomicFile::fail(int code, OsError* err) noexcept {
    discard();
    if (err) {
        err->code = code;
        try {
            err->path = shown_;
        } catch (...) {
        }
    }
    return code;
}

std::string AtomicFile::temp_path() const {
    if (temp_.empty() || folder_.empty()) return temp_;
    return folder_ + "/" + temp_;
}

int AtomicFile::create_temporary() {
    appended_ = handed_ = 0;
    const std::string base = temp_base(name_);
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
        char tag[kTagDigits + 2];
        std::snprintf(tag, sizeof tag, ".%016llx", static_cast<unsigned long long>(random_tag()));
        std::string candidate = "." + base + tag + std::string(kTempSuffix);
        // Read as well as write: a writer may move what it wrote (a ZIP64 header grown in).
        const int fd = openat_retry(dir_.get(), candidate.c_str(),
                                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            fd_.reset(fd);
            temp_ = std::move(candidate);
            return 0;
        }
        if (errno != EEXIST) return errno;
    }
    return EEXIST;
}

int AtomicFile::open_in(int dirfd, const std::string& name, const std::string& shown, OsError* err,
                        Sync sync) {
    discard();
    sync_ = sync;
    renamed_ = false;
    try {
        name_ = name;
        shown_ = shown;
    } catch (...) {
        return fail(ENOMEM, err);
    }
    if (name.empty() || name == "." || name == "..") return fail(EISDIR, err);
    if (name.find('/') != std::string::npos) return fail(EINVAL, err);

    // A description of our own carries the lock; a folder we may not list still gets written.
    int d = openat_retry(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool lockable = d >= 0;
    if (!lockable) d = openat_retry(dirfd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (d < 0) return fail(errno, err);
    dir_.reset(d);

    struct stat st;
    bool existing = false;
    if (::fstatat(dir_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) return fail(ELOOP, err);
        if (S_ISDIR(st.st_mode)) return fail(EISDIR, err);
        existing = S_ISREG(st.st_mode);
        // Replacing a file needs the right to rewrite it, as opening it for update would.
        if (existing && ::faccessat(dir_.get(), name.c_str(), R_OK | W_OK, AT_EACCESS) != 0)
            return fail(errno, err);
    } else if (errno != ENOENT) {
        return fail(errno, err);
    }

    if (lockable) lock_and_clean(dir_.get(), name_);
    if (const int rc = create_temporary()) return fail(rc, err);
    struct stat fresh;
    if (::fstat(fd_.get(), &fresh) != 0) return fail(errno, err);
    fresh_mode_ = fresh.st_mode;
    // Replacing a file keeps its permission bits, as rewriting it in place would.
    if (existing && ::fchmod(fd_.get(), st.st_mode & 0777) != 0) return fail(errno, err);
    return 0;
}

int AtomicFile::open(const std::string& target, OsError* err, Sync sync) {
    discard();
    try {
        shown_ = target;
        folder_ = dir_of(target);
        const std::string name = base_of(target);
        UniqueFd dir;
        if (target.empty()) return fail(ENOENT, err);
        if (const int rc = open_at_any_length(AT_FDCWD, folder_, O_PATH | O_DIRECTORY, dir))
            return fail(rc, err);
        return open_in(dir.get(), name, target, err, sync);
    } catch (...) {
        return fail(ENOMEM, err);
    }
}

int AtomicFile::write_all(const void* data, size_t len, OsError* err) {
    constexpr uint64_t kWriteBehind = uint64_t{8} << 20;
    if (!fd_) return fail(EBADF, err);
    const int code = fs::write_all(fd_.get(), data, len);
    if (code != 0) return fail(code, err);
    appended_ += len;
    if (sync_ != Sync::kNone && appended_ - handed_ >= kWriteBehind) {
        // Only a start: errors, if any, are those the sync at commit() reports.
        ::sync_file_range(fd_.get(), static_cast<off_t>(handed_),
                          static_cast<off_t>(appended_ - handed_), SYNC_FILE_RANGE_WRITE);
        handed_ = appended_;
    }
    return 0;
}

int AtomicFile::pwrite_all(const void* data, size_t len, uint64_t offset, OsError* err) {
    if (!fd_) return fail(EBADF, err);
    const int code = fs::pwrite_all(fd_.get(), data, len, offset);
    return code == 0 ? 0 : fail(code, err);
}

int AtomicFile::commit(OsError* err) {
    if (!fd_) return fail(EBADF, err);
    if (sync_ != Sync::kNone && ::fsync(fd_.get()) != 0) return fail(errno, err);
    // A failed close can mean lost data (NFS, quotas): the new file is not trusted then.
    if (::close(fd_.release()) != 0 && errno != EINTR) return fail(errno, err);
    if (::renameat(dir_.get(), temp_.c_str(), dir_.get(), name_.c_str()) != 0)
        return fail(errno, err);
    temp_.clear();
    renamed_ = true;
    int rc = 0;
    if (sync_ == Sync::kFileAndDir) {
        // fsync wants a descriptor that is no O_PATH one.
        UniqueFd sync_fd(openat_retry(dir_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!sync_fd) {
            rc = errno == EACCES ? 0 : errno;  // a folder we may not read: nothing to sync with
        } else if (::fsync(sync_fd.get()) != 0 && errno != EINVAL) {
            rc = errno;
        }
    }
    dir_.reset();
    return rc == 0 ? 0 : fail(rc, err);
}

}  // namespace mavelin::fs
