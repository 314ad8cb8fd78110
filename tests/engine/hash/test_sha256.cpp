// Tests of the SHA-256 engine: published and hashlib vectors, both implementations, lanes, CPU
// flags.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/cpu/features.h"
#include "engine/hash/sha256/background.h"
#include "engine/hash/sha256/impl.h"
#include "engine/hash/sha256/sha256.h"

namespace mavelin::hash::sha256 {
namespace {

std::string hex(const Digest& d) {
    char out[64];
    to_hex(d, out);
    return std::string(out, 64);
}

std::vector<uint8_t> pattern(size_t length) {
    std::vector<uint8_t> v(length);
    for (size_t j = 0; j < length; ++j) v[j] = static_cast<uint8_t>(j * 131 + length * 7 + 1);
    return v;
}

std::vector<uint8_t> random_bytes(std::mt19937_64& rng, size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

struct Vectors {
    std::vector<std::pair<std::string, std::string>> texts;  // message, digest
    std::vector<std::string> by_length;                      // digest of pattern(length)
};

const Vectors& vectors() {
    static const Vectors v = [] {
        Vectors out;
        std::ifstream in(std::string(MAVELIN_TEST_DATA) + "/sha256_vectors.txt");
        std::string line;
        while (std::getline(in, line)) {
            std::vector<std::string> f;
            std::stringstream ss(line);
            std::string field;
            while (std::getline(ss, field, '\t')) f.push_back(field);
            if (f.size() == 4 && f[0] == "text") {
                std::string msg;
                for (int i = 0; i < std::stoi(f[1]); ++i) msg += f[2];
                out.texts.emplace_back(msg, f[3]);
            } else if (f.size() == 3 && f[0] == "len") {
                EXPECT_EQ(static_cast<size_t>(std::stoul(f[1])), out.by_length.size());
                out.by_length.push_back(f[2]);
            }
        }
        return out;
    }();
    return v;
}

// Runs a test body under one forced implementation and restores the previous one afterwards.
class Sha256Impl : public ::testing::TestWithParam<Impl> {
  protected:
    void SetUp() override {
        saved_ = active();
        if (!available(GetParam()))
            GTEST_SKIP() << name(GetParam()) << " not available on this CPU";
        ASSERT_TRUE(force(GetParam()));
        ASSERT_EQ(active(), GetParam());
    }
    void TearDown() override { force(saved_); }
    Impl saved_ = Impl::kPortable;
};

TEST_P(Sha256Impl, PublishedVectors) {
    ASSERT_EQ(vectors().texts.size(), 5u);
    for (const auto& [msg, digest] : vectors().texts) {
        EXPECT_EQ(hex(hash(msg.data(), msg.size())), digest) << "message length " << msg.size();
    }
}

TEST_P(Sha256Impl, EveryLengthUpTo1100MatchesHashlib) {
    ASSERT_EQ(vectors().by_length.size(), 1101u);
    for (size_t len = 0; len <= 1100; ++len) {
        const auto msg = pattern(len);
        ASSERT_EQ(hex(hash(msg.data(), msg.size())), vectors().by_length[len]) << "length " << len;
    }
}

TEST_P(Sha256Impl, HasherIsIndependentOfHowInputIsSplit) {
    std::mt19937_64 rng(42);
    const auto msg = random_bytes(rng, 5000);
    const Digest whole = hash(msg.data(), msg.size());
    for (int trial = 0; trial < 200; ++trial) {
        Hasher h;
        size_t pos = 0;
        while (pos < msg.size()) {
            const size_t piece = std::min<size_t>(rng() % 150, msg.size() - pos);
            h.update(msg.data() + pos, piece);
            pos += piece;
        }
        ASSERT_EQ(h.finish(), whole) << "trial " << trial;
    }
}

TEST_P(Sha256Impl, HasherCopiesContinueIndependentlyAndFinishDoesNotConsume) {
    const auto msg = pattern(300);
    Hasher a;
    a.update(msg.data(), 100);
    Hasher b = a;
    a.update(msg.data() + 100, 200);
    EXPECT_EQ(b.finish(), hash(msg.data(), 100));
    EXPECT_EQ(a.finish(), hash(msg.data(), 300));
    EXPECT_EQ(a.finish(), a.finish());
    b.update(msg.data() + 100, 200);
    EXPECT_EQ(b.finish(), a.finish());
}

TEST_P(Sha256Impl, HashManyMatchesSingleHashingForOddCountsAndLengths) {
    std::mt19937_64 rng(7);
    for (size_t len : {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 2047, 2048, 2049, 4099}) {
        for (size_t count : {1, 2, 3, 5, 7, 8, 9, 13, 15, 16, 17, 33}) {
            std::vector<std::vector<uint8_t>> msgs;
            std::vector<const uint8_t*> ptrs;
            for (size_t i = 0; i < count; ++i) msgs.push_back(random_bytes(rng, len));
            for (auto& m : msgs) ptrs.push_back(m.data());
            std::vector<Digest> out(count);
            hash_many(ptrs.data(), len, count, out.data());
            for (size_t i = 0; i < count; ++i) {
                ASSERT_EQ(out[i], hash(msgs[i].data(), len))
                    << "len " << len << " count " << count << " #" << i;
            }
        }
    }
}

TEST_P(Sha256Impl, HashManyOnHashlibVectors) {
    // All lengths 0..1100, 11 messages of each length (the same message repeated).
    for (size_t len = 0; len <= 1100; len += 1) {
        const auto msg = pattern(len);
        std::vector<const uint8_t*> ptrs(11, msg.data());
        std::vector<Digest> out(11);
        hash_many(ptrs.data(), len, ptrs.size(), out.data());
        for (const Digest& d : out) ASSERT_EQ(hex(d), vectors().by_length[len]) << "length " << len;
    }
}

TEST_P(Sha256Impl, BlockStatesFedInPartsGiveTheDigestsOfTheWholeMessages) {
    // Counts around the lane widths and beyond one internal group; each message fed in two parts.
    std::mt19937_64 rng(7);
    for (size_t count : {size_t{1}, size_t{3}, size_t{8}, size_t{9}, size_t{70}}) {
        for (size_t blocks : {size_t{0}, size_t{1}, size_t{5}}) {
            std::vector<std::vector<uint8_t>> msgs;
            std::vector<BlockState> states(count, initial_state());
            std::vector<BlockState*> sp;
            std::vector<const uint8_t*> head, tail;
            for (size_t i = 0; i < count; ++i) {
                msgs.push_back(random_bytes(rng, blocks * kBlockSize));
                sp.push_back(&states[i]);
                head.push_back(msgs[i].data());
                tail.push_back(msgs[i].data() + blocks / 2 * kBlockSize);
            }
            absorb_blocks(sp.data(), head.data(), blocks / 2, count);
            absorb_blocks(sp.data(), tail.data(), blocks - blocks / 2, count);
            std::vector<const BlockState*> done(sp.begin(), sp.end());
            std::vector<Digest> out(count);
            finish_blocks(done.data(), blocks * kBlockSize, count, out.data());
            for (size_t i = 0; i < count; ++i) {
                ASSERT_EQ(out[i], hash(msgs[i].data(), msgs[i].size()))
                    << count << " messages of " << blocks << " blocks, message " << i;
            }
            // Finishing leaves the states as they were: a second finish agrees.
            std::vector<Digest> again(count);
            finish_blocks(done.data(), blocks * kBlockSize, count, again.data());
            EXPECT_EQ(again, out);
        }
    }
    EXPECT_EQ(hex(empty_digest()), vectors().by_length[0]);
}

TEST_P(Sha256Impl, MessagesOfMixedLengthsFinishedTogether) {
    // Tails of 0..63 bytes after 0..3 absorbed blocks, shuffled so that one- and two-block
    // paddings interleave, in counts across the internal group of 32.
    std::mt19937_64 rng(11);
    for (size_t count : {size_t{1}, size_t{2}, size_t{17}, size_t{33}, size_t{200}}) {
        std::vector<std::vector<uint8_t>> msgs;
        std::vector<BlockState> states(count, initial_state());
        std::vector<uint64_t> absorbed;
        std::vector<const uint8_t*> tails;
        std::vector<size_t> lens;
        for (size_t i = 0; i < count; ++i) {
            const size_t blocks = rng() % 4, len = rng() % 64;
            msgs.push_back(random_bytes(rng, blocks * kBlockSize + len));
            BlockState* st = &states[i];
            const uint8_t* p = msgs[i].data();
            absorb_blocks(&st, &p, blocks, 1);
            absorbed.push_back(blocks * kBlockSize);
            tails.push_back(msgs[i].data() + blocks * kBlockSize);
            lens.push_back(len);
        }
        std::vector<const BlockState*> done;
        for (const BlockState& st : states) done.push_back(&st);
        std::vector<Digest> out(count);
        finish_states(done.data(), absorbed.data(), tails.data(), lens.data(), count, out.data());
        for (size_t i = 0; i < count; ++i) {
            ASSERT_EQ(out[i], hash(msgs[i].data(), msgs[i].size()))
                << count << " messages, message " << i << " of " << msgs[i].size() << " bytes";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sha256, Sha256Impl,
                         ::testing::Values(Impl::kPortable, Impl::kShaNi, Impl::kAvx512),
                         [](const auto& info) {
                             std::string n = name(info.param);  // "sha-ni": "shani"
                             std::erase(n, '-');
                             return n;
                         });

TEST(Sha256Cross, LargeRandomInputsAgreeBetweenImplementations) {
    const Impl saved = active();
    std::mt19937_64 rng(2024);
    for (size_t len : {size_t{1} << 20, (size_t{3} << 20) + 17, size_t{65537}}) {
        const auto msg = random_bytes(rng, len);
        ASSERT_TRUE(force(Impl::kPortable));
        const Digest portable = hash(msg.data(), msg.size());
        for (const Impl impl : {Impl::kShaNi, Impl::kAvx512}) {
            if (!force(impl)) continue;
            EXPECT_EQ(hash(msg.data(), msg.size()), portable) << name(impl) << " length " << len;
        }
    }
    // Many chunks of one buffer, as a file's chunks are hashed: every group size and a short last
    // message, against the portable path.
    const auto buffer = random_bytes(rng, 2048 * 53 + 100);
    std::vector<const uint8_t*> ptrs;
    for (size_t i = 0; i <= 53; ++i) ptrs.push_back(buffer.data() + 2048 * i);
    for (size_t count : {size_t{16}, size_t{31}, size_t{32}, size_t{53}}) {
        std::vector<Digest> expect(count), got(count);
        ASSERT_TRUE(force(Impl::kPortable));
        hash_many(ptrs.data(), 2048, count, expect.data());
        for (const Impl impl : {Impl::kShaNi, Impl::kAvx512}) {
            if (!force(impl)) continue;
            hash_many(ptrs.data(), 2048, count, got.data());
            EXPECT_EQ(got, expect) << name(impl) << " count " << count;
        }
    }
    force(saved);
}

// Every lane width of every available backend against single-message compression.
// Streams of several buffers (handed to the thread, some waiting for a free one) and of less than
// one, in pieces of odd sizes: the digest of the whole.
TEST(Sha256Background, DigestIsThatOfTheWholeStream) {
    std::mt19937 rng(11);
    for (const size_t total : {size_t{0}, size_t{1000}, (size_t{13} << 20) + 77}) {
        std::vector<uint8_t> data(total);
        for (auto& b : data) b = static_cast<uint8_t>(rng());
        BackgroundHasher h;
        for (size_t at = 0; at < total;) {
            const size_t n = std::min<size_t>(total - at, 1 + rng() % 300000);
            h.update(data.data() + at, n);
            at += n;
        }
        EXPECT_EQ(h.finish(), hash(data.data(), data.size())) << total;
    }
}

TEST(Sha256Hex, FromHexTakesBackWhatToHexGivesAndNothingElse) {
    std::mt19937_64 rng(5);
    for (int i = 0; i < 100; ++i) {
        Digest d;
        for (auto& b : d) b = static_cast<uint8_t>(rng());
        const std::string text = hex(d);
        Digest back{};
        ASSERT_TRUE(from_hex(text.data(), back)) << text;
        EXPECT_EQ(back, d);
        std::string odd = text;
        odd[static_cast<size_t>(i) % 64] = "gG/:`@F\x80"[i % 8];
        EXPECT_FALSE(from_hex(odd.data(), back)) << odd;
    }
}

// The vector conversions against the table ones: every byte value in every position, and every
// character (all 256) put in each position of a valid text.
TEST(Sha256Hex, VectorAndTableConversionsAgree) {
    for (size_t pos = 0; pos < 32; ++pos) {
        for (int b = 0; b < 256; ++b) {
            Digest d{};
            d[pos] = static_cast<uint8_t>(b);
            d[31 - pos] ^= static_cast<uint8_t>(b * 7);
            char fast[64], table[64];
            to_hex(d, fast);
            detail::to_hex_portable(d, table);
            ASSERT_EQ(std::string(fast, 64), std::string(table, 64));
        }
    }
    std::mt19937_64 rng(6);
    Digest d;
    for (auto& b : d) b = static_cast<uint8_t>(rng());
    char text[64];
    to_hex(d, text);
    for (size_t pos = 0; pos < 64; ++pos) {
        for (int c = 0; c < 256; ++c) {
            std::string t(text, 64);
            t[pos] = static_cast<char>(c);
            Digest fast{}, table{};
            const bool ok_fast = from_hex(t.data(), fast);
            ASSERT_EQ(ok_fast, detail::from_hex_portable(t.data(), table)) << pos << " " << c;
            if (ok_fast) {
                ASSERT_EQ(fast, table);
            }
        }
    }
}

TEST(Sha256Lanes, EachWidthMatchesSingleCompression) {
    std::mt19937_64 rng(99);
    std::vector<const detail::Backend*> backends = {&detail::portable_backend()};
    if (available(Impl::kShaNi)) backends.push_back(&detail::shani_sse_backend());
    if (available(Impl::kShaNi) && available(Impl::kAvx512))
        backends.push_back(&detail::shani_evex_backend());
    if (available(Impl::kAvx512)) backends.push_back(&detail::avx512_backend());
    for (const detail::Backend* be : backends) {
        for (int w = 0; w < detail::kLaneWidths; ++w) {
            const size_t lanes = size_t{1} << w;
            for (size_t nblocks : {1, 2, 5}) {
                std::vector<std::vector<uint8_t>> data;
                uint32_t states[16][8], expect[16][8];
                uint32_t* sp[16];
                const uint8_t* dp[16];
                for (size_t l = 0; l < lanes; ++l) {
                    data.push_back(random_bytes(rng, 64 * nblocks));
                    for (auto& s : states[l]) s = static_cast<uint32_t>(rng());
                    std::memcpy(expect[l], states[l], 32);
                    detail::portable_backend().compress(expect[l], data[l].data(), nblocks);
                    sp[l] = states[l];
                    dp[l] = data[l].data();
                }
                be->lanes[w](sp, dp, nblocks);
                for (size_t l = 0; l < lanes; ++l) {
                    ASSERT_EQ(0, std::memcmp(states[l], expect[l], 32))
                        << name(be->impl) << " width " << lanes << " blocks " << nblocks << " lane "
                        << l;
                }
                // Precomputed-schedule rounds: one shared block for all lanes.
                uint32_t wk[64];
                detail::schedule_block(data[0].data(), wk);
                for (size_t l = 0; l < lanes; ++l) {
                    std::memcpy(expect[l], states[l], 32);
                    detail::portable_backend().compress(expect[l], data[0].data(), 1);
                }
                be->scheduled[w](sp, wk);
                for (size_t l = 0; l < lanes; ++l) {
                    ASSERT_EQ(0, std::memcmp(states[l], expect[l], 32))
                        << name(be->impl) << " scheduled width " << lanes << " lane " << l;
                }
            }
        }
    }
}

TEST(Sha256Dispatch, NamesForceAndDefaultChoice) {
    EXPECT_STREQ(name(Impl::kPortable), "portable");
    EXPECT_STREQ(name(Impl::kShaNi), "sha-ni");
    EXPECT_TRUE(available(Impl::kPortable));
    const Impl saved = active();
    // Unless a test forced otherwise, the fastest available path is the default.
    const Impl best = available(Impl::kAvx512) && !cpu::features().amd ? Impl::kAvx512
                      : available(Impl::kShaNi)                        ? Impl::kShaNi
                                                                       : Impl::kPortable;
    EXPECT_EQ(saved, best);
    EXPECT_STREQ(name(Impl::kAvx512), "avx512");
    EXPECT_EQ(force(Impl::kAvx512), available(Impl::kAvx512));
    ASSERT_TRUE(force(Impl::kPortable));
    EXPECT_EQ(active(), Impl::kPortable);
    EXPECT_EQ(force(Impl::kShaNi), available(Impl::kShaNi));
    if (!available(Impl::kShaNi)) {
        EXPECT_EQ(active(), Impl::kPortable);
    }
    force(saved);
}

// The CPUID result must agree with the kernel's view of the processor.
TEST(Sha256Cpu, FeaturesAgreeWithProcCpuinfo) {
    std::ifstream in("/proc/cpuinfo");
    std::string line, flags;
    while (std::getline(in, line)) {
        if (line.rfind("flags", 0) == 0) {
            flags = line.substr(line.find(':') + 1) + " ";
            break;
        }
    }
    if (flags.empty()) GTEST_SKIP() << "no /proc/cpuinfo flags";
    auto has = [&](const char* f) {
        return flags.find(std::string(" ") + f + " ") != std::string::npos;
    };
    const cpu::Features& f = cpu::features();
    EXPECT_EQ(f.sha, has("sha_ni"));
    EXPECT_EQ(f.sse41, has("sse4_1"));
    EXPECT_EQ(f.ssse3, has("ssse3"));
    EXPECT_EQ(f.avx2, has("avx2"));
    EXPECT_EQ(f.avx512, has("avx512f") && has("avx512vl") && has("avx512bw"));
    EXPECT_EQ(available(Impl::kShaNi), has("sha_ni") && has("sse4_1"));
    EXPECT_EQ(available(Impl::kAvx512), has("avx512f") && has("avx512vl") && has("avx512bw"));
    EXPECT_EQ(&cpu::features(), &f);
}

}  // namespace
}  // namespace mavelin::hash::sha256
