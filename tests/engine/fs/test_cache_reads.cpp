// Tests of direct reads (O_DIRECT) through aligned blocks: any offset, length, buffer and tail
// gives what a plain pread gives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/fs/cache_reads.h"
#include "engine/fs/file_io.h"
#include "temp_dir.h"

namespace {

using mavelin::fs::ReadSource;
using mavelin::fs::UniqueFd;
using mavelin::testing::TempDir;

struct Case {
    uint64_t offset;
    size_t len;
    size_t buffer_shift;  // bytes past an aligned address the buffer starts at
};

TEST(DirectReads, GiveWhatPlainReadsGiveAtAnyOffsetLengthAndTail) {
    TempDir dir("direct");
    constexpr size_t kAlign = mavelin::fs::kDirectAlign;
    for (const size_t size :
         {size_t{1}, kAlign - 1, kAlign, 3 * kAlign + 17, size_t{600u << 10} + 5}) {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 131 + size);
        std::string name = "f";
        name += std::to_string(size);
        const std::string path = dir / name;
        {
            UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
            ASSERT_TRUE(out);
            ASSERT_EQ(mavelin::fs::write_all(out.get(), data.data(), size), 0);
        }
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC));
        if (!fd && errno == EINVAL) GTEST_SKIP() << "no direct I/O on " << dir.path();
        ASSERT_TRUE(fd);
        ReadSource src;
        src.fd = fd.get();
        src.direct = true;
        const Case cases[] = {
            {0, size, 0},       {0, size + 9000, 0}, {0, 2 * kAlign, 64}, {kAlign, 256u << 10, 0},
            {5, 700u << 10, 3}, {size - 1, 10, 0},   {size, kAlign, 0},   {size + 1, 1, 0},
            {kAlign - 3, 7, 0},
        };
        for (const Case& c : cases) {
            for (const uint64_t known_end : {uint64_t{size}, UINT64_MAX}) {
                std::vector<uint8_t> buf(c.len + kAlign * 2 + c.buffer_shift);
                auto* at = reinterpret_cast<uint8_t*>(
                    (reinterpret_cast<uintptr_t>(buf.data()) + kAlign - 1) / kAlign * kAlign +
                    c.buffer_shift);
                const ssize_t got = mavelin::fs::read_source(src, at, c.len, c.offset, known_end);
                const size_t want = c.offset >= size ? 0 : std::min<size_t>(c.len, size - c.offset);
                ASSERT_EQ(got, static_cast<ssize_t>(want))
                    << size << " " << c.offset << " " << c.len;
                EXPECT_EQ(std::memcmp(at, data.data() + std::min<size_t>(c.offset, size), want), 0);
            }
        }
    }
}

}  // namespace
