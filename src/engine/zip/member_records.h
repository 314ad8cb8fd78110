// The records of an archive of stored members as the host zipfile lays them out: local headers,
// central directory and end records, the members' names and DOS time. The writer builds its
// archive from them; the tests check them against the host's zipfile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/zip/format.h"

namespace mavelin::zip {

// Everything the records of one stored member depend on.
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

// The archive is local header, data, trailer:
// Whether the local header carries a ZIP64 extra field: the size, enlarged by 5 % as room for
// compression overhead, exceeds the limit (the comparison is done in double precision).
bool local_header_has_zip64(uint64_t declared_size);
size_t local_header_size(const MemberInfo& m);
// The final local header, with CRC-32 and sizes filled in.
std::vector<uint8_t> local_header(const MemberInfo& m);
// Central directory, ZIP64 end records when needed, and the end record with an empty comment;
// written right after the data, at local_header_size(m) + m.size.
std::vector<uint8_t> archive_trailer(const MemberInfo& m);

// A member of an archive of several: its records, and where its local header starts.
struct PlacedMember {
    MemberInfo info;
    uint64_t offset = 0;
};
// The trailer of an archive of `members` (in this order), written at `cd_offset`, the end of
// the last member's data. A central entry gets a ZIP64 field for sizes beyond the limit and for
// an offset beyond it, as the host writes them.
std::vector<uint8_t> archive_trailer(const std::vector<PlacedMember>& members, uint64_t cd_offset);

// Sets name and flags from a member name (UTF-8). Names are taken as they will be stored:
// empty names, NUL, leading or trailing '/', "//" and "." or ".." components are refused
// (kBadInput) rather than normalised.
Status set_member_name(const std::string& member_name, MemberInfo* m, Error* err);

// DOS time and date of a modification time given as seconds and nanoseconds since the epoch:
// the time is taken as a double (seconds + nanoseconds * 1e-9), rounded down to a second and
// converted to local time. Before 1980: kBadInput; after 2107: kOutOfRange.
Status dos_timestamp(int64_t sec, int64_t nsec, uint16_t* dos_time, uint16_t* dos_date, Error* err);

}  // namespace mavelin::zip
