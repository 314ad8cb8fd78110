// ZIP member reader: end record search, ZIP64 records, central directory walk, local header checks,
// stored data with CRC-32.
#include "engine/zip/reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "engine/cancellation.h"
#include "engine/fs/file_io.h"
#include "engine/hash/crc32.h"
#include "engine/text/utf8.h"
#include "engine/zip/inflate.h"
#include "engine/zip/names.h"

namespace mavelin::zip {
namespace {

// Offsets are computed as the host library does with unbounded integers: a 64-bit size
// subtracted from a position can go far below zero without being an error yet.
using Wide = __int128;

constexpr uint64_t kMaxCommentSearch = (uint64_t{1} << 16) + kEndSize;
constexpr char kNotZipMessage[] = "File is not a zip file";
// Stored data is checked, and every read is made, in pieces of at most this size: a cancel is
// seen between two of them.
constexpr size_t kReadPiece = size_t{1} << 20;

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

class FdSource : public Source {
  public:
    FdSource(fs::UniqueFd fd, uint64_t size) : fd_(std::move(fd)), size_(size) {}
    uint64_t size() const override { return size_; }
    int64_t read_at(uint64_t offset, void* buf, size_t len) override {
        const ssize_t n = fs::pread_full(fd_.get(), buf, len, offset);
        return n < 0 ? -static_cast<int64_t>(errno) : static_cast<int64_t>(n);
    }
    int seek_error(uint64_t offset) override {
        if (offset > uint64_t{INT64_MAX}) return EINVAL;
        return ::lseek(fd_.get(), static_cast<off_t>(offset), SEEK_SET) < 0 ? errno : 0;
    }

  private:
    fs::UniqueFd fd_;
    uint64_t size_;
};

class MemorySource : public Source {
  public:
    MemorySource(const void* data, size_t len)
        : data_(static_cast<const uint8_t*>(data)), len_(len) {}
    uint64_t size() const override { return len_; }
    int64_t read_at(uint64_t offset, void* buf, size_t len) override {
        if (offset >= len_ || len == 0) return 0;
        const size_t n = std::min<uint64_t>(len, len_ - offset);
        std::memcpy(buf, data_ + offset, n);
        return static_cast<int64_t>(n);
    }

  private:
    const uint8_t* data_;
    size_t len_;
};

struct EndRecord {
    uint64_t location = 0;  // file offset of the end record
    uint64_t cd_size = 0;
    uint64_t cd_offset = 0;
    bool zip64 = false;
};

struct Entry {
    std::string name;  // decoded to UTF-8, in full (the key stops at the first NUL)
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t crc = 0;
    uint64_t compressed = 0;
    uint64_t uncompressed = 0;
    Wide header_offset = 0;  // corrected for bytes prepended to the archive
};

class Reader {
  public:
    Reader(Source& src, const std::string& label, Error* err, const std::atomic<bool>* cancel)
        : src_(src), label_(label), err_(err), cancel_(cancel) {}

    Status run(const std::string& member_name, Member* out);
    // The member's entry and where its data starts, after every check of the way there.
    Status locate(const std::string& member_name, Entry* entry, Wide* data_start);
    // A stored member's data: where it starts and how long it is, after the checks of its
    // length and a first pass of its CRC-32 that keeps nothing.
    Status stored_span(const Entry& e, Wide data_start, const std::string& key, uint64_t* start,
                       uint64_t* want);

  private:
    Status fail(Status s, std::string message) {
        if (err_) {
            err_->status = s;
            err_->os = {};
            err_->message = std::move(message);
        }
        return s;
    }
    Status os_fail(int code) { return os_error(err_, code, label_); }
    // Reads up to len bytes at off into buf; *got is short only at the end of the file. Once
    // `cancel_` is set, fails with ECANCELED before the next piece.
    Status read(uint64_t off, void* buf, size_t len, size_t* got) {
        auto* out = static_cast<uint8_t*>(buf);
        *got = 0;
        while (*got < len) {
            if (cancellation::requested(cancel_)) return os_fail(ECANCELED);
            const size_t want = std::min(len - *got, kReadPiece);
            const int64_t n = src_.read_at(off + *got, out + *got, want);
            if (n < 0) return os_fail(static_cast<int>(-n));
            *got += static_cast<size_t>(n);
            if (static_cast<size_t>(n) < want) break;  // the end of the file
        }
        return Status::kOk;
    }
    Status decode_name(std::string_view raw, uint16_t flags, std::string* out) {
        if (flags & kFlagUtf8) {
            if (!text::is_valid_utf8(raw)) {
                return fail(Status::kBadName,
                            "'utf-8' codec can't decode the name " + quote_bytes(raw));
            }
            out->assign(raw);
        } else {
            *out = cp437_to_utf8(raw);
        }
        return Status::kOk;
    }

    Status find_end(EndRecord* end);
    Status find_end64(EndRecord* end);
    Status find_entry(const EndRecord& end, const std::string& member_name, Entry* found,
                      bool* any);
    Status parse_extra(std::string_view extra, uint64_t* usize, uint64_t* csize, uint64_t* offset);
    Status open_member(const Entry& e, const std::string& member_name, Wide* data_start);
    Status read_data(const Entry& e, Wide data_start, const std::string& key, Member* out);
    Status inflate_data(const Entry& e, uint64_t start, const std::string& key,
                        const InflateOutput& sink);

    Source& src_;
    const std::string& label_;
    Error* err_;
    const std::atomic<bool>* cancel_;
};

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
Status Reader::find_entry(const EndRecord& end, const std::string& member_name, Entry* found,
                          bool* any) {
    const uint64_t fs = src_.size();
    const Wide start_dir = static_cast<Wide>(end.location) - end.cd_size -
                           (end.zip64 ? kEnd64Size + kEnd64LocSize : 0);
    if (start_dir < 0) return fail(Status::kBadArchive, "Bad offset for central directory");
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

std::atomic<uint64_t> g_member_cap{0};  // 0: half the machine's memory

// Throws std::bad_alloc (ENOMEM for the caller) when a member of `bytes` is more than may be
// kept in memory.
void check_member_fits(uint64_t bytes) {
    if (bytes > member_memory_cap()) throw std::bad_alloc();
}

// The member's data goes through its CRC-32 (inflated, for deflate) in a first pass that keeps
// nothing; only data that matches is read again into `out`. A member that claims more than it
// holds, or inflates beyond what it claims, never costs more than a piece of memory.
Status Reader::read_data(const Entry& e, Wide data_start, const std::string& key, Member* out) {
    out->expected_crc = e.crc;
    out->data.clear();
    const auto start = static_cast<uint64_t>(data_start);
    const uint64_t avail = src_.size() - start;
    const std::string truncated =
        "Data of " + quote_text(key) + " runs past the end of the archive";
    if (e.method == kMethodDeflated) {
        out->size = e.uncompressed;
        // A reader meets the end of the file only when it still expects compressed bytes.
        if (e.compressed != 0 && avail == 0) return fail(Status::kTruncated, truncated);
        uint32_t crc = 0;
        Status s = inflate_data(e, start, key, [&crc](const uint8_t* p, size_t n) {
            crc = hash::crc32::update(crc, p, n);
        });
        if (s != Status::kOk) return s;
        if (crc != e.crc) return fail(Status::kBadCrc, "Bad CRC-32 for file " + quote_text(key));
        check_member_fits(e.uncompressed);
        out->data.reserve(static_cast<size_t>(e.uncompressed));
        s = inflate_data(e, start, key, [out](const uint8_t* p, size_t n) {
            out->data.insert(out->data.end(), p, p + n);
        });
        if (s != Status::kOk) {
            out->data.clear();
            return s;
        }
    } else {
        out->size = std::min(e.compressed, e.uncompressed);
        uint64_t start_at = 0, want = 0;
        if (const Status s = stored_span(e, data_start, key, &start_at, &want); s != Status::kOk)
            return s;
        check_member_fits(want);
        out->data.resize(static_cast<size_t>(want));
        size_t got = 0;
        if (const Status s = read(start, out->data.data(), out->data.size(), &got);
            s != Status::kOk) {
            out->data.clear();
            return s;
        }
        if (got < want) {
            out->data.clear();
            return fail(Status::kTruncated, truncated);
        }
    }
    // The file may have changed between the passes: what is handed out is checked itself.
    if (hash::crc32::compute(out->data.data(), out->data.size()) != e.crc) {
        out->data.clear();
        return fail(Status::kBadCrc, "Bad CRC-32 for file " + quote_text(key));
    }
    return fail(Status::kOk, "");
}

Status Reader::stored_span(const Entry& e, Wide data_start, const std::string& key, uint64_t* start,
                           uint64_t* want_out) {
    *start = static_cast<uint64_t>(data_start);
    const uint64_t avail = src_.size() - *start;
    const std::string truncated =
        "Data of " + quote_text(key) + " runs past the end of the archive";
    const uint64_t content = std::min(e.compressed, e.uncompressed);
    if (e.compressed != 0 && avail == 0) return fail(Status::kTruncated, truncated);
    const uint64_t want = e.compressed == 0 ? 0 : content;
    if (want > avail) return fail(Status::kTruncated, truncated);
    std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(want, kReadPiece)));
    uint32_t crc = 0;
    for (uint64_t done = 0; done < want;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(want - done, piece.size()));
        size_t got = 0;
        if (const Status s = read(*start + done, piece.data(), n, &got); s != Status::kOk) return s;
        if (got < n) return fail(Status::kTruncated, truncated);  // the file shrank
        crc = hash::crc32::update(crc, piece.data(), n);
        done += n;
    }
    if (crc != e.crc) return fail(Status::kBadCrc, "Bad CRC-32 for file " + quote_text(key));
    *want_out = want;
    return Status::kOk;
}

Status Reader::inflate_data(const Entry& e, uint64_t start, const std::string& key,
                            const InflateOutput& sink) {
    const uint64_t in_file = std::min(e.compressed, src_.size() - start);
    uint64_t offset = 0;
    const InflateInput input = [&](uint8_t* buf, size_t len) -> int64_t {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(len, in_file - offset));
        if (n == 0) return 0;
        if (cancellation::requested(cancel_)) return -ECANCELED;
        const int64_t got = src_.read_at(start + offset, buf, n);
        if (got > 0) offset += static_cast<uint64_t>(got);
        return got;
    };
    const InflateResult r = inflate(input, e.uncompressed, sink);
    switch (r.status) {
        case InflateStatus::kOk:
            if (r.produced == e.uncompressed) return Status::kOk;
            return fail(Status::kBadData, "Deflated data of " + quote_text(key) + " inflates to " +
                                              std::to_string(r.produced) + " bytes, not the " +
                                              std::to_string(e.uncompressed) + " declared");
        case InflateStatus::kReadError:
            return os_fail(r.errnum);
        case InflateStatus::kTruncated:
            if (in_file < e.compressed)
                return fail(Status::kTruncated,
                            "Data of " + quote_text(key) + " runs past the end of the archive");
            [[fallthrough]];
        default:
            return fail(Status::kBadData,
                        "Deflated data of " + quote_text(key) + " is invalid: " + r.what);
    }
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

Status Reader::run(const std::string& member_name, Member* out) {
    out->data.clear();
    out->expected_crc = 0;
    out->size = 0;
    Entry entry;
    Wide data_start = 0;
    if (const Status s = locate(member_name, &entry, &data_start); s != Status::kOk) return s;
    return read_data(entry, data_start, std::string(entry.name.c_str()), out);
}

// The archive at `path` opened as a source; null with the error for what cannot be opened.
std::unique_ptr<FdSource> open_source(const std::string& path, Error* err) {
    // O_NONBLOCK: a FIFO in place of the archive must not block the open.
    fs::UniqueFd fd(fs::openat_retry(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return os_error(err, errno, path), nullptr;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return os_error(err, errno, path), nullptr;
    if (S_ISDIR(st.st_mode)) return os_error(err, EISDIR, path), nullptr;
    uint64_t size = 0;
    if (S_ISREG(st.st_mode)) {
        size = static_cast<uint64_t>(st.st_size);
    } else if (S_ISBLK(st.st_mode)) {
        const off_t end = ::lseek(fd.get(), 0, SEEK_END);
        size = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
    // Anything else (FIFO, socket, character device) has no end to search from: size 0.
    return std::make_unique<FdSource>(std::move(fd), size);
}

}  // namespace

uint64_t member_memory_cap() noexcept {
    const uint64_t set = g_member_cap.load(std::memory_order_relaxed);
    if (set != 0) return set;
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return UINT64_MAX;
    return static_cast<uint64_t>(pages) / 2 * static_cast<uint64_t>(page);
}

void set_member_memory_cap(uint64_t bytes) noexcept {
    g_member_cap.store(bytes, std::memory_order_relaxed);
}

Status read_member(Source& src, const std::string& label, const std::string& member_name,
                   Member* out, Error* err, const std::atomic<bool>* cancel) {
    try {
        Reader reader(src, label, err, cancel);
        return reader.run(member_name, out);
    } catch (const std::bad_alloc&) {
        out->data.clear();
        return os_error(err, ENOMEM, label);
    }
}

Status read_member(const std::string& archive_path, const std::string& member_name, Member* out,
                   Error* err, const std::atomic<bool>* cancel) {
    std::unique_ptr<FdSource> src;
    try {
        src = open_source(archive_path, err);
    } catch (const std::bad_alloc&) {
        return os_error(err, ENOMEM, archive_path);
    }
    if (!src) return err ? err->status : Status::kOsError;
    return read_member(*src, archive_path, member_name, out, err, cancel);
}

struct MemberStream::State {
    std::unique_ptr<FdSource> src;
    const std::atomic<bool>* cancel = nullptr;
    uint64_t start = 0, size = 0, done = 0;
    uint32_t expected = 0, crc = 0;
    bool failed = false;
};

MemberStream::MemberStream() = default;
MemberStream::~MemberStream() = default;

Status MemberStream::open(const std::string& archive_path, const std::string& member_name,
                          Error* err, const std::atomic<bool>* cancel) {
    try {
        state_ = std::make_unique<State>();
        state_->cancel = cancel;
        state_->src = open_source(archive_path, err);
        if (!state_->src) return err ? err->status : Status::kOsError;
        Reader reader(*state_->src, archive_path, err, cancel);
        Entry entry;
        Wide data_start = 0;
        if (const Status s = reader.locate(member_name, &entry, &data_start); s != Status::kOk)
            return s;
        if (entry.method != kMethodStored) return Status::kUnsupported;
        state_->expected = entry.crc;
        return reader.stored_span(entry, data_start, std::string(entry.name.c_str()),
                                  &state_->start, &state_->size);
    } catch (const std::bad_alloc&) {
        return os_error(err, ENOMEM, archive_path);
    }
}

std::ptrdiff_t MemberStream::read(uint8_t* buffer, size_t capacity) {
    State& st = *state_;
    if (st.failed || cancellation::requested(st.cancel)) {
        st.failed = true;
        return -1;
    }
    const size_t n =
        static_cast<size_t>(std::min<uint64_t>(std::min(capacity, kReadPiece), st.size - st.done));
    if (n == 0) return 0;
    const int64_t got = st.src->read_at(st.start + st.done, buffer, n);
    if (got != static_cast<int64_t>(n)) {  // an error, or the file shrank
        st.failed = true;
        return -1;
    }
    st.crc = hash::crc32::update(st.crc, buffer, n);
    st.done += n;
    if (st.done == st.size && st.crc != st.expected) {  // the file changed after the first pass
        st.failed = true;
        return -1;
    }
    return static_cast<std::ptrdiff_t>(n);
}

Status read_member_from_memory(const void* data, size_t len, const std::string& member_name,
                               Member* out, Error* err) {
    MemorySource src(data, len);
    return read_member(src, "<memory>", member_name, out, err, nullptr);
}

}  // namespace mavelin::zip
