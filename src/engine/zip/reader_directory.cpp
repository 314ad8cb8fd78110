// ZIP member reader, finding the members: end record search, ZIP64 records, central directory
// walk, local header checks, the list of all members.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/zip/reader_impl.h"

namespace mavelin::zip::detail {
namespace {

constexpr uint64_t kMaxCommentSearch = (uint64_t{1} << 16) + kEndSize;
constexpr char kNotZipMessage[] = "File is not a zip file";

std::string wide_to_string(Wide v) {
    const bool negative = v < 0;
    unsigned __int128 u =
        negative ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
    std::string digits;
    do {
        digits.push_back(static_cast<char>('0' + static_cast<int>(u % 10)));
        u /= 10;
    } while (u != 0);
    if (negative) digits.push_back('-');
    std::reverse(digits.begin(), digits.end());
    return digits;
}

}  // namespace

Status Reader::find_end(EndRecord* end) {
    const uint64_t fs = src_.size();
    if (fs < kEndSize) return fail(Status::kNotZip, kNotZipMessage);
    uint8_t tail[kEndSize];
    size_t got = 0;
    if (const Status s = read(fs - kEndSize, tail, kEndSize, &got); s != Status::kOk) return s;
    if (got == kEndSize && get32(tail) == kEndSig && get16(tail + 20) == 0) {
        end->location = fs - kEndSize;
        end->cd_size = get32(tail + 12);
        end->cd_offset = get32(tail + 16);
        return find_end64(end);
    }
    // A comment follows the end record: search the last 64 KiB for the latest signature.
    const uint64_t start = fs > kMaxCommentSearch ? fs - kMaxCommentSearch : 0;
    std::vector<uint8_t> buf(fs - start);
    if (const Status s = read(start, buf.data(), buf.size(), &got); s != Status::kOk) return s;
    for (size_t i = got >= 4 ? got - 4 + 1 : 0; i-- > 0;) {
        if (get32(buf.data() + i) != kEndSig) continue;
        if (got - i < kEndSize) return fail(Status::kNotZip, kNotZipMessage);
        end->location = start + i;
        end->cd_size = get32(buf.data() + i + 12);
        end->cd_offset = get32(buf.data() + i + 16);
        return find_end64(end);
    }
    return fail(Status::kNotZip, kNotZipMessage);
}

// A ZIP64 end record sits right before its locator, which sits right before the end record.
Status Reader::find_end64(EndRecord* end) {
    if (end->location < kEnd64LocSize) return Status::kOk;
    uint8_t loc[kEnd64LocSize];
    size_t got = 0;
    if (const Status s = read(end->location - kEnd64LocSize, loc, sizeof loc, &got);
        s != Status::kOk) {
        return s;
    }
    if (got != sizeof loc || get32(loc) != kEnd64LocSig) return Status::kOk;
    if (get32(loc + 4) != 0 || get32(loc + 16) > 1) {
        return fail(Status::kBadArchive, "zipfiles that span multiple disks are not supported");
    }
    if (end->location < kEnd64LocSize + kEnd64Size) return fail(Status::kNotZip, kNotZipMessage);
    uint8_t rec[kEnd64Size];
    if (const Status s = read(end->location - kEnd64LocSize - kEnd64Size, rec, sizeof rec, &got);
        s != Status::kOk) {
        return s;
    }
    if (got != sizeof rec || get32(rec) != kEnd64Sig) return Status::kOk;
    end->cd_size = get64(rec + 40);
    end->cd_offset = get64(rec + 48);
    end->zip64 = true;
    return Status::kOk;
}

Status Reader::parse_extra(std::string_view extra, uint64_t* usize, uint64_t* csize,
                           uint64_t* offset) {
    const auto* p = reinterpret_cast<const uint8_t*>(extra.data());
    size_t n = extra.size();
    while (n >= 4) {
        const uint16_t id = get16(p);
        const size_t len = get16(p + 2);
        if (len + 4 > n) {
            char msg[64];
            std::snprintf(msg, sizeof msg, "Corrupt extra field %04x (size=%zu)", id, len);
            return fail(Status::kBadArchive, msg);
        }
        if (id == kZip64ExtraId) {
            const uint8_t* q = p + 4;
            size_t left = len;
            auto take = [&](uint64_t* field, const char* what) {
                if (left < 8) {
                    fail(Status::kBadArchive,
                         std::string("Corrupt zip64 extra field. ") + what + " not found.");
                    return false;
                }
                *field = get64(q);
                q += 8;
                left -= 8;
                return true;
            };
            if ((*usize == 0xFFFFFFFFFFFFFFFFull || *usize == 0xFFFFFFFFu) &&
                !take(usize, "File size")) {
                return Status::kBadArchive;
            }
            if (*csize == 0xFFFFFFFFu && !take(csize, "Compress size")) return Status::kBadArchive;
            if (*offset == 0xFFFFFFFFu && !take(offset, "Header offset"))
                return Status::kBadArchive;
        }
        p += len + 4;
        n -= len + 4;
    }
    return Status::kOk;
}

// Walks the whole central directory, as opening the archive does; damage anywhere in it fails.
Status Reader::directory_start(const EndRecord& end, Wide* start) {
    *start = static_cast<Wide>(end.location) - end.cd_size -
             (end.zip64 ? kEnd64Size + kEnd64LocSize : 0);
    if (*start < 0) return fail(Status::kBadArchive, "Bad offset for central directory");
    return Status::kOk;
}

Status Reader::find_entry(const EndRecord& end, const std::string& member_name, Entry* found,
                          bool* any, std::vector<Entry>* all) {
    const uint64_t fs = src_.size();
    Wide start_dir = 0;
    if (const Status s = directory_start(end, &start_dir); s != Status::kOk) return s;
    const Wide concat = start_dir - static_cast<Wide>(end.cd_offset);
    const auto start = static_cast<uint64_t>(start_dir);
    std::vector<uint8_t> cd(std::min<uint64_t>(end.cd_size, fs - start));
    size_t got = 0;
    if (const Status s = read(start, cd.data(), cd.size(), &got); s != Status::kOk) return s;

    size_t pos = 0;
    auto take = [&](size_t n) {
        const size_t k = std::min(n, got - pos);
        std::string_view v(reinterpret_cast<const char*>(cd.data() + pos), k);
        pos += k;
        return v;
    };
    Wide total = 0;
    while (total < static_cast<Wide>(end.cd_size)) {
        if (got - pos < kCentralSize)
            return fail(Status::kBadArchive, "Truncated central directory");
        const uint8_t* h = cd.data() + pos;
        pos += kCentralSize;
        if (get32(h) != kCentralSig) {
            return fail(Status::kBadArchive, "Bad magic number for central directory");
        }
        const size_t name_len = get16(h + 28);
        const size_t extra_len = get16(h + 30);
        const size_t comment_len = get16(h + 32);
        const std::string_view raw_name = take(name_len);
        const std::string_view extra = take(extra_len);
        take(comment_len);

        Entry e;
        e.flags = get16(h + 8);
        if (const Status s = decode_name(raw_name, e.flags, &e.name); s != Status::kOk) return s;
        const uint8_t extract_version = h[6];
        if (extract_version > kMaxExtractVersion) {
            char msg[48];
            std::snprintf(msg, sizeof msg, "zip file version %.1f", extract_version / 10.0);
            return fail(Status::kUnsupported, msg);
        }
        e.method = get16(h + 10);
        e.crc = get32(h + 16);
        e.compressed = get32(h + 20);
        e.uncompressed = get32(h + 24);
        uint64_t offset = get32(h + 42);
        if (const Status s = parse_extra(extra, &e.uncompressed, &e.compressed, &offset);
            s != Status::kOk) {
            return s;
        }
        e.header_offset = static_cast<Wide>(offset) + concat;
        if (all) all->push_back(e);
        // Names end at the first NUL; a later entry of the same name replaces an earlier one.
        if (std::string_view(e.name.c_str()) == member_name) {
            *found = std::move(e);
            *any = true;
        }
        total += kCentralSize + name_len + extra_len + comment_len;
    }
    return Status::kOk;
}

Status Reader::open_member(const Entry& e, const std::string& member_name, Wide* data_start) {
    const Wide fs = src_.size();
    const Wide off = e.header_offset;
    // Seeking to the header fails before anything is read, as a file reader would find out.
    if (off < static_cast<Wide>(INT64_MIN) || off > static_cast<Wide>(INT64_MAX)) {
        return fail(Status::kBadOffset, "cannot fit 'int' into an offset-sized integer");
    }
    if (const int code = off < 0 ? EINVAL : src_.seek_error(static_cast<uint64_t>(off))) {
        fail(Status::kOsError, "seek to " + wide_to_string(off));
        if (err_) err_->os.code = code;
        return Status::kOsError;
    }
    if (off + static_cast<Wide>(kLocalSize) > fs)
        return fail(Status::kBadMember, "Truncated file header");
    uint8_t h[kLocalSize];
    size_t got = 0;
    if (const Status s = read(static_cast<uint64_t>(off), h, sizeof h, &got); s != Status::kOk)
        return s;
    if (got != sizeof h) return fail(Status::kBadMember, "Truncated file header");
    if (get32(h) != kLocalSig) return fail(Status::kBadMember, "Bad magic number for file header");
    const size_t name_len = get16(h + 26);
    const size_t extra_len = get16(h + 28);
    const auto name_at = static_cast<uint64_t>(off) + kLocalSize;
    std::string raw(static_cast<size_t>(std::min<Wide>(name_len, fs - name_at)), '\0');
    if (const Status s = read(name_at, raw.data(), raw.size(), &got); s != Status::kOk) return s;
    raw.resize(got);

    if (e.flags & kFlagPatched) {
        return fail(Status::kUnsupported, "compressed patched data (flag bit 5)");
    }
    if (e.flags & kFlagStrongEncryption) {
        return fail(Status::kUnsupported, "strong encryption (flag bit 6)");
    }
    std::string local_name;
    if (const Status s = decode_name(raw, get16(h + 6), &local_name); s != Status::kOk) return s;
    if (local_name != e.name) {
        return fail(Status::kBadMember, "File name in directory " + quote_text(e.name) +
                                            " and header " + quote_bytes(raw) + " differ.");
    }
    if (e.flags & kFlagEncrypted) {
        return fail(Status::kEncrypted, "File " + quote_text(member_name) +
                                            " is encrypted, password required for extraction");
    }
    if (e.method != kMethodStored && e.method != kMethodDeflated) {
        const char* known = e.method == 12 ? "bzip2" : e.method == 14 ? "lzma" : nullptr;
        if (!known) return fail(Status::kUnsupported, "That compression method is not supported");
        return fail(Status::kUnsupported,
                    "compression type " + std::to_string(e.method) + " (" + known + ")");
    }
    *data_start = std::min<Wide>(off + static_cast<Wide>(kLocalSize + name_len + extra_len), fs);
    return Status::kOk;
}

Status Reader::locate(const std::string& member_name, Entry* entry, Wide* data_start) {
    EndRecord end;
    if (const Status s = find_end(&end); s != Status::kOk) return s;
    bool any = false;
    if (const Status s = find_entry(end, member_name, entry, &any); s != Status::kOk) return s;
    if (!any) {
        return fail(Status::kNoMember,
                    "There is no item named " + quote_text(member_name) + " in the archive");
    }
    return open_member(*entry, member_name, data_start);
}

Status Reader::list(std::vector<MemberEntry>* out) {
    out->clear();
    EndRecord end;
    if (const Status s = find_end(&end); s != Status::kOk) return s;
    std::vector<Entry> all;
    Entry unused;
    bool any = false;
    if (const Status s = find_entry(end, std::string(), &unused, &any, &all); s != Status::kOk)
        return s;
    Wide start_dir = 0;
    if (const Status s = directory_start(end, &start_dir); s != Status::kOk) return s;
    std::vector<std::string> keys;
    for (const Entry& e : all) {
        const std::string key(e.name.c_str());
        if (std::find(keys.begin(), keys.end(), key) != keys.end())
            return fail(Status::kBadArchive, "Duplicate name: " + quote_text(key));
        keys.push_back(key);
        Wide data_start = 0;
        if (const Status s = open_member(e, key, &data_start); s != Status::kOk) return s;
        MemberEntry m;
        m.name = key;
        m.header_offset = static_cast<uint64_t>(e.header_offset);
        m.data_start = static_cast<uint64_t>(data_start);
        m.compressed = e.compressed;
        m.size = e.uncompressed;
        m.method = e.method;
        out->push_back(std::move(m));
    }
    // Each member's header and data end before the next member's header, the last one's before
    // the central directory: no byte is read as part of two things.
    std::vector<const MemberEntry*> by_offset;
    for (const MemberEntry& m : *out) by_offset.push_back(&m);
    std::sort(by_offset.begin(), by_offset.end(), [](const MemberEntry* a, const MemberEntry* b) {
        return a->header_offset < b->header_offset;
    });
    for (size_t i = 0; i < by_offset.size(); ++i) {
        const MemberEntry& m = *by_offset[i];
        const Wide limit = i + 1 < by_offset.size()
                               ? static_cast<Wide>(by_offset[i + 1]->header_offset)
                               : start_dir;
        if (static_cast<Wide>(m.data_start) + static_cast<Wide>(m.compressed) > limit)
            return fail(Status::kBadArchive, "Overlapped entries: " + quote_text(m.name));
    }
    return Status::kOk;
}

}  // namespace mavelin::zip::detail
