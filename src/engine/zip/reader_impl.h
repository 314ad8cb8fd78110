// Internals of the ZIP member reader shared by its two files: the reader type that finds a
// member (reader_directory.cpp) and reads its data (reader.cpp).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/cancellation.h"
#include "engine/text/utf8.h"
#include "engine/zip/format.h"
#include "engine/zip/inflate.h"
#include "engine/zip/names.h"
#include "engine/zip/reader.h"

namespace mavelin::zip::detail {

// Offsets are computed as the host library does with unbounded integers: a 64-bit size
// subtracted from a position can go far below zero without being an error yet.
using Wide = __int128;

// Stored data is checked, and every read is made, in pieces of at most this size: a cancel is
// seen between two of them.
constexpr size_t kReadPiece = size_t{1} << 20;

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
    Reader(Source& src, const std::string& label, Error* err, const std::atomic<bool>* cancel,
           uint64_t allowance = 0)
        : src_(src), label_(label), err_(err), cancel_(cancel), allowance_(allowance) {}

    Status run(const std::string& member_name, Member* out);
    // Every member, checked on the way to its data; duplicates and overlaps refused.
    Status list(std::vector<MemberEntry>* out);
    // The member's entry and where its data starts, after every check of the way there.
    Status locate(const std::string& member_name, Entry* entry, Wide* data_start);
    // A stored member's data: where it starts and how long it is, after the checks of its
    // length and a first pass of its CRC-32 that keeps nothing.
    Status stored_span(const Entry& e, Wide data_start, const std::string& key, uint64_t* start,
                       uint64_t* want);
    // A deflated member's data inflated into `sink` (at most `limit` bytes, `*produced` of them).
    Status inflate_data(const Entry& e, uint64_t start, const std::string& key, uint64_t limit,
                        uint64_t* produced, const InflateOutput& sink);

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
    // Where the central directory starts in the file (checked not to be below zero).
    Status directory_start(const EndRecord& end, Wide* start);
    // The entry of `member_name` (the last one of that name); every entry also in `all` when given.
    Status find_entry(const EndRecord& end, const std::string& member_name, Entry* found, bool* any,
                      std::vector<Entry>* all = nullptr);
    Status parse_extra(std::string_view extra, uint64_t* usize, uint64_t* csize, uint64_t* offset);
    Status open_member(const Entry& e, const std::string& member_name, Wide* data_start);
    Status read_data(const Entry& e, Wide data_start, const std::string& key, Member* out);

    Source& src_;
    const std::string& label_;
    Error* err_;
    const std::atomic<bool>* cancel_;
    uint64_t allowance_;  // 0: memory_budget::allowance(src_.size())
};

}  // namespace mavelin::zip::detail
