// Tests of the deflate decoder against zlib: streams of every kind, damaged streams, the output
// cap.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/hash/crc32/crc32.h"
#include "engine/zip/inflate.h"
#include "zip_test_support.h"

namespace mavelin::zip {
namespace {

using namespace mavelin::ziptest;

struct Outcome {
    InflateResult result;
    std::vector<uint8_t> data;
};

// Feeds `stream` in pieces of `piece` bytes.
Outcome run_inflate(const std::vector<uint8_t>& stream, uint64_t limit, size_t piece = 7) {
    Outcome o;
    size_t at = 0;
    const InflateInput in = [&](uint8_t* buf, size_t len) -> int64_t {
        const size_t n = std::min({len, piece, stream.size() - at});
        std::copy(stream.begin() + static_cast<std::ptrdiff_t>(at),
                  stream.begin() + static_cast<std::ptrdiff_t>(at + n), buf);
        at += n;
        return static_cast<int64_t>(n);
    };
    o.result = inflate(in, limit, [&](const uint8_t* p, size_t n) {
        EXPECT_LE(n, size_t{1} << 15);
        o.data.insert(o.data.end(), p, p + n);
    });
    return o;
}

// zlib's words for our outcome.
std::string verdict(const Outcome& o) {
    switch (o.result.status) {
        case InflateStatus::kOk: {
            char line[64];
            std::snprintf(line, sizeof line, "ok %zu %08x", o.data.size(),
                          hash::crc32::compute(o.data.data(), o.data.size()));
            return line;
        }
        case InflateStatus::kTooLong:
            return "toolong";
        case InflateStatus::kTruncated:
            return "truncated";
        default:
            return "error";
    }
}

std::vector<uint8_t> text_like(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    static const char* const words[] = {"node_id_",        "file_path",    "3f9a0c",
                                        "Certificates/",   "\x80\x04\x95", "fingerprint",
                                        "aaaaaaaaaaaaaaaa"};
    std::vector<uint8_t> out;
    while (out.size() < n) {
        if (gen() % 4 == 0) {
            out.push_back(static_cast<uint8_t>(gen()));
        } else {
            const std::string w = words[gen() % 7];
            out.insert(out.end(), w.begin(), w.end());
        }
    }
    out.resize(n);
    return out;
}

TEST(Inflate, HandMadeStreams) {
    // "hello" as a fixed-code block, as a stored block, and an empty fixed block.
    const std::vector<uint8_t> fixed = {0xcb, 0x48, 0xcd, 0xc9, 0xc9, 0x07, 0x00};
    const std::vector<uint8_t> stored = {0x01, 0x05, 0x00, 0xfa, 0xff, 'h', 'e', 'l', 'l', 'o'};
    for (const auto& s : {fixed, stored}) {
        const Outcome o = run_inflate(s, 5);
        ASSERT_EQ(o.result.status, InflateStatus::kOk) << o.result.what;
        EXPECT_EQ(std::string(o.data.begin(), o.data.end()), "hello");
        EXPECT_EQ(o.result.produced, 5u);
        // One byte less allowed: stopped at the cap.
        const Outcome capped = run_inflate(s, 4);
        EXPECT_EQ(capped.result.status, InflateStatus::kTooLong);
        EXPECT_EQ(capped.data.size(), 4u);
    }
    EXPECT_EQ(run_inflate({0x03, 0x00}, 0).result.status, InflateStatus::kOk);
    EXPECT_EQ(run_inflate({0x07}, 10).result.status, InflateStatus::kBadData);  // block type 3
    EXPECT_EQ(run_inflate({0x01, 0x05, 0x00, 0xfa, 0xfe}, 10).result.status,
              InflateStatus::kBadData);  // LEN and NLEN disagree
    EXPECT_EQ(run_inflate({0xcb, 0x48, 0xcd}, 10).result.status, InflateStatus::kTruncated);
    EXPECT_EQ(run_inflate({}, 10).result.status, InflateStatus::kTruncated);
}

TEST(Inflate, BombStopsAtTheCapWithBoundedMemory) {
    // A fixed block of one literal and then length-258 copies at distance 1, forever: about 1 GiB
    // of zeros from a few KiB.
    std::vector<uint8_t> stream;
    uint64_t bits = 0;
    int count = 0;
    auto put = [&](uint32_t v, int n) {  // LSB first
        bits |= static_cast<uint64_t>(v) << count;
        count += n;
        while (count >= 8) {
            stream.push_back(static_cast<uint8_t>(bits));
            bits >>= 8;
            count -= 8;
        }
    };
    auto put_code = [&](uint32_t code, int n) {  // Huffman codes go MSB first
        for (int i = n - 1; i >= 0; --i) put((code >> i) & 1, 1);
    };
    put(1, 1);
    put(1, 2);          // final, fixed
    put_code(0x30, 8);  // literal 0
    for (int i = 0; i < 4'000'000; ++i) {
        put_code(0xc5, 8);  // length symbol 285: 258
        put_code(0, 5);     // distance symbol 0: 1
    }
    put_code(0, 7);  // end of block
    put(0, 7);
    uint64_t total = 0;
    size_t at = 0;
    const InflateInput in = [&](uint8_t* buf, size_t len) -> int64_t {
        const size_t n = std::min(len, stream.size() - at);
        std::copy(stream.begin() + static_cast<std::ptrdiff_t>(at),
                  stream.begin() + static_cast<std::ptrdiff_t>(at + n), buf);
        at += n;
        return static_cast<int64_t>(n);
    };
    const InflateResult r = inflate(in, 1024, [&](const uint8_t*, size_t n) { total += n; });
    EXPECT_EQ(r.status, InflateStatus::kTooLong);
    EXPECT_EQ(total, 1024u);
    EXPECT_LT(at, size_t{1} << 17);  // read no further than the cap needed
}

TEST(Inflate, StreamsAndTheirMutantsAsZlibJudgesThem) {
    const auto& pythons = host_pythons();
    if (pythons.empty()) GTEST_SKIP() << "no host Python 3.10/3.11";
    ScratchDir dir;
    for (const size_t size : {size_t{0}, size_t{1}, size_t{300}, size_t{100000}}) {
        const std::vector<uint8_t> data = text_like(size, static_cast<uint32_t>(size));
        const std::string source = dir / std::string("src").append(std::to_string(size));
        ASSERT_TRUE(write_file(source, data));
        bool ok = false;
        const int streams = std::stoi(oracle(
            pythons[0], "deflate " + shell_quote(source) + " " + shell_quote(source + ".z"), &ok));
        ASSERT_TRUE(ok);
        for (int i = 0; i < streams; ++i) {
            const std::vector<uint8_t> stream = read_file(source + ".z." + std::to_string(i));
            for (size_t piece : {size_t{1}, size_t{4096}, size_t{1} << 16}) {
                const Outcome o = run_inflate(stream, size, piece);
                ASSERT_EQ(o.result.status, InflateStatus::kOk)
                    << size << " stream " << i << ": " << o.result.what;
                EXPECT_EQ(o.data, data) << size << " stream " << i;
            }
        }
    }
    // Every truncation and many single-byte changes of two streams, judged as zlib does.
    const std::string base = dir / "src300.z.";
    std::vector<std::vector<uint8_t>> mutants;
    std::mt19937 gen(7);
    for (const char* which : {"2", "5"}) {
        const std::vector<uint8_t> stream = read_file(base + which);
        for (size_t n = 0; n < stream.size(); ++n)
            mutants.emplace_back(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(n));
        for (size_t i = 0; i < stream.size(); ++i) {
            auto m = stream;
            m[i] ^= static_cast<uint8_t>(1u << (gen() % 8));
            mutants.push_back(std::move(m));
        }
    }
    std::string args = "inflate 400";
    for (size_t i = 0; i < mutants.size(); ++i) {
        const std::string path = dir / std::string("m").append(std::to_string(i));
        ASSERT_TRUE(write_file(path, mutants[i]));
        args.append(" ").append(shell_quote(path));
    }
    bool ok = false;
    const std::vector<std::string> expected = lines(oracle(pythons[0], args, &ok));
    ASSERT_TRUE(ok);
    ASSERT_EQ(expected.size(), mutants.size());
    for (size_t i = 0; i < mutants.size(); ++i)
        EXPECT_EQ(verdict(run_inflate(mutants[i], 400)), expected[i]) << "mutant " << i;
}

}  // namespace
}  // namespace mavelin::zip
