// Tests of CRC-32: published and zlib-computed check values, streaming, and the two implementations
// against each other.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/hash/crc32/choice.h"
#include "engine/hash/crc32/crc32.h"

namespace mavelin::hash::crc32 {
namespace {

std::vector<Impl> available_impls() {
    std::vector<Impl> impls;
    for (const Impl impl : {Impl::kPortable, Impl::kPclmul, Impl::kVpclmul}) {
        if (available(impl)) impls.push_back(impl);
    }
    return impls;
}

// Values from the CRC catalogue ("123456789") and from Python's zlib.crc32.
TEST(Crc32, KnownValuesOnEveryImplementation) {
    std::vector<uint8_t> ramp(1 << 20);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>(i * 7 + 3);
    const std::vector<uint8_t> zeros(4096, 0);
    const std::vector<uint8_t> ones(1000, 0xFF);
    const std::string fox = "The quick brown fox jumps over the lazy dog";
    for (const Impl impl : available_impls()) {
        SCOPED_TRACE(name(impl));
        EXPECT_EQ(update_with(impl, 0, "", 0), 0u);
        EXPECT_EQ(update_with(impl, 0, "123456789", 9), 0xCBF43926u);
        EXPECT_EQ(update_with(impl, 0, "a", 1), 0xE8B7BE43u);
        EXPECT_EQ(update_with(impl, 0, fox.data(), fox.size()), 0x414FA339u);
        EXPECT_EQ(update_with(impl, 0, zeros.data(), zeros.size()), 0xC71C0011u);
        EXPECT_EQ(update_with(impl, 0, ones.data(), ones.size()), 0xE0533230u);
        EXPECT_EQ(update_with(impl, 0, ramp.data(), ramp.size()), 0x4A24D8FAu);
    }
}

TEST(Crc32, AnySplitGivesTheCrcOfTheWhole) {
    std::vector<uint8_t> data(700);
    std::mt19937 rng(7);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    for (const Impl impl : available_impls()) {
        SCOPED_TRACE(name(impl));
        const uint32_t whole = update_with(impl, 0, data.data(), data.size());
        for (size_t cut = 0; cut <= data.size(); ++cut) {
            const uint32_t head = update_with(impl, 0, data.data(), cut);
            ASSERT_EQ(update_with(impl, head, data.data() + cut, data.size() - cut), whole) << cut;
        }
    }
}

TEST(Crc32, CarrylessPathsMatchPortableOnRandomLengthsAndAlignments) {
    if (!available(Impl::kPclmul)) GTEST_SKIP() << "no PCLMULQDQ on this CPU";
    std::vector<uint8_t> buf((1 << 16) + 128);
    std::mt19937_64 rng(20240229);
    for (auto& b : buf) b = static_cast<uint8_t>(rng());
    // Lengths around the 16-, 64- and 256-byte block edges, then random ones.
    std::vector<size_t> lengths;
    for (size_t base : {0, 16, 48, 64, 128, 192, 256, 320, 512, 768, 1024, 4096}) {
        for (size_t d = 0; d < 20; ++d) {
            lengths.push_back(base + d);
            if (base >= d) lengths.push_back(base - d);
        }
    }
    for (int i = 0; i < 3000; ++i) lengths.push_back(rng() % (1 << 16));
    for (const Impl impl : {Impl::kPclmul, Impl::kVpclmul}) {
        if (!available(impl)) continue;
        for (const size_t len : lengths) {
            const size_t align = rng() % 64;
            const auto seed = static_cast<uint32_t>(rng());
            ASSERT_EQ(update_with(impl, seed, buf.data() + align, len),
                      update_with(Impl::kPortable, seed, buf.data() + align, len))
                << name(impl) << " len " << len << " align " << align;
        }
    }
}

TEST(Crc32, ForceSelectsTheImplementationAndRefusesMissingOnes) {
    const Impl before = active();
    EXPECT_TRUE(available(Impl::kPortable));
    ASSERT_TRUE(force(Impl::kPortable));
    EXPECT_EQ(active(), Impl::kPortable);
    EXPECT_EQ(compute("123456789", 9), 0xCBF43926u);
    if (available(Impl::kPclmul)) {
        ASSERT_TRUE(force(Impl::kPclmul));
        EXPECT_EQ(active(), Impl::kPclmul);
    } else {
        EXPECT_FALSE(force(Impl::kPclmul));
        EXPECT_EQ(active(), Impl::kPortable);
    }
    EXPECT_STRNE(name(Impl::kPortable), name(Impl::kPclmul));
    force(before);
}

}  // namespace
}  // namespace mavelin::hash::crc32
