// Decoder of raw deflate streams (the ZIP "deflate" method), streaming, with its output capped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace mavelin::zip {

// Fills `buf` with up to `len` more compressed bytes; returns the count (0: no more), or -errno.
using InflateInput = std::function<int64_t(uint8_t* buf, size_t len)>;
// Receives the output, in order, in pieces of at most 32 KiB.
using InflateOutput = std::function<void(const uint8_t* data, size_t len)>;

enum class InflateStatus {
    kOk,         // the stream ended; `produced` bytes came out
    kBadData,    // not a valid deflate stream (`what` says why)
    kTooLong,    // the stream would produce more than the limit: stopped at the limit
    kTruncated,  // the input ended before the stream did
    kReadError,  // the input failed with `errnum`
};

struct InflateResult {
    InflateStatus status = InflateStatus::kOk;
    uint64_t produced = 0;
    int errnum = 0;
    const char* what = "";
};

// Inflates one raw deflate stream (RFC 1951, no zlib or gzip wrapper), accepting and refusing
// streams as zlib does. Memory is a fixed window whatever the sizes; never more than `limit`
// bytes of output are produced. Bytes after the end of the stream are left unread. Never throws
// (the output callback must not throw either).
InflateResult inflate(const InflateInput& in, uint64_t limit, const InflateOutput& out) noexcept;

}  // namespace mavelin::zip
