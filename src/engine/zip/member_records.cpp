// The records of an archive of stored members as the host zipfile lays them out: local headers,
// central directory and end records, the members' names and DOS time.
#include "engine/zip/member_records.h"

#include <time.h>

#include <cmath>
#include <string_view>

#include "engine/text/utf8.h"
#include "engine/zip/names.h"

namespace mavelin::zip {
namespace {

// The version the member needs. 3.11 raises it with any ZIP64 local header; 3.10 once a size
// beyond the limit went into the local header, with the declared size (the first header
// written) or the real one (the final header). The raise sticks and reaches the central entry.
uint8_t member_version(const MemberInfo& m) {
    if (!local_header_has_zip64(m.declared_size)) return kDefaultVersion;
    if (m.host == HostZip::k311) return kZip64Version;
    return m.declared_size > kZip64Limit || m.size > kZip64Limit ? kZip64Version : kDefaultVersion;
}

// 32-bit size fields of the local header: 0xFFFFFFFF when the ZIP64 field holds the sizes.
uint32_t local_size_field(const MemberInfo& m) {
    const bool zip64 = local_header_has_zip64(m.declared_size);
    if (m.size > kZip64Limit || (zip64 && m.host == HostZip::k311)) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(m.size);
}

void put_zip64_sizes(uint8_t* p, uint64_t size) {
    put16(p, kZip64ExtraId);
    put16(p + 2, 16);
    put64(p + 4, size);   // uncompressed
    put64(p + 12, size);  // compressed: stored, so the same
}

}  // namespace

bool local_header_has_zip64(uint64_t declared_size) {
    return static_cast<double>(declared_size) * 1.05 > static_cast<double>(kZip64Limit);
}

size_t local_header_size(const MemberInfo& m) {
    return kLocalSize + m.name.size() +
           (local_header_has_zip64(m.declared_size) ? kZip64ExtraSize : 0);
}

std::vector<uint8_t> local_header(const MemberInfo& m) {
    const bool zip64 = local_header_has_zip64(m.declared_size);
    const uint32_t size32 = local_size_field(m);
    std::vector<uint8_t> h(local_header_size(m), 0);
    uint8_t* p = h.data();
    put32(p, kLocalSig);
    p[4] = member_version(m);
    p[5] = 0;
    put16(p + 6, m.flags);
    put16(p + 8, kMethodStored);
    put16(p + 10, m.dos_time);
    put16(p + 12, m.dos_date);
    put32(p + 14, m.crc);
    put32(p + 18, size32);  // compressed
    put32(p + 22, size32);  // uncompressed
    put16(p + 26, static_cast<uint16_t>(m.name.size()));
    put16(p + 28, zip64 ? kZip64ExtraSize : 0);
    std::copy(m.name.begin(), m.name.end(), p + kLocalSize);
    if (zip64) put_zip64_sizes(p + kLocalSize + m.name.size(), m.size);
    return h;
}

std::vector<uint8_t> archive_trailer(const MemberInfo& m) {
    return archive_trailer({PlacedMember{m, 0}}, local_header_size(m) + m.size);
}

std::vector<uint8_t> archive_trailer(const std::vector<PlacedMember>& members, uint64_t cd_offset) {
    // Per member: whether its sizes, its offset go into a ZIP64 field of its central entry.
    auto big = [](const PlacedMember& pm) { return pm.info.size > kZip64Limit; };
    auto far = [](const PlacedMember& pm) { return pm.offset > kZip64Limit; };
    auto extra_size = [&](const PlacedMember& pm) -> size_t {
        const size_t fields = (big(pm) ? 2 : 0) + (far(pm) ? 1 : 0);
        return fields ? 4 + 8 * fields : 0;
    };
    uint64_t cd_size = 0;
    for (const PlacedMember& pm : members)
        cd_size += kCentralSize + pm.info.name.size() + extra_size(pm);
    const uint64_t count = members.size();
    const bool zip64_end =
        count > kFileCountLimit || cd_offset > kZip64Limit || cd_size > kZip64Limit;

    std::vector<uint8_t> t(cd_size + (zip64_end ? kEnd64Size + kEnd64LocSize : 0) + kEndSize, 0);
    uint8_t* p = t.data();
    for (const PlacedMember& pm : members) {
        const MemberInfo& m = pm.info;
        const size_t extra = extra_size(pm);
        const uint8_t version = extra ? kZip64Version : member_version(m);
        const uint32_t size32 = big(pm) ? 0xFFFFFFFFu : static_cast<uint32_t>(m.size);
        put32(p, kCentralSig);
        p[4] = version;  // made by
        p[5] = kSystemUnix;
        p[6] = version;  // needed to extract
        p[7] = 0;
        put16(p + 8, m.flags);
        put16(p + 10, kMethodStored);
        put16(p + 12, m.dos_time);
        put16(p + 14, m.dos_date);
        put32(p + 16, m.crc);
        put32(p + 20, size32);
        put32(p + 24, size32);
        put16(p + 28, static_cast<uint16_t>(m.name.size()));
        put16(p + 30, static_cast<uint16_t>(extra));
        put16(p + 32, 0);  // comment length
        put16(p + 34, 0);  // disk number
        put16(p + 36, 0);  // internal attributes
        put32(p + 38, m.external_attr);
        put32(p + 42, far(pm) ? 0xFFFFFFFFu : static_cast<uint32_t>(pm.offset));
        std::copy(m.name.begin(), m.name.end(), p + kCentralSize);
        uint8_t* x = p + kCentralSize + m.name.size();
        if (extra) {
            put16(x, kZip64ExtraId);
            put16(x + 2, static_cast<uint16_t>(extra - 4));
            x += 4;
            if (big(pm)) {
                put64(x, m.size);      // uncompressed
                put64(x + 8, m.size);  // compressed: stored, so the same
                x += 16;
            }
            if (far(pm)) put64(x, pm.offset);
        }
        p += kCentralSize + m.name.size() + extra;
    }

    if (zip64_end) {
        put32(p, kEnd64Sig);
        put64(p + 4, kEnd64Size - 12);
        put16(p + 12, kZip64Version);
        put16(p + 14, kZip64Version);
        put32(p + 16, 0);
        put32(p + 20, 0);
        put64(p + 24, count);
        put64(p + 32, count);
        put64(p + 40, cd_size);
        put64(p + 48, cd_offset);
        p += kEnd64Size;
        put32(p, kEnd64LocSig);
        put32(p + 4, 0);
        put64(p + 8, cd_offset + cd_size);  // where the ZIP64 end record starts
        put32(p + 16, 1);
        p += kEnd64LocSize;
    }
    put32(p, kEndSig);
    put16(p + 4, 0);
    put16(p + 6, 0);
    put16(p + 8, static_cast<uint16_t>(std::min<uint64_t>(count, 0xFFFF)));
    put16(p + 10, static_cast<uint16_t>(std::min<uint64_t>(count, 0xFFFF)));
    put32(p + 12, static_cast<uint32_t>(std::min<uint64_t>(cd_size, 0xFFFFFFFFu)));
    put32(p + 16, static_cast<uint32_t>(std::min<uint64_t>(cd_offset, 0xFFFFFFFFu)));
    put16(p + 20, 0);  // comment length
    return t;
}

Status set_member_name(const std::string& member_name, MemberInfo* m, Error* err) {
    const std::string_view n(member_name);
    const bool bad_component = n == "." || n == ".." || n.starts_with("./") ||
                               n.starts_with("../") || n.ends_with("/.") || n.ends_with("/..") ||
                               n.find("/./") != n.npos || n.find("/../") != n.npos;
    if (n.empty() || n.find('\0') != n.npos || n.starts_with('/') || n.ends_with('/') ||
        n.find("//") != n.npos || bad_component) {
        return set_error(err, Status::kBadInput,
                         "Member name " + quote_text(n) + " is not a plain path");
    }
    if (!text::is_valid_utf8(n))
        return set_error(err, Status::kBadInput, "Member name is not valid UTF-8");
    if (n.size() > 0xFFFF) {
        return set_error(err, Status::kOutOfRange,
                         "ushort format requires 0 <= number <= (0x7fff * 2 + 1)");
    }
    m->name = member_name;
    m->flags = is_ascii(n) ? 0 : kFlagUtf8;
    return Status::kOk;
}

Status dos_timestamp(int64_t sec, int64_t nsec, uint16_t* dos_time, uint16_t* dos_date,
                     Error* err) {
    // The float form of a stat time, as the host computes it; it can round up to the next second.
    const double mtime = std::floor(static_cast<double>(sec) + static_cast<double>(nsec) * 1e-9);
    if (!(mtime >= -9223372036854775808.0 && mtime < 9223372036854775808.0)) {
        return set_error(err, Status::kOutOfRange, "timestamp out of range for platform time_t");
    }
    const auto t = static_cast<time_t>(mtime);
    struct tm tm {};
    errno = 0;
    if (::localtime_r(&t, &tm) == nullptr) {
        const int code = errno ? errno : EOVERFLOW;
        return os_error(err, code, "");
    }
    const long year = static_cast<long>(tm.tm_year) + 1900;
    if (year < 1980) {
        return set_error(err, Status::kBadInput, "ZIP does not support timestamps before 1980");
    }
    const long date = ((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday;
    if (date > 0xFFFF) {
        return set_error(err, Status::kOutOfRange,
                         "ushort format requires 0 <= number <= (0x7fff * 2 + 1)");
    }
    *dos_date = static_cast<uint16_t>(date);
    *dos_time = static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
    return Status::kOk;
}

}  // namespace mavelin::zip
