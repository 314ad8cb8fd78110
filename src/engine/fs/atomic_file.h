// Atomic replacement of a file: write a temporary beside the target, then rename it over the
// target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace mavelin::fs {

// A failed system call: its errno and the path it concerned (empty when none).
struct OsError {
    int code = 0;
    std::string path;
};

enum class Sync {
    kNone,        // no fsync at all
    kFile,        // fsync the new file before the rename (default)
    kFileAndDir,  // also fsync the directory after the rename
};

// Writes a new version of one file. open() creates a uniquely named temporary file in the
// target's directory (mode as a fresh open(..., "wb") would get under the umask, or the mode
// of the existing target); commit() flushes it and renames it over the target. Until commit()
// succeeds the target is untouched; whatever fails, and on destruction without commit(), the
// temporary is removed. Symbolic links at the target are followed: the file they lead to is
// replaced and the links stay. Errors are reported with the caller's target path.
// Not copyable or movable; never throws.
class AtomicFile {
  public:
    AtomicFile() = default;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile();

    // Returns 0 or an errno (also in *err): EISDIR when the target is a directory, EACCES when
    // an existing target may not be written, ENOENT when its folder is missing, ...
    int open(const std::string& target, OsError* err, Sync sync = Sync::kFile);

    // Appends all bytes (EINTR and short writes handled). 0 or an errno.
    int write_all(const void* data, size_t len, OsError* err);
    // Writes all bytes at `offset` without moving the append position. 0 or an errno.
    int pwrite_all(const void* data, size_t len, uint64_t offset, OsError* err);

    // Flushes, closes and renames the temporary over the target. 0 or an errno; after a
    // failure the temporary is gone and the target is as it was.
    int commit(OsError* err);

    // Drops the temporary (also done by the destructor). Safe to call at any time.
    void discard() noexcept;

    bool is_open() const noexcept { return fd_ >= 0; }
    int fd() const noexcept { return fd_; }
    const std::string& temp_path() const noexcept { return temp_; }
    // The file that commit() replaces: the target with symbolic links resolved.
    const std::string& final_path() const noexcept { return final_; }

  private:
    int fail(int code, OsError* err) noexcept;

    int fd_ = -1;
    Sync sync_ = Sync::kFile;
    std::string target_;  // as given, for error reports
    std::string final_;
    std::string temp_;
};

}  // namespace mavelin::fs
