// Reader of the members of a ZIP archive, one by name, accepting and rejecting archives the way
// the host zipfile module does; and the list of an archive's members, refusing duplicates and
// overlaps.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/zip/format.h"

namespace mavelin::zip {

// Random read access to the bytes of an archive.
class Source {
  public:
    virtual ~Source() = default;
    virtual uint64_t size() const = 0;
    // Reads up to `len` bytes at `offset` (fewer only at the end). Returns the count, or -errno.
    virtual int64_t read_at(uint64_t offset, void* buf, size_t len) = 0;
    // 0 when a reader could seek to `offset` (at most 2^63-1), else the errno of that seek:
    // file systems refuse offsets beyond their largest file with EINVAL.
    virtual int seek_error(uint64_t offset) { return offset > uint64_t{INT64_MAX} ? EINVAL : 0; }
};

struct Member {
    // The member's bytes. Also filled for kBadCrc (all of them) and kTruncated (as far as the
    // file holds them), so that a caller can hand out the good part before the failure.
    std::vector<uint8_t> data;
    uint32_t expected_crc = 0;  // from the central directory
    uint64_t size = 0;          // size of the member's content (deflated: what its data gives)
    uint64_t archive_size = 0;  // size of the archive, which a reader's memory budget derives from
    bool beyond_allowance = false;  // kBadData: deflated data inflating beyond the allowance
};

// Reads the member named `member_name` (UTF-8) from the archive at `archive_path`.
//
// The archive is located from its end record like the host library does it: an archive
// comment, ZIP64 end records and bytes prepended to the archive are accepted, the last central
// directory entry of a name wins, and local headers are trusted only for their name and the
// lengths that lead to the data. Stored and deflated members; any other method is kUnsupported.
//
// Outcomes, in the order a reader meets them:
//  - opening the archive: kOsError (os: errno, path), kNotZip, kBadArchive, kBadName, kUnsupported;
//  - opening the member: kNoMember, kOsError (EINVAL, no path: seeking to a header offset
//    below zero or beyond what the file system allows), kBadOffset, kBadMember, kBadName,
//    kUnsupported, kEncrypted;
//  - reading the data: kTruncated, kBadCrc (out->data filled as described above).
// Every offset and size is checked against the real file size before it is used. Deflated data
// is read as the host library reads it (see inflate_data) and may inflate to at most
// memory_budget::allowance(archive size) bytes: beyond that it is kBadData, found in the first
// pass, which keeps nothing. A member of more than memory_budget::process_cap() bytes is refused
// as out of memory (kOsError, ENOMEM) before its bytes are kept: the system might grant the
// memory and end the process once it is touched. Never throws.
// The file is read in pieces of at most 1 MiB; once `cancel` (optional) is set, the next piece
// is not read and the outcome is kOsError with ECANCELED.
// `allowance` (0: memory_budget::allowance(archive size)) is for a caller that has found the
// member sound by a reading that kept little of it.
Status read_member(const std::string& archive_path, const std::string& member_name, Member* out,
                   Error* err, const std::atomic<bool>* cancel = nullptr, uint64_t allowance = 0);

// The same on any source; `label` is the path reported with read errors.
Status read_member(Source& src, const std::string& label, const std::string& member_name,
                   Member* out, Error* err, const std::atomic<bool>* cancel = nullptr,
                   uint64_t allowance = 0);

// A member's content handed out piece by piece, for a reader that keeps only what it needs of
// it. open() makes read_member's checks of the way to the data and gives their outcomes; a
// stored member's CRC-32 is checked in a first pass that keeps nothing, while a deflated member
// is inflated as it is read (on a thread of its own, ending with the stream) and damaged data
// or a CRC-32 mismatch fail read(); any other method is kUnsupported. read() then gives the
// content in order, at most 1 MiB at a time. Once `cancel` (optional) is set, open() stops as
// read_member does and read() fails.
class MemberStream {
  public:
    MemberStream();
    ~MemberStream();
    MemberStream(const MemberStream&) = delete;
    MemberStream& operator=(const MemberStream&) = delete;

    Status open(const std::string& archive_path, const std::string& member_name, Error* err,
                const std::atomic<bool>* cancel = nullptr);
    // Up to `capacity` bytes of the content (after a successful open); 0 once all of it was
    // handed out and matched its CRC-32; -1 when reading or inflating failed or was cancelled,
    // or what was handed out does not match the CRC-32 (then always -1).
    std::ptrdiff_t read(uint8_t* buffer, size_t capacity);
    // The archive's size (after a successful open).
    uint64_t archive_size() const noexcept;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// A member as the central directory lists it.
struct MemberEntry {
    std::string name;            // UTF-8, up to its first NUL (the host's key)
    uint64_t header_offset = 0;  // where its local header starts
    uint64_t data_start = 0;     // where its data starts
    uint64_t compressed = 0;     // bytes of data in the archive
    uint64_t size = 0;           // content size the directory claims
    uint16_t method = 0;
};

// The members of the archive, in central directory order, for a caller that finds its members
// by name and must not meet two readings of one archive. Each member is checked on the way to its
// data as read_member checks it (same outcomes); beyond that, the archive is refused as
// kBadArchive when two members share a name ("Duplicate name: ...") or when a member's header
// and data reach into another member's or into the central directory ("Overlapped entries:
// ..."). Reading a member's data is read_member's work. Never throws.
Status list_members(const std::string& archive_path, std::vector<MemberEntry>* out, Error* err,
                    const std::atomic<bool>* cancel = nullptr);
Status list_members(Source& src, const std::string& label, std::vector<MemberEntry>* out,
                    Error* err, const std::atomic<bool>* cancel = nullptr);

// The same on an archive held in memory.
Status list_members_from_memory(const void* data, size_t len, std::vector<MemberEntry>* out,
                                Error* err);
Status read_member_from_memory(const void* data, size_t len, const std::string& member_name,
                               Member* out, Error* err);

}  // namespace mavelin::zip
