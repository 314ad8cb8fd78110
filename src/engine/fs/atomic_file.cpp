// Atomic file replacement: temporary file beside the target, fsync, rename; folder and
// temporary locks and removal of stale temporaries; cleanup on every failure path.
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

#include "engine/cancellation.h"

namespace mavelin::fs {
namespace {

constexpr int kMaxNameAttempts = 100;
constexpr size_t kMaxBaseInTempName = 100;
constexpr std::string_view kTempSuffix = ".tmp";
constexpr size_t kTagDigits = 16;
// How often a writer waiting for the folder's lock tries again (and looks at its cancel flag).
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

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes the temporary `name` of the folder open on `dirfd` when it is provably dead: a regular
// file of the running user whose lock can be had (its writer holds the lock until the rename,
// and would find the name gone were it to lock it after us), still under that name.
void remove_if_dead(int dirfd, const char* name) {
    struct stat seen;
    if (::fstatat(dirfd, name, &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode) ||
        seen.st_uid != ::geteuid())
        return;
    UniqueFd file(
        openat_retry(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened, named;
    if (!file || flock_retry(file.get(), LOCK_SH | LOCK_NB) != 0 ||
        ::fstat(file.get(), &opened) != 0 || !same_file(opened, seen) ||
        ::fstatat(dirfd, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(named, opened))
        return;
    ::unlinkat(dirfd, name, 0);
}

// Removes the dead temporaries of `target` in the folder (see remove_if_dead).
void remove_temporaries(int dirfd, const std::string& target) {
    UniqueFd list_fd(openat_retry(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!list_fd) return;
    DIR* d = ::fdopendir(list_fd.get());
    if (!d) return;
    list_fd.release();  // the stream owns it now
    while (const struct dirent* e = ::readdir(d)) {
        const std::string name(e->d_name);
        if (is_temporary_name(name, target)) remove_if_dead(dirfd, name.c_str());
    }
    ::closedir(d);
}

// Takes the folder's shared writer lock. The first writer to find the folder free of other
// writers clears what killed runs left. A folder whose lock is taken (a clean-up in progress, or
// someone holding it on purpose) is waited for until it is free or `cancel` turns true
// (ECANCELED). A file system without locks is written without them. 0 or ECANCELED.
int lock_and_clean(int dirfd, const std::string& target, const std::atomic<bool>* cancel) {
    if (flock_retry(dirfd, LOCK_EX | LOCK_NB) == 0) {
        remove_temporaries(dirfd, target);
        if (flock_retry(dirfd, LOCK_SH | LOCK_NB) == 0) return 0;
    }
    for (;;) {
        if (flock_retry(dirfd, LOCK_SH | LOCK_NB) == 0 || errno != EWOULDBLOCK) return 0;
        if (cancellation::requested(cancel)) return ECANCELED;
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
    if (!temp_.empty() && dir_) ::unlinkat(dir_.get(), temp_.c_str(), 0);
    fd_.reset();  // releases the temporary's lock, once its name is gone
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
        UniqueFd file(openat_retry(dir_.get(), candidate.c_str(),
                                   O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!file) {
            if (errno != EEXIST) return errno;
            continue;
        }
        // The lock tells clean-ups that this temporary's writer lives. A clean-up that locked
        // it first is removing it, and one that was done before we locked it has removed the
        // name: either way, another name. A file system without locks has no clean-up locking
        // it either.
        if (flock_retry(file.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            ::unlinkat(dir_.get(), candidate.c_str(), 0);
            continue;
        }
        struct stat mine, named;
        if (::fstat(file.get(), &mine) != 0) return errno;
        if (::fstatat(dir_.get(), candidate.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            !same_file(mine, named))
            continue;
        fd_ = std::move(file);
        temp_ = std::move(candidate);
        return 0;
    }
    return EEXIST;
}

int AtomicFile::open_in(int dirfd, const std::string& name, const std::string& shown, OsError* err,
                        Sync sync, const std::atomic<bool>* cancel) {
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

    if (lockable) {
        if (const int rc = lock_and_clean(dir_.get(), name_, cancel)) return fail(rc, err);
    }
    if (const int rc = create_temporary()) return fail(rc, err);
    struct stat fresh;
    if (::fstat(fd_.get(), &fresh) != 0) return fail(errno, err);
    fresh_mode_ = fresh.st_mode;
    // Replacing a file keeps its permission bits, as rewriting it in place would.
    if (existing && ::fchmod(fd_.get(), st.st_mode & 0777) != 0) return fail(errno, err);
    return 0;
}

int AtomicFile::open(const std::string& target, OsError* err, Sync sync,
                     const std::atomic<bool>* cancel) {
    discard();
    try {
        shown_ = target;
        folder_ = dir_of(target);
        const std::string name = base_of(target);
        UniqueFd dir;
        if (target.empty()) return fail(ENOENT, err);
        if (const int rc = open_at_any_length(AT_FDCWD, folder_, O_PATH | O_DIRECTORY, dir))
            return fail(rc, err);
        return open_in(dir.get(), name, target, err, sync, cancel);
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
    // The temporary's lock lasts until the rename: a duplicate keeps its description open.
    UniqueFd locked(::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0));
    if (!locked) return fail(errno, err);
    // A failed close can mean lost data (NFS, quotas): the new file is not trusted then.
    if (::close(fd_.release()) != 0 && errno != EINTR) return fail(errno, err);
    if (::renameat(dir_.get(), temp_.c_str(), dir_.get(), name_.c_str()) != 0)
        return fail(errno, err);
    temp_.clear();
    renamed_ = true;
    locked.reset();
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
