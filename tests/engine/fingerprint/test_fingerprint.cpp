// Tests of the per-file fingerprint against hashlib vectors and a straightforward reference.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/fingerprint/fingerprint.h"
#include "engine/fingerprint/small_batch.h"
#include "engine/hash/sha256/impl.h"
#include "engine/hash/sha256/sha256.h"

namespace mavelin::fingerprint {
namespace {

using hash::sha256::Digest;
using hash::sha256::Impl;

std::string hex(const Digest& d) {
    char out[64];
    hash::sha256::to_hex(d, out);
    return std::string(out, 64);
}

// Reference SHA-256: message padded by hand, single portable compression over all blocks.
std::string ref_sha_hex(const std::string& msg) {
    std::string m = msg;
    const uint64_t bits = static_cast<uint64_t>(msg.size()) * 8;
    m += '\x80';
    while (m.size() % 64 != 56) m += '\0';
    for (int i = 7; i >= 0; --i) m += static_cast<char>(bits >> (8 * i));
    uint32_t state[8];
    std::memcpy(state, hash::sha256::detail::kInit, sizeof state);
    hash::sha256::detail::portable_backend().compress(
        state, reinterpret_cast<const uint8_t*>(m.data()), m.size() / 64);
    return hex(hash::sha256::detail::state_to_digest(state));
}

// Reference chunk hex digests: the counted loop over `size` (as measured), reading `content`.
std::vector<std::string> ref_chunks(const std::string& content, uint64_t size, int64_t chunk) {
    std::vector<std::string> out;
    if (chunk <= 0) return out;
    const double n = std::ceil(static_cast<double>(size) / static_cast<double>(chunk));
    for (uint64_t i = 0; i < static_cast<uint64_t>(n); ++i) {
        const uint64_t off = i * static_cast<uint64_t>(chunk);
        out.push_back(
            ref_sha_hex(off < content.size() ? content.substr(off, chunk) : std::string()));
    }
    return out;
}

std::vector<std::string> ref_rows(const std::vector<std::string>& chunks, int64_t step) {
    std::vector<std::string> rows;
    for (int64_t s = 0; s < step; ++s) {
        std::string row;
        for (size_t i = static_cast<size_t>(s); i < chunks.size(); i += static_cast<size_t>(step))
            row += chunks[i];
        rows.push_back(ref_sha_hex(row));
    }
    return rows;
}

std::vector<std::string> hexes(const std::vector<Digest>& ds) {
    std::vector<std::string> out;
    for (const Digest& d : ds) out.push_back(hex(d));
    return out;
}

std::string random_content(size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

// A file in a private temporary directory, open read-only; removed on destruction.
class TempFile {
  public:
    explicit TempFile(const std::string& content) {
        char tmpl[] = "/tmp/mavelin-fp-XXXXXX";
        fd_ = ::mkstemp(tmpl);
        path_ = tmpl;
        if (fd_ >= 0) write(content);
    }
    ~TempFile() {
        if (fd_ >= 0) ::close(fd_);
        ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    void write(const std::string& content) {
        ASSERT_EQ(::ftruncate(fd_, 0), 0);
        ASSERT_EQ(::pwrite(fd_, content.data(), content.size(), 0),
                  static_cast<ssize_t>(content.size()));
    }
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
    std::string path_;
};

class FingerprintImpl : public ::testing::TestWithParam<Impl> {
  protected:
    void SetUp() override {
        saved_ = hash::sha256::active();
        if (!hash::sha256::available(GetParam()))
            GTEST_SKIP() << hash::sha256::name(GetParam()) << " not available";
        ASSERT_TRUE(hash::sha256::force(GetParam()));
    }
    void TearDown() override { hash::sha256::force(saved_); }
    Impl saved_ = Impl::kPortable;
};

TEST_P(FingerprintImpl, MatchesHashlibVectors) {
    std::ifstream in(std::string(MAVELIN_TEST_DATA) + "/fingerprint_vectors.txt");
    std::string line;
    int cases = 0;
    while (std::getline(in, line)) {
        std::stringstream ss(line);
        uint64_t size = 0;
        int64_t chunk = 0, step = 0;
        std::string rows_text;
        ss >> size >> chunk >> step;
        ss >> rows_text;
        std::vector<std::string> expect;
        std::stringstream rs(rows_text);
        for (std::string r; std::getline(rs, r, ',');) expect.push_back(r);

        std::string content(size, '\0');
        for (uint64_t j = 0; j < size; ++j) content[j] = static_cast<char>((j * 31 + 7) % 251);
        TempFile f(content);
        std::vector<Digest> rows;
        ASSERT_EQ(fingerprint_fd(f.fd(), size, Params{chunk, step}, &rows, nullptr), 0);
        EXPECT_EQ(hexes(rows), expect) << "size " << size << " chunk " << chunk << " step " << step;
        ++cases;
    }
    EXPECT_EQ(cases, 190);
}

TEST_P(FingerprintImpl, EdgeCasesMatchReference) {
    Buffer shared;  // one read buffer reused across all files
    for (int64_t chunk : {1, 64, 2048, 4096}) {
        const int64_t c = chunk;
        for (int64_t size : {int64_t{0}, int64_t{1}, c - 1, c, c + 1, 2 * c, 5 * c + 7, 37 * c + 5,
                             int64_t{5000}}) {
            if (size < 0) continue;
            const std::string content =
                random_content(static_cast<size_t>(size), static_cast<uint64_t>(size * 31 + chunk));
            TempFile f(content);
            const auto chunks = ref_chunks(content, static_cast<uint64_t>(size), chunk);
            for (int64_t step : {-1, 0, 1, 2, 4, 7, 9, 300}) {
                std::vector<Digest> rows, digests;
                ASSERT_EQ(fingerprint_fd(f.fd(), static_cast<uint64_t>(size), Params{chunk, step},
                                         &rows, &digests, &shared),
                          0);
                ASSERT_EQ(hexes(rows), ref_rows(chunks, step))
                    << "chunk " << chunk << " size " << size << " step " << step;
                ASSERT_EQ(hexes(digests), chunks) << "chunk " << chunk << " size " << size;
                ASSERT_EQ(rows.size(), static_cast<size_t>(step > 0 ? step : 0));
            }
        }
    }
}

TEST_P(FingerprintImpl, ShrunkFileGivesEmptyChunksAndGrownFileIsCutAtMeasuredSize) {
    const std::string content = random_content(10 * 2048 + 100, 5);
    TempFile f(content);
    for (uint64_t measured : {uint64_t{20 * 2048 + 100}, uint64_t{40 * 2048},
                              uint64_t{3 * 2048 + 1}, uint64_t{1}, uint64_t{5 * 2048}}) {
        const auto chunks = ref_chunks(content, measured, 2048);
        std::vector<Digest> rows, digests;
        ASSERT_EQ(fingerprint_fd(f.fd(), measured, Params{2048, 4}, &rows, &digests), 0);
        EXPECT_EQ(hexes(digests), chunks) << "measured " << measured;
        EXPECT_EQ(hexes(rows), ref_rows(chunks, 4)) << "measured " << measured;
    }
    // Many batches of one-byte chunks, most of them past the end.
    {
        const uint64_t measured = content.size() + 3000;
        const auto chunks = ref_chunks(content, measured, 1);
        std::vector<Digest> rows, digests;
        ASSERT_EQ(fingerprint_fd(f.fd(), measured, Params{1, 3}, &rows, &digests), 0);
        EXPECT_EQ(hexes(digests), chunks);
        EXPECT_EQ(hexes(rows), ref_rows(chunks, 3));
    }
    // A shrunk file at a chunk size large enough to be streamed piecewise.
    const int64_t big = (int64_t{1} << 18) + 1;
    const auto chunks = ref_chunks(content, 9 * static_cast<uint64_t>(big), big);
    std::vector<Digest> rows, digests;
    ASSERT_EQ(
        fingerprint_fd(f.fd(), 9 * static_cast<uint64_t>(big), Params{big, 2}, &rows, &digests), 0);
    EXPECT_EQ(hexes(digests), chunks);
    EXPECT_EQ(hexes(rows), ref_rows(chunks, 2));
}

TEST_P(FingerprintImpl, ChunkRangesMatchReferenceAnywhereInAndBeyondTheFile) {
    const std::string content = random_content(700 * 1024 + 333, 11);
    TempFile f(content);
    std::mt19937_64 rng(3);
    Buffer scratch;
    for (int64_t chunk : {int64_t{1}, int64_t{64}, int64_t{2048}, int64_t{3000}, int64_t{1} << 18,
                          (int64_t{1} << 18) + 1, int64_t{1} << 20}) {
        const uint64_t n = chunk_count(content.size(), chunk);
        const auto chunks =
            ref_chunks(content, (n + 3) * static_cast<uint64_t>(chunk), chunk);  // 3 past EOF
        for (int trial = 0; trial < 12; ++trial) {
            const uint64_t first = rng() % (n + 3);
            const uint64_t count = std::min<uint64_t>(rng() % 300 + 1, n + 3 - first);
            std::vector<Digest> out(count);
            ASSERT_EQ(hash_chunk_range(f.fd(), chunk, first, count, out.data(), scratch), 0);
            for (uint64_t i = 0; i < count; ++i) {
                ASSERT_EQ(hex(out[i]), chunks[first + i])
                    << "chunk " << chunk << " index " << first + i;
            }
        }
    }
}

// Chunks too large to read many at once are read piecewise, 16 side by side: groups that end
// within the file, at its end or past it, chunk sizes that are no multiple of a block.
TEST_P(FingerprintImpl, LargeChunksHashedSideBySideMatchReference) {
    const std::string content = random_content(2100 * 1000 + 77, 19);
    TempFile f(content);
    Buffer scratch;
    for (int64_t chunk : {int64_t{16385}, int64_t{17000}, int64_t{65536}, int64_t{100001}}) {
        const auto c = static_cast<uint64_t>(chunk);
        const uint64_t n = chunk_count(content.size(), chunk);
        const auto chunks = ref_chunks(content, (n + 20) * c, chunk);
        for (uint64_t first : {uint64_t{0}, uint64_t{3}, n - 17, n - 1, n + 2}) {
            const uint64_t count = n + 20 - first;
            std::vector<Digest> out(count);
            ASSERT_EQ(hash_chunk_range(f.fd(), chunk, first, count, out.data(), scratch), 0);
            for (uint64_t i = 0; i < count; ++i) {
                ASSERT_EQ(hex(out[i]), chunks[first + i])
                    << "chunk " << chunk << " index " << first + i;
            }
        }
        std::vector<Digest> rows, digests;
        ASSERT_EQ(fingerprint_fd(f.fd(), content.size(), Params{chunk, 5}, &rows, &digests), 0);
        EXPECT_EQ(hexes(digests), std::vector<std::string>(chunks.begin(), chunks.begin() + n));
        EXPECT_EQ(hexes(rows), ref_rows(hexes(digests), 5));
        EXPECT_LE(scratch.capacity(), size_t{1} << 20);
    }
}

TEST_P(FingerprintImpl, ChunksFromAnyByteOffsetAreWhatSequentialReadsGive) {
    const std::string content = random_content(700 * 1024 + 333, 13);
    TempFile f(content);
    std::mt19937_64 rng(5);
    Buffer scratch;
    for (int64_t chunk :
         {int64_t{1}, int64_t{2048}, int64_t{3000}, (int64_t{1} << 18) + 1, int64_t{1} << 20}) {
        const auto c = static_cast<uint64_t>(chunk);
        for (int trial = 0; trial < 10; ++trial) {
            // Unaligned starts, some of them at or past the end of the file.
            const uint64_t offset = trial == 0 ? content.size() : rng() % (content.size() + 5000);
            const uint64_t count = rng() % 200 + 1;
            std::vector<Digest> out(count);
            uint64_t bytes_read = 0;
            ASSERT_EQ(
                hash_chunks_at(f.fd(), chunk, offset, count, out.data(), scratch, &bytes_read), 0);
            uint64_t expected_bytes = 0;
            for (uint64_t i = 0; i < count; ++i) {
                const uint64_t at = offset + i * c;
                const std::string piece = at < content.size() ? content.substr(at, c) : "";
                expected_bytes += piece.size();
                ASSERT_EQ(hex(out[i]), ref_sha_hex(piece))
                    << "chunk " << chunk << " offset " << offset << " index " << i;
            }
            EXPECT_EQ(bytes_read, expected_bytes) << "chunk " << chunk << " offset " << offset;
        }
    }
    // Offsets beyond any file read nothing, however large the chunks.
    Digest out[2];
    uint64_t bytes_read = 1;
    ASSERT_EQ(hash_chunks_at(f.fd(), INT64_MAX, UINT64_MAX - 1, 2, out, scratch, &bytes_read), 0);
    EXPECT_EQ(hex(out[1]), ref_sha_hex(""));
    EXPECT_EQ(bytes_read, 0u);
}

TEST_P(FingerprintImpl, ChunkSizesUpToInt64MaxUseBoundedMemory) {
    const std::string content = random_content(600 * 1024 + 5, 17);
    TempFile f(content);
    const std::string empty = ref_sha_hex("");
    Buffer scratch;
    Digest out[3];
    ASSERT_EQ(hash_chunk_range(f.fd(), INT64_MAX, 0, 3, out, scratch), 0);
    EXPECT_EQ(hex(out[0]), ref_sha_hex(content));
    EXPECT_EQ(hex(out[1]), empty);
    EXPECT_EQ(hex(out[2]), empty);
    ASSERT_EQ(hash_chunk_range(f.fd(), INT64_MAX, 5, 2, out, scratch), 0);  // offset overflows
    EXPECT_EQ(hex(out[0]), empty);
    EXPECT_LE(scratch.capacity(), size_t{1} << 20);

    std::vector<Digest> rows;
    ASSERT_EQ(fingerprint_fd(f.fd(), content.size(), Params{INT64_MAX, 3}, &rows, nullptr), 0);
    EXPECT_EQ(hexes(rows), ref_rows({ref_sha_hex(content)}, 3));
}

// Small files gathered and hashed together give each file the rows it has on its own, for sizes
// around the chunk edges, chunk sizes that are no multiple of the block, and files that shrank or
// grew after they were measured.
TEST_P(FingerprintImpl, SmallFilesHashedTogetherGiveEachItsOwnRows) {
    constexpr size_t kFiles = 40;
    std::vector<std::unique_ptr<TempFile>> files;
    std::vector<std::string> contents;
    for (size_t i = 0; i < kFiles; ++i) {
        contents.push_back(random_content(1 + (i * 7919) % (32 << 10), i));
        files.push_back(std::make_unique<TempFile>(contents.back()));
    }
    // Each file as measured, measured larger (it shrank since), and smaller (it grew since).
    auto measured = [&](size_t i) -> uint64_t {
        const uint64_t n = contents[i % kFiles].size();
        return i < kFiles ? n : i < 2 * kFiles ? n + 777 : n / 2 + 1;
    };
    for (const Params p : {Params{2048, 4}, Params{1000, 3}, Params{64, 1}, Params{1, 5},
                           Params{32 << 10, 2}, Params{512, 70}}) {
        SmallFileBatch batch(p);
        std::vector<std::string> got(3 * kFiles, "not gathered");
        auto flush = [&] {
            batch.flush([&](size_t tag, uint64_t, int err, std::vector<Digest>&& rows) {
                got[tag] = err != 0 ? "error" : ::testing::PrintToString(hexes(rows));
            });
        };
        for (size_t i = 0; i < 3 * kFiles; ++i) {
            if (!batch.accepts(measured(i))) continue;
            if (!batch.has_room(measured(i))) flush();
            ASSERT_EQ(batch.add(files[i % kFiles]->fd(), measured(i), i), 0);
        }
        flush();
        for (size_t i = 0; i < 3 * kFiles; ++i) {
            if (!batch.accepts(measured(i))) continue;
            const auto chunks = ref_chunks(contents[i % kFiles], measured(i), p.chunk_size);
            EXPECT_EQ(got[i], ::testing::PrintToString(ref_rows(chunks, p.step)))
                << "file " << i << " chunk " << p.chunk_size;
        }
    }
}

TEST(SmallFileBatch, TakesOnlyWhatFitsAndReportsReadErrors) {
    SmallFileBatch batch(Params{2048, 4});
    EXPECT_FALSE(batch.accepts(0));  // nothing to read
    EXPECT_TRUE(batch.accepts(SmallFileBatch::kMaxFileBytes));
    EXPECT_FALSE(batch.accepts(SmallFileBatch::kMaxFileBytes + 1));
    EXPECT_FALSE(SmallFileBatch(Params{0, 4}).accepts(10));
    EXPECT_FALSE(SmallFileBatch(Params{(32 << 10) + 1, 4}).accepts(10));  // one chunk too large

    TempFile f(random_content(5000, 1));
    size_t added = 0;
    while (batch.has_room(5000)) ASSERT_EQ(batch.add(f.fd(), 5000, added++), 0);
    EXPECT_EQ(added, SmallFileBatch::kBufferBytes / (3 * 2048));
    EXPECT_EQ(batch.add(f.fd(), 5000, added), EINVAL);  // full: the caller flushes first

    size_t seen = 0;
    batch.flush([&](size_t tag, uint64_t size, int err, std::vector<Digest>&& rows) {
        EXPECT_EQ(tag, seen++);
        EXPECT_EQ(size, 5000u);
        EXPECT_EQ(err, 0);
        EXPECT_EQ(rows.size(), 4u);
    });
    EXPECT_EQ(seen, added);
    EXPECT_TRUE(batch.empty());

    char dir[] = "/tmp/mavelin-batch-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const int dfd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_EQ(batch.add(dfd, 100, 0), EISDIR);
    EXPECT_TRUE(batch.empty());
    ::close(dfd);
    ::rmdir(dir);
}

INSTANTIATE_TEST_SUITE_P(Fingerprint, FingerprintImpl,
                         ::testing::Values(Impl::kPortable, Impl::kShaNi, Impl::kAvx512),
                         [](const auto& info) {
                             std::string n = hash::sha256::name(info.param);  // "sha-ni": "shani"
                             std::erase(n, '-');
                             return n;
                         });

TEST(FingerprintChunkCount, DoubleCeilingAsDefined) {
    EXPECT_EQ(chunk_count(0, 2048), 0u);
    EXPECT_EQ(chunk_count(1, 2048), 1u);
    EXPECT_EQ(chunk_count(2048, 2048), 1u);
    EXPECT_EQ(chunk_count(2049, 2048), 2u);
    EXPECT_EQ(chunk_count(10, 1), 10u);
    EXPECT_EQ(chunk_count(5, -3), 0u);
    EXPECT_EQ(chunk_count(0, -3), 0u);
    EXPECT_EQ(chunk_count(5, 0), 0u);
    EXPECT_EQ(chunk_count(100, INT64_MAX), 1u);
    // Values of Python's math.ceil(size / chunk): the double division rounds above 2^53.
    EXPECT_EQ(chunk_count((uint64_t{1} << 53) + 1, 1), 9007199254740992u);
    EXPECT_EQ(chunk_count((uint64_t{1} << 53) + 1, 2), 4503599627370496u);
    EXPECT_EQ(chunk_count((uint64_t{1} << 62) + 3, 3), 1537228672809129216u);
    EXPECT_EQ(chunk_count(uint64_t{INT64_MAX}, 2048), 4503599627370496u);
}

TEST(FingerprintRowReducer, AnyBatchingGivesTheReferenceRows) {
    std::mt19937_64 rng(8);
    for (int64_t step : {-1, 0, 1, 2, 3, 4, 5, 8, 9, 255, 256, 257, 300, 1000}) {
        for (size_t n :
             {size_t{0}, size_t{1}, size_t{7}, size_t{256}, size_t{1000}, size_t{2003}}) {
            std::vector<Digest> ds(n);
            std::vector<std::string> chunk_hex;
            for (auto& d : ds) {
                for (auto& b : d) b = static_cast<uint8_t>(rng());
                chunk_hex.push_back(hex(d));
            }
            const auto expect = ref_rows(chunk_hex, step);
            for (int trial = 0; trial < 3; ++trial) {
                RowReducer r(step);
                size_t pos = 0;
                while (pos < n) {
                    const size_t k =
                        trial == 0 ? n
                                   : std::min<size_t>(n - pos, rng() % (trial == 1 ? 5 : 700) + 1);
                    r.add(ds.data() + pos, k);
                    pos += k;
                }
                ASSERT_EQ(hexes(r.finish()), expect)
                    << "step " << step << " n " << n << " trial " << trial;
            }
        }
    }
}

TEST(FingerprintErrors, ReadFailuresReturnErrnoAndLeaveRowsUntouched) {
    std::vector<Digest> rows(2);
    rows[0].fill(0xAB);
    EXPECT_EQ(fingerprint_fd(-1, 10, Params{2048, 4}, &rows, nullptr), EBADF);
    EXPECT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], 0xAB);

    const int dir = ::open("/tmp", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    EXPECT_EQ(fingerprint_fd(dir, 4096, Params{64, 2}, &rows, nullptr), EISDIR);
    Buffer scratch;
    Digest out[1];
    EXPECT_EQ(hash_chunk_range(dir, (int64_t{1} << 20) * 3, 0, 1, out, scratch), EISDIR);
    EXPECT_EQ(hash_chunk_range(dir, 64, 0, 0, out, scratch), 0);  // nothing to read
    ::close(dir);
    // An empty file is never read.
    ASSERT_EQ(fingerprint_fd(-1, 0, Params{2048, 2}, &rows, nullptr), 0);
    EXPECT_EQ(hexes(rows), ref_rows({}, 2));
}

TEST(FingerprintBuffer, GrowsAlignedAndMoves) {
    Buffer a;
    EXPECT_EQ(a.capacity(), 0u);
    ASSERT_TRUE(a.reserve(1000));
    EXPECT_GE(a.capacity(), 1000u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a.data()) % 64, 0u);
    uint8_t* p = a.data();
    ASSERT_TRUE(a.reserve(10));
    EXPECT_EQ(a.data(), p);  // no shrinking, no reallocation
    Buffer b(std::move(a));
    EXPECT_EQ(b.data(), p);
    EXPECT_EQ(a.capacity(), 0u);
    Buffer c;
    c = std::move(b);
    EXPECT_EQ(c.data(), p);
    EXPECT_EQ(b.data(), nullptr);
}

}  // namespace
}  // namespace mavelin::fingerprint
