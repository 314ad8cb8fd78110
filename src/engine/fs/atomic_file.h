// Atomic replacement of a file: write a temporary beside the target, then rename it over the
// target.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/fs/file_io.h"
#include "engine/fs/os_error.h"

namespace mavelin::fs {

enum class Sync {
    kNone,        // no fsync at all
    kFile,        // fsync the new file before the rename (default)
    kFileAndDir,  // also fsync the directory after the rename
};

// Writes a new version of one file of a folder. open_in() creates a uniquely named temporary in
// the folder (O_CREAT | O_EXCL | O_NOFOLLOW, relative to the folder's descriptor; mode as a fresh
// open(..., "wb") would get under the umask, or the mode of the existing target); commit()
// flushes it and renames it over the target. Nothing is ever written through a name that someone
// else could have prepared: a symbolic link at the target is refused (ELOOP), a named pipe or
// any other non-directory entry there is replaced by the rename, never opened. Until commit()
// succeeds the target is untouched; whatever fails, and on destruction without commit(), the
// temporary is removed.
//
// Temporaries are named "." + target + "." + 16 hex digits + ".tmp". Writers of one folder hold
// a shared lock on it, waited for as long as it takes (a clean-up holds it exclusively for a
// moment); a writer never writes without it, except in a folder it may not list, which cannot
// be locked. Each writer also holds an exclusive lock on its own temporary until the rename. A
// writer that finds no other one at work removes the temporaries of that name that killed runs
// left behind: regular files of the running user whose lock nobody holds. Errors are reported
// with the caller's target path. Not copyable or movable; never throws.
class AtomicFile {
  public:
    AtomicFile() = default;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile();

    // `name` (one path component) in the folder open on `dirfd`; `shown` is the path reported
    // with errors. Returns 0 or an errno (also in *err): EISDIR when the target is a directory,
    // ELOOP when it is a symbolic link, EACCES when an existing target may not be written,
    // ECANCELED when `cancel` turned true while the folder's lock was waited for, ...
    int open_in(int dirfd, const std::string& name, const std::string& shown, OsError* err,
                Sync sync = Sync::kFile, const std::atomic<bool>* cancel = nullptr);
    // The same for a path: its folder is opened as given (links in the folder part are
    // followed, as the caller named them), the last component is handled as above.
    int open(const std::string& target, OsError* err, Sync sync = Sync::kFile,
             const std::atomic<bool>* cancel = nullptr);

    // Appends all bytes (EINTR and short writes handled). 0 or an errno. When the file is to be
    // synced, every few MiB appended are handed to the disk at once, so that the sync at
    // commit() has little left to wait for.
    int write_all(const void* data, size_t len, OsError* err);
    // Writes all bytes at `offset` without moving the append position. 0 or an errno.
    int pwrite_all(const void* data, size_t len, uint64_t offset, OsError* err);

    // Flushes, closes and renames the temporary over the target (and syncs the folder with
    // Sync::kFileAndDir). 0 or an errno; after a failure before the rename the temporary is gone
    // and the target is as it was. A failure of the folder sync comes after the rename: the
    // new file is in place, only its durability is in doubt (renamed() tells).
    int commit(OsError* err);

    // Drops the temporary (also done by the destructor). Safe to call at any time.
    void discard() noexcept;

    bool is_open() const noexcept { return fd_.valid(); }
    int fd() const noexcept { return fd_.get(); }
    bool renamed() const noexcept { return renamed_; }
    // The temporary as a path (the folder as given to open(), or "" for open_in()).
    std::string temp_path() const;
    // Mode bits (type and permissions) a new file of the folder gets under the current umask.
    mode_t fresh_mode() const noexcept { return fresh_mode_; }

  private:
    int fail(int code, OsError* err) noexcept;
    int create_temporary();

    UniqueFd fd_;   // the temporary; its open file description carries the temporary's lock
    UniqueFd dir_;  // an open file description of our own: it carries the folder lock
    Sync sync_ = Sync::kFile;
    bool renamed_ = false;
    uint64_t appended_ = 0;  // bytes write_all() added
    uint64_t handed_ = 0;    // of those, the bytes whose writeback was started
    mode_t fresh_mode_ = 0;
    std::string folder_;  // as given to open(), for temp_path()
    std::string name_;
    std::string shown_;  // for error reports
    std::string temp_;   // name of the temporary in the folder, "" when none
};

// Whether `entry` is a name AtomicFile gives the temporaries of `target`.
bool is_temporary_name(const std::string& entry, const std::string& target);

// Removes the temporaries of `target` that killed writers left in the folder open on `dirfd`,
// as AtomicFile does for its own target: only when no writer of the folder holds its lock, and
// only regular files of the running user whose own lock nobody holds, so a temporary still
// being written is never touched, nor another user's. For the other files a writer keeps beside
// its own. Never throws.
void remove_stale_temporaries(int dirfd, const std::string& target) noexcept;

}  // namespace mavelin::fs
