// ZIP archive records, limits and outcome codes shared by the certificate archive writer and
// reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "engine/fs/os_error.h"

namespace mavelin::zip {

// Outcome of an archive operation. The comment names the host zipfile behaviour each one
// stands for, so that callers can report the same kind of failure.
enum class Status {
    kOk,
    kOsError,      // OSError: `os` holds errno and path (empty when no path is concerned)
    kNotZip,       // BadZipFile("File is not a zip file"): no end-of-central-directory record
    kBadArchive,   // BadZipFile(message): central directory or its records damaged
    kBadName,      // UnicodeDecodeError: a name flagged as UTF-8 is not valid UTF-8
    kUnsupported,  // NotImplementedError(message): version, flag bits or compression method
    kNoMember,     // KeyError(message): no member of that name
    kBadOffset,    // ValueError(message): the member's header offset is no possible file offset
    kBadMember,    // BadZipFile(message): the member's local header is damaged or disagrees
    kEncrypted,    // RuntimeError(message): the member is encrypted
    kTruncated,    // EOFError: the member's data runs past the end of the file
    kBadCrc,       // BadZipFile("Bad CRC-32 for file ..."): data does not match its CRC-32
    kBadData,     // BadZipFile(message): deflated data that is invalid, or inflates to more than an
                  // archive of its size may take in memory
    kBadInput,    // ValueError(message): writer input out of range (timestamp before 1980, name)
    kOutOfRange,  // struct.error(message): a header field does not fit (year after 2107)
    kTooLarge,    // RuntimeError(message): the payload outgrew the ZIP64 decision made for it
};

struct Error {
    Status status = Status::kOk;
    fs::OsError os;       // kOsError only
    std::string message;  // the reason, worded like the host library where it has a wording
};

// Records a failed system call in `err` (when given) and returns kOsError.
inline Status os_error(Error* err, int code, const std::string& path) {
    if (err) {
        err->status = Status::kOsError;
        err->os.code = code;
        err->os.path = path;
        err->message.clear();
    }
    return Status::kOsError;
}

// Records a failure other than a system call's in `err` (when given) and returns `status`.
inline Status set_error(Error* err, Status status, std::string message) {
    if (err) {
        err->status = status;
        err->os = {};
        err->message = std::move(message);
    }
    return status;
}

// The host zipfile version whose layout is reproduced. They differ for members whose local
// header gets a ZIP64 field while their size stays within the limit (about 1.95 to 2 GiB):
// 3.10 keeps the real sizes there and version 2.0, 3.11 writes 0xFFFFFFFF and version 4.5.
enum class HostZip { k310, k311 };

// Record signatures and fixed sizes.
inline constexpr uint32_t kLocalSig = 0x04034b50;     // "PK\3\4"
inline constexpr uint32_t kCentralSig = 0x02014b50;   // "PK\1\2"
inline constexpr uint32_t kEndSig = 0x06054b50;       // "PK\5\6"
inline constexpr uint32_t kEnd64Sig = 0x06064b50;     // "PK\6\6"
inline constexpr uint32_t kEnd64LocSig = 0x07064b50;  // "PK\6\7"
inline constexpr size_t kLocalSize = 30;
inline constexpr size_t kCentralSize = 46;
inline constexpr size_t kEndSize = 22;
inline constexpr size_t kEnd64Size = 56;
inline constexpr size_t kEnd64LocSize = 20;
inline constexpr uint16_t kZip64ExtraId = 0x0001;
inline constexpr size_t kZip64ExtraSize = 20;  // id, length, file size, compressed size

// The writer's limits: beyond kZip64Limit sizes and offsets go into ZIP64 records.
inline constexpr uint64_t kZip64Limit = (uint64_t{1} << 31) - 1;
inline constexpr uint64_t kFileCountLimit = (uint64_t{1} << 16) - 1;
inline constexpr uint8_t kDefaultVersion = 20;
inline constexpr uint8_t kZip64Version = 45;
inline constexpr uint8_t kMaxExtractVersion = 63;
inline constexpr uint8_t kSystemUnix = 3;

// General purpose flag bits.
inline constexpr uint16_t kFlagEncrypted = 0x0001;
inline constexpr uint16_t kFlagPatched = 0x0020;
inline constexpr uint16_t kFlagStrongEncryption = 0x0040;
inline constexpr uint16_t kFlagUtf8 = 0x0800;

inline constexpr uint16_t kMethodStored = 0;
inline constexpr uint16_t kMethodDeflated = 8;

// Little-endian field access.
inline uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t get64(const uint8_t* p) {
    return static_cast<uint64_t>(get32(p)) | (static_cast<uint64_t>(get32(p + 4)) << 32);
}
inline void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace mavelin::zip
