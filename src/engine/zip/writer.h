// Writer of a ZIP archive of stored members, the first one streamed, laid out byte for byte as the
// host zipfile module writes it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/fs/atomic_file.h"
#include "engine/zip/format.h"
#include "engine/zip/member_records.h"

namespace mavelin::zip {

struct WriteOptions {
    HostZip host = HostZip::k310;
    fs::Sync sync = fs::Sync::kFile;
    // When it turns true, copying stops and the wait for the folder's lock ends (ECANCELED).
    const std::atomic<bool>* cancel = nullptr;
};

// A new archive whose first stored member's bytes arrive piece by piece: the CRC-32 is computed
// on the way, the archive replaces its target atomically (fs::AtomicFile: nothing is written
// through a link, a failure leaves the old archive and no temporary).
// begin(); optionally set_metadata() before any add(); add() the bytes; optionally
// add_member() for each further member, once the first member's bytes are all in; finish().
// Without set_metadata() the first member gets what a file written at the end would have: the
// time of the last write and the mode of a new file, and its final size as declared size.
// A further member follows the previous one, as zipfile's writestr() of a ZipInfo with the first
// member's time and mode 0600 writes it; an archive without one is byte for byte the archive of
// the first member alone. Any failure discards the new archive; the writer must be begun again.
class MemberArchiveWriter {
  public:
    Status begin(int dirfd, const std::string& archive_name, const std::string& shown,
                 const std::string& member_name, Error* err, const WriteOptions& options = {});
    // The member's time, mode and declared size, as a stat of its source file gives them.
    Status set_metadata(int64_t mtime_sec, int64_t mtime_nsec, uint32_t st_mode,
                        uint64_t declared_size, Error* err);
    Status add(const void* data, size_t len, Error* err);
    // A further stored member `name` (a plain path, unique in the archive) holding `bytes`,
    // kept until finish() writes it after the members added before it. kBadInput for a name
    // already in the archive or no plain path.
    Status add_member(const std::string& name, std::vector<uint8_t> bytes, Error* err);
    Status finish(Error* err);
    void discard() noexcept;
    // Whether finish() got as far as renaming the new archive over the old one.
    bool renamed() const noexcept { return out_.renamed(); }

  private:
    Status start_data(Error* err);
    Status write_further_members(uint64_t at, std::vector<PlacedMember>* placed, Error* err);

    struct Further {
        MemberInfo info;
        std::vector<uint8_t> bytes;
    };

    fs::AtomicFile out_;
    MemberInfo m_;
    std::vector<Further> further_;
    std::string shown_;
    uint64_t size_ = 0;
    uint32_t crc_ = 0;
    bool metadata_set_ = false;
};

// Writes `archive_path` as a ZIP archive whose only member `member_name` holds the bytes of the
// file `payload_path`, stored, with that file's modification time and mode. The payload is
// streamed (CRC-32 computed while copying). The archive is replaced atomically: on any failure
// an existing archive stays as it was and no temporary file remains. Returns kOk, or the
// failure (also in *err): kOsError (errno and the path: archive or payload), kBadInput,
// kOutOfRange, kTooLarge.
Status write_single_stored_member(const std::string& archive_path, const std::string& member_name,
                                  const std::string& payload_path, Error* err,
                                  const WriteOptions& options = {});
// The same with the archive named relative to the folder open on `dirfd` and the payload
// already open (it must be a regular file); the shown paths go into errors.
Status write_member_from_file(int dirfd, const std::string& archive_name,
                              const std::string& shown_archive, const std::string& member_name,
                              int payload_fd, const std::string& shown_payload, Error* err,
                              const WriteOptions& options = {});

// The same archive built in memory from bytes and the payload file's would-be metadata.
Status build_single_stored_member(const std::string& member_name, const void* data, size_t len,
                                  int64_t mtime_sec, int64_t mtime_nsec, uint32_t st_mode,
                                  std::vector<uint8_t>* out, Error* err,
                                  HostZip host = HostZip::k310);

}  // namespace mavelin::zip
