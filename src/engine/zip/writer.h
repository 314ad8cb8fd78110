// Writer of a ZIP archive holding one stored member, laid out byte for byte as the host zipfile
// module writes it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/fs/atomic_file.h"
#include "engine/zip/format.h"

namespace mavelin::zip {

// The host zipfile version whose output is reproduced. They differ for members whose local
// header gets a ZIP64 field while their size stays within the limit (about 1.95 to 2 GiB):
// 3.10 keeps the real sizes there and version 2.0, 3.11 writes 0xFFFFFFFF and version 4.5.
enum class HostZip { k310, k311 };

// Everything the records of the one stored member depend on.
struct MemberInfo {
    HostZip host = HostZip::k310;
    std::string name;  // as stored: ASCII, or UTF-8 with kFlagUtf8 in `flags`
    uint16_t flags = 0;
    uint16_t dos_time = 0;
    uint16_t dos_date = 0;
    uint32_t external_attr = 0;  // st_mode << 16
    uint64_t declared_size = 0;  // the size known when the member was begun (stat): it alone
                                 // decides whether the local header carries a ZIP64 field
    uint64_t size = 0;           // bytes actually stored
    uint32_t crc = 0;
};

// --- Record layout (exposed for tests; the archive is local header, data, trailer) ---

// Whether the local header carries a ZIP64 extra field: the size, enlarged by 5 % as room for
// compression overhead, exceeds the limit (the comparison is done in double precision).
bool local_header_has_zip64(uint64_t declared_size);
size_t local_header_size(const MemberInfo& m);
// The final local header, with CRC-32 and sizes filled in.
std::vector<uint8_t> local_header(const MemberInfo& m);
// Central directory, ZIP64 end records when needed, and the end record with an empty comment;
// written right after the data, at local_header_size(m) + m.size.
std::vector<uint8_t> archive_trailer(const MemberInfo& m);

// Sets name and flags from a member name (UTF-8). Names are taken as they will be stored:
// empty names, NUL, leading or trailing '/', "//" and "." or ".." components are refused
// (kBadInput) rather than normalised.
Status set_member_name(const std::string& member_name, MemberInfo* m, Error* err);

// DOS time and date of a modification time given as seconds and nanoseconds since the epoch:
// the time is taken as a double (seconds + nanoseconds * 1e-9), rounded down to a second and
// converted to local time. Before 1980: kBadInput; after 2107: kOutOfRange.
Status dos_timestamp(int64_t sec, int64_t nsec, uint16_t* dos_time, uint16_t* dos_date, Error* err);

// --- Whole archives ---

struct WriteOptions {
    HostZip host = HostZip::k310;
    fs::Sync sync = fs::Sync::kFile;
    // When it turns true, copying stops and the wait for the folder's lock ends (ECANCELED).
    const std::atomic<bool>* cancel = nullptr;
};

// A new archive holding one stored member whose bytes arrive piece by piece: the CRC-32 is
// computed on the way, the archive replaces its target atomically (fs::AtomicFile: nothing is
// written through a link, a failure leaves the old archive and no temporary).
// begin(); optionally set_metadata() before any add(); add() the bytes; finish().
// Without set_metadata() the member gets what a file written at the end would have: the
// time of the last write and the mode of a new file, and its final size as declared size.
// Any failure discards the new archive; the writer must be begun again.
class MemberArchiveWriter {
  public:
    Status begin(int dirfd, const std::string& archive_name, const std::string& shown,
                 const std::string& member_name, Error* err, const WriteOptions& options = {});
    // The member's time, mode and declared size, as a stat of its source file gives them.
    Status set_metadata(int64_t mtime_sec, int64_t mtime_nsec, uint32_t st_mode,
                        uint64_t declared_size, Error* err);
    Status add(const void* data, size_t len, Error* err);
    Status finish(Error* err);
    void discard() noexcept;
    // Whether finish() got as far as renaming the new archive over the old one.
    bool renamed() const noexcept { return out_.renamed(); }

  private:
    Status start_data(Error* err);

    fs::AtomicFile out_;
    MemberInfo m_;
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
