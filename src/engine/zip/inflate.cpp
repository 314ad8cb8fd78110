// Deflate decoder: canonical Huffman codes decoded bit by bit, a 64 KiB output window flushed in
// 32 KiB pieces.
#include "engine/zip/inflate.h"

#include <array>
#include <cstring>
#include <memory>

namespace mavelin::zip {
namespace {

constexpr int kMaxBits = 15;
constexpr size_t kWindow = size_t{1} << 16;  // twice the farthest distance
constexpr size_t kFlushAt = size_t{1} << 15;
constexpr size_t kInputBuffer = size_t{1} << 16;

constexpr std::array<uint16_t, 29> kLengthBase = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                                  15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                                  67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<uint16_t, 30> kDistBase = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<uint8_t, 30> kDistExtra = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                                4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                                9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::array<uint8_t, 19> kCodeOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                11, 4,  12, 3, 13, 2, 14, 1, 15};

// Thrown inside the decoder only; inflate() turns it into its result.
struct Stop {
    InflateStatus status;
    const char* what;
    int errnum = 0;
};

struct Huffman {
    std::array<uint16_t, kMaxBits + 1> count{};  // codes of each length
    std::array<uint16_t, 288> symbol{};          // symbols ordered by code
};

enum class CodeKind { kCodeLengths, kOther, kFixed };

// Builds `h` from code lengths. Over-subscribed sets are refused; incomplete ones only where
// zlib takes them: a single code of one bit, no code at all (an error once used), and the fixed
// distance code (two of its 32 codes are never valid).
void build(Huffman& h, const uint8_t* lengths, size_t n, CodeKind kind, const char* what) {
    h.count.fill(0);
    for (size_t s = 0; s < n; ++s) ++h.count[lengths[s]];
    int max = kMaxBits;
    while (max > 0 && h.count[max] == 0) --max;
    if (max == 0) {
        if (kind == CodeKind::kCodeLengths) throw Stop{InflateStatus::kBadData, what};
        return;  // decodes nothing: any use of it is refused
    }
    int left = 1;
    for (int len = 1; len <= kMaxBits; ++len) {
        left = (left << 1) - h.count[len];
        if (left < 0) throw Stop{InflateStatus::kBadData, what};
    }
    if (left > 0 && kind != CodeKind::kFixed && (kind == CodeKind::kCodeLengths || max != 1))
        throw Stop{InflateStatus::kBadData, what};
    std::array<uint16_t, kMaxBits + 2> offs{};
    for (int len = 1; len < kMaxBits; ++len) offs[len + 1] = offs[len] + h.count[len];
    for (size_t s = 0; s < n; ++s)
        if (lengths[s] != 0) h.symbol[offs[lengths[s]]++] = static_cast<uint16_t>(s);
}

class Inflater {
  public:
    Inflater(const InflateInput& in, uint64_t limit, const InflateOutput& out)
        : in_(in),
          out_(out),
          limit_(limit),
          input_(new uint8_t[kInputBuffer]),
          window_(new uint8_t[kWindow]) {}

    uint64_t run() {
        bool last = false;
        while (!last) {
            last = bits(1) != 0;
            switch (bits(2)) {
                case 0:
                    stored();
                    break;
                case 1:
                    fixed();
                    break;
                case 2:
                    dynamic();
                    break;
                default:
                    throw Stop{InflateStatus::kBadData, "invalid block type"};
            }
        }
        flush();
        return produced_;
    }

    uint64_t produced() const { return produced_; }
    void flush() {
        while (flushed_ < produced_) {
            const size_t at = static_cast<size_t>(flushed_ % kWindow);
            const size_t n =
                static_cast<size_t>(std::min<uint64_t>(produced_ - flushed_, kWindow - at));
            out_(window_.get() + at, n);
            flushed_ += n;
        }
    }

  private:
    uint32_t byte() {
        if (pos_ == len_) {
            const int64_t n = in_(input_.get(), kInputBuffer);
            if (n < 0) throw Stop{InflateStatus::kReadError, "read error", static_cast<int>(-n)};
            if (n == 0) throw Stop{InflateStatus::kTruncated, "compressed data ends early"};
            pos_ = 0;
            len_ = static_cast<size_t>(n);
        }
        return input_[pos_++];
    }
    uint32_t bits(int n) {
        while (count_ < n) {
            buffer_ |= static_cast<uint64_t>(byte()) << count_;
            count_ += 8;
        }
        const auto v = static_cast<uint32_t>(buffer_ & ((uint64_t{1} << n) - 1));
        buffer_ >>= n;
        count_ -= n;
        return v;
    }
    int decode(const Huffman& h) {
        int code = 0, first = 0, index = 0;
        for (int len = 1; len <= kMaxBits; ++len) {
            code |= static_cast<int>(bits(1));
            const int count = h.count[len];
            if (code - count < first) {
                const int at = index + (code - first);
                return h.symbol[static_cast<size_t>(at)];
            }
            index += count;
            first = (first + count) << 1;
            code <<= 1;
        }
        return -1;  // a code the (incomplete) set does not have
    }
    void put(uint8_t b) {
        if (produced_ == limit_)
            throw Stop{InflateStatus::kTooLong, "inflates beyond its declared size"};
        window_[produced_ % kWindow] = b;
        if (++produced_ - flushed_ >= kFlushAt) flush();
    }

    void stored() {
        buffer_ >>= count_ % 8;  // to the byte boundary
        count_ -= count_ % 8;
        const uint32_t len = bits(16);
        if ((~bits(16) & 0xffff) != len)
            throw Stop{InflateStatus::kBadData, "invalid stored block lengths"};
        for (uint32_t i = 0; i < len; ++i) put(static_cast<uint8_t>(bits(8)));
    }

    void codes(const Huffman& lit, const Huffman& dist) {
        for (;;) {
            const int sym = decode(lit);
            if (sym < 0) throw Stop{InflateStatus::kBadData, "invalid literal/length code"};
            if (sym < 256) {
                put(static_cast<uint8_t>(sym));
                continue;
            }
            if (sym == 256) return;
            const auto l = static_cast<size_t>(sym - 257);
            if (l >= kLengthBase.size())
                throw Stop{InflateStatus::kBadData, "invalid literal/length code"};
            const uint32_t length = kLengthBase[l] + bits(kLengthExtra[l]);
            const int dsym = decode(dist);
            if (dsym < 0 || static_cast<size_t>(dsym) >= kDistBase.size())
                throw Stop{InflateStatus::kBadData, "invalid distance code"};
            const uint32_t distance =
                kDistBase[static_cast<size_t>(dsym)] + bits(kDistExtra[static_cast<size_t>(dsym)]);
            if (distance > produced_)
                throw Stop{InflateStatus::kBadData, "invalid distance too far back"};
            for (uint32_t i = 0; i < length; ++i) put(window_[(produced_ - distance) % kWindow]);
        }
    }

    void fixed() {
        if (!fixed_built_) {
            std::array<uint8_t, 288> lengths{};
            for (size_t s = 0; s < 288; ++s)
                lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
            build(fixed_lit_, lengths.data(), 288, CodeKind::kFixed, "invalid fixed code");
            lengths.fill(5);
            build(fixed_dist_, lengths.data(), 30, CodeKind::kFixed, "invalid fixed code");
            fixed_built_ = true;
        }
        codes(fixed_lit_, fixed_dist_);
    }

    void dynamic() {
        const size_t nlen = bits(5) + 257, ndist = bits(5) + 1, ncode = bits(4) + 4;
        if (nlen > 286 || ndist > 30)
            throw Stop{InflateStatus::kBadData, "too many length or distance symbols"};
        std::array<uint8_t, 320> lengths{};
        for (size_t i = 0; i < ncode; ++i) lengths[kCodeOrder[i]] = static_cast<uint8_t>(bits(3));
        Huffman code_lengths;
        build(code_lengths, lengths.data(), 19, CodeKind::kCodeLengths, "invalid code lengths set");
        lengths.fill(0);
        size_t i = 0;
        while (i < nlen + ndist) {
            const int sym = decode(code_lengths);
            if (sym < 0) throw Stop{InflateStatus::kBadData, "invalid code lengths set"};
            if (sym < 16) {
                lengths[i++] = static_cast<uint8_t>(sym);
                continue;
            }
            uint8_t value = 0;
            size_t repeat = 0;
            if (sym == 16) {
                if (i == 0) throw Stop{InflateStatus::kBadData, "invalid bit length repeat"};
                value = lengths[i - 1];
                repeat = 3 + bits(2);
            } else if (sym == 17) {
                repeat = 3 + bits(3);
            } else {
                repeat = 11 + bits(7);
            }
            if (i + repeat > nlen + ndist)
                throw Stop{InflateStatus::kBadData, "invalid bit length repeat"};
            while (repeat-- > 0) lengths[i++] = value;
        }
        if (lengths[256] == 0)
            throw Stop{InflateStatus::kBadData, "invalid code -- missing end-of-block"};
        Huffman lit, dist;
        build(lit, lengths.data(), nlen, CodeKind::kOther, "invalid literal/lengths set");
        build(dist, lengths.data() + nlen, ndist, CodeKind::kOther, "invalid distances set");
        codes(lit, dist);
    }

    const InflateInput& in_;
    const InflateOutput& out_;
    const uint64_t limit_;
    std::unique_ptr<uint8_t[]> input_;
    std::unique_ptr<uint8_t[]> window_;
    size_t pos_ = 0, len_ = 0;
    uint64_t buffer_ = 0;
    int count_ = 0;
    uint64_t produced_ = 0, flushed_ = 0;
    bool fixed_built_ = false;
    Huffman fixed_lit_, fixed_dist_;
};

}  // namespace

InflateResult inflate(const InflateInput& in, uint64_t limit, const InflateOutput& out) noexcept {
    InflateResult r;
    try {
        Inflater inflater(in, limit, out);
        try {
            r.produced = inflater.run();
        } catch (const Stop& stop) {
            inflater.flush();
            r.status = stop.status;
            r.what = stop.what;
            r.errnum = stop.errnum;
            r.produced = inflater.produced();
        }
    } catch (...) {  // no memory for the window
        r.status = InflateStatus::kReadError;
        r.errnum = ENOMEM;
        r.what = "out of memory";
    }
    return r;
}

}  // namespace mavelin::zip
