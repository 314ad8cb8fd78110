// Tests of the threaded fingerprinting of file lists: results, splitting of large files, per-file
// errors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/fingerprint/fingerprint.h"
#include "engine/fingerprint/parallel_runner.h"
#include "engine/fingerprint/readers.h"
#include "engine/fs/file_io.h"
#include "engine/hash/sha256/sha256.h"
#include "temp_dir.h"
#include "write_file.h"

namespace {

using mavelin::fingerprint::FileOutcome;
using mavelin::fingerprint::fingerprint_files;
using mavelin::fingerprint::Params;
using mavelin::fs::UniqueFd;
using mavelin::hash::sha256::Digest;
using Rows = std::vector<Digest>;

using mavelin::testing::TempDir;
using mavelin::testing::write_file;

std::string random_bytes(size_t n, uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i += 8) {
        uint64_t v = gen();
        std::memcpy(&s[i], &v, std::min<size_t>(8, n - i));
    }
    return s;
}

// Straight from the definition: hex digests of the chunks, rows of every T-th one, each row's
// text digested.
Rows reference_rows(const std::string& data, const Params& p) {
    std::vector<std::string> hex;
    if (p.chunk_size > 0) {
        const auto c = static_cast<size_t>(p.chunk_size);
        for (size_t off = 0; off < data.size(); off += c) {
            char h[64];
            std::string chunk = data.substr(off, c);
            mavelin::hash::sha256::to_hex(mavelin::hash::sha256::hash(chunk.data(), chunk.size()),
                                          h);
            hex.emplace_back(h, 64);
        }
    }
    Rows rows;
    for (int64_t s = 0; s < p.step; ++s) {
        std::string row;
        for (size_t i = static_cast<size_t>(s); i < hex.size(); i += static_cast<size_t>(p.step))
            row += hex[i];
        rows.push_back(mavelin::hash::sha256::hash(row.data(), row.size()));
    }
    return rows;
}

// The engine's sequential whole-file fingerprint.
Rows sequential_rows(const std::string& path, const Params& p) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    EXPECT_EQ(::fstat(fd.get(), &st), 0);
    Rows rows;
    EXPECT_EQ(mavelin::fingerprint::fingerprint_fd(fd.get(), st.st_size, p, &rows, nullptr), 0);
    return rows;
}

TEST(ParallelRunner, ResultsInInputOrderMatchTheDefinition) {
    TempDir t("run");
    const std::vector<size_t> sizes = {0,    1,     3,     2047,          2048, 2049,
                                       4096, 10000, 65537, (1 << 20) + 7, 5000};
    std::vector<std::string> rels, contents;
    for (size_t i = 0; i < sizes.size(); ++i) {
        rels.push_back(std::string(1, 'f').append(std::to_string(i)));
        contents.push_back(random_bytes(sizes[i], i));
        write_file(t / rels.back(), contents.back());
    }
    rels.push_back(rels[3]);  // the same file twice gives two equal outcomes
    contents.push_back(contents[3]);
    const std::vector<Params> params = {{2048, 4}, {4096, 2}, {1000, 3}, {2048, 1},
                                        {2048, 0}, {7, 5},    {-1, 4},   {1 << 20, 2}};
    for (const Params& p : params) {
        for (unsigned threads : {1u, 2u, 3u}) {
            std::vector<FileOutcome> out = fingerprint_files(t.path(), rels, p, threads);
            ASSERT_EQ(out.size(), rels.size());
            for (size_t i = 0; i < rels.size(); ++i) {
                SCOPED_TRACE(rels[i] + " chunk " + std::to_string(p.chunk_size) + " step " +
                             std::to_string(p.step) + " threads " + std::to_string(threads));
                EXPECT_EQ(out[i].error.code, 0);
                EXPECT_TRUE(out[i].error.path.empty());
                EXPECT_EQ(out[i].rows, reference_rows(contents[i], p));
            }
        }
    }
}

TEST(ParallelRunner, LargeFilesSplitAcrossThreadsEqualTheSequentialResult) {
    TempDir t("run");
    const std::string big2 = random_bytes((9u << 20) + 1, 3);
    write_file(t / "big1", random_bytes((40u << 20) + 12345, 1));
    write_file(t / "small", random_bytes(3000, 2));
    write_file(t / "big2", big2);
    write_file(t / "mid", random_bytes(700000, 4));
    write_file(t / "mid2", random_bytes((2u << 20) + 5, 5));
    // Large files between small ones, with ordinary ranges, ranges of a single chunk larger than a
    // read, and (chunk size 3) many tiny ranges, so that the ring of ranges wraps many times.
    struct Case {
        Params p;
        std::vector<std::string> rels;
    };
    const std::vector<Case> cases = {
        {{2048, 4}, {"big1", "small", "big2", "mid", "big2"}},
        {{4096, 1}, {"small", "big1", "mid2"}},
        {{5 << 20, 3}, {"big1", "big2", "small"}},
        {{3, 7}, {"mid", "small", "mid2"}},
    };
    for (const Case& c : cases) {
        std::vector<Rows> want;
        for (const auto& r : c.rels) want.push_back(sequential_rows(t / r, c.p));
        for (unsigned threads : {1u, 2u, 4u, 7u}) {
            std::vector<FileOutcome> out = fingerprint_files(t.path(), c.rels, c.p, threads);
            for (size_t i = 0; i < c.rels.size(); ++i) {
                EXPECT_EQ(out[i].error.code, 0);
                EXPECT_EQ(out[i].rows, want[i])
                    << c.rels[i] << " chunk " << c.p.chunk_size << " threads " << threads;
            }
        }
    }
    // One split result checked against the definition directly.
    EXPECT_EQ(fingerprint_files(t.path(), {"big2"}, {2048, 4}, 2)[0].rows,
              reference_rows(big2, {2048, 4}));
}

// Aborts the whole test binary when its scope outlives `limit`: a split file whose reduction
// stops making progress leaves the workers spinning, and a hang must fail loudly.
class Watchdog {
  public:
    explicit Watchdog(std::chrono::seconds limit)
        : thread_([this, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "no result after %lld s: the runner is stuck\n",
                               static_cast<long long>(limit.count()));
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

// Files of up to ~150 ranges of tiny chunks, hashed again and again: every run must equal the
// sequential result. A range holds at most 4096 chunks, so with chunks of a few bytes each range
// is done in well under a millisecond; threads overtake one another constantly (more threads
// than processors adds preemption), the ring of ranges wraps several times per file, and a slot
// written over before its range is reduced shows up as a wrong fingerprint (or, when the
// frontier never completes, as a hang the watchdog turns into a failure).
TEST(ParallelRunner, SplitFilesOfTinyChunksAreStableAcrossRepeatedRuns) {
    TempDir t("run");
    const std::vector<size_t> sizes = {20000, 57344, 65536, 131073, 300000, 600001};
    std::vector<std::string> rels;
    for (size_t i = 0; i < sizes.size(); ++i) {
        rels.push_back(std::string(1, 'r').append(std::to_string(sizes[i])));
        write_file(t / rels.back(), random_bytes(sizes[i], 100 + i));
    }
    Watchdog watchdog(std::chrono::seconds(600));
    for (int64_t chunk : {1, 2, 3, 64}) {
        for (int64_t step : {1, 2, 4}) {
            const Params p{chunk, step};
            for (size_t i = 0; i < rels.size(); ++i) {
                const Rows want = sequential_rows(t / rels[i], p);
                // Fewer repetitions where a run is long: each file gets a similar share of time.
                const size_t chunks = sizes[i] / static_cast<size_t>(chunk);
                const int runs = static_cast<int>(std::clamp<size_t>(300000 / chunks, 2, 20));
                for (unsigned threads : {2u, 4u}) {
                    for (int run = 0; run < runs; ++run) {
                        const std::vector<FileOutcome> out =
                            fingerprint_files(t.path(), {rels[i]}, p, threads);
                        ASSERT_EQ(out[0].error.code, 0);
                        ASSERT_EQ(out[0].rows, want)
                            << rels[i] << " chunk " << chunk << " step " << step << " threads "
                            << threads << " run " << run;
                    }
                }
            }
        }
    }
    // All of them in one list, small files between: helpers move from one split file to another.
    std::vector<std::string> mixed = {"small"};
    write_file(t / "small", random_bytes(100, 7));
    for (const std::string& r : rels) mixed.insert(mixed.end(), {r, "small"});
    for (int64_t chunk : {1, 3}) {
        const Params p{chunk, 2};
        std::vector<Rows> want;
        for (const std::string& r : mixed) want.push_back(sequential_rows(t / r, p));
        for (unsigned threads : {2u, 3u}) {
            for (int run = 0; run < 4; ++run) {
                const std::vector<FileOutcome> out = fingerprint_files(t.path(), mixed, p, threads);
                for (size_t i = 0; i < mixed.size(); ++i) {
                    ASSERT_EQ(out[i].error.code, 0);
                    ASSERT_EQ(out[i].rows, want[i]) << mixed[i] << " chunk " << chunk << " threads "
                                                    << threads << " run " << run;
                }
            }
        }
    }
}

TEST(ParallelRunner, ManySmallFiles) {
    TempDir t("run");
    std::vector<std::string> rels, contents;
    for (int i = 0; i < 1500; ++i) {
        rels.push_back(std::string(1, 's').append(std::to_string(i)));
        contents.push_back(random_bytes(static_cast<size_t>(i % 5000), static_cast<uint64_t>(i)));
        write_file(t / rels.back(), contents.back());
    }
    const Params p{2048, 4};
    for (unsigned threads : {0u, 1u, 2u, 5u}) {
        std::vector<FileOutcome> out = fingerprint_files(t.path() + "/", rels, p, threads);
        ASSERT_EQ(out.size(), rels.size());
        for (size_t i = 0; i < rels.size(); i += 1)
            ASSERT_EQ(out[i].rows, reference_rows(contents[i], p))
                << rels[i] << " threads " << threads;
    }
    EXPECT_TRUE(fingerprint_files(t.path(), {}, p, 2).empty());
}

TEST(ParallelRunner, CancellingEndsTheRunWithEveryUnfinishedFileFailed) {
    TempDir t("run");
    std::vector<std::string> rels;
    for (int i = 0; i < 50; ++i) {
        rels.push_back(std::string(1, 'c').append(std::to_string(i)));
        write_file(t / rels.back(), random_bytes(3000, static_cast<uint64_t>(i)));
    }
    // A sparse file far too large to finish: only cancellation ends its run early.
    rels.push_back("huge");
    {
        mavelin::fs::UniqueFd fd(
            ::open((t / "huge").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        ASSERT_TRUE(fd.valid());
        ASSERT_EQ(::ftruncate(fd.get(), off_t{1} << 40), 0);
    }
    const Params p{2048, 4};
    std::atomic<bool> cancel{true};
    for (const FileOutcome& o : fingerprint_files(t.path(), rels, p, 2, &cancel))
        EXPECT_EQ(o.error.code, ECANCELED);

    cancel.store(false);
    std::thread canceller([&cancel] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        cancel.store(true);
    });
    std::vector<FileOutcome> out = fingerprint_files(t.path(), rels, p, 2, &cancel);
    canceller.join();
    ASSERT_EQ(out.size(), rels.size());
    EXPECT_EQ(out.back().error.code, ECANCELED);
    for (size_t i = 0; i + 1 < out.size(); ++i)
        EXPECT_TRUE(out[i].error.code == 0 || out[i].error.code == ECANCELED) << rels[i];
}

TEST(ParallelRunner, ErrorsArePerFileAndPipesDoNotBlock) {
    TempDir t("run");
    write_file(t / "ok1", "first");
    write_file(t / "ok2", random_bytes(50000, 9));
    write_file(t / "big", random_bytes(20u << 20, 10));
    ASSERT_EQ(::mkdir((t / "dir").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo((t / "fifo").c_str(), 0644), 0);
    ASSERT_EQ(::symlink("nowhere", (t / "dangling").c_str()), 0);
    int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    UniqueFd sock_fd(s);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string sock = t / "sock";
    std::memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    write_file(t / "elsewhere", "absolute");

    const Params p{2048, 4};
    const std::vector<std::string> rels = {"ok1",  "missing",  "dir", "big",           "sock",
                                           "fifo", "dangling", "ok2", t / "elsewhere", "dir/"};
    for (unsigned threads : {1u, 2u}) {
        auto start = std::chrono::steady_clock::now();
        std::vector<FileOutcome> out = fingerprint_files(t.path(), rels, p, threads);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        ASSERT_EQ(out.size(), rels.size());
        auto expect_error = [&](size_t i, int err) {
            EXPECT_EQ(out[i].error.code, err) << rels[i];
            EXPECT_EQ(out[i].error.path, mavelin::fs::posix_join(t.path(), rels[i])) << rels[i];
            EXPECT_TRUE(out[i].rows.empty()) << rels[i];
        };
        expect_error(1, ENOENT);
        expect_error(2, EISDIR);
        EXPECT_EQ(out[4].rows, reference_rows("", p));  // a socket reads as empty, as a pipe does
        EXPECT_EQ(out[4].error.code, 0);
        expect_error(6, ENOENT);
        expect_error(9, EISDIR);
        EXPECT_EQ(out[0].rows, reference_rows("first", p));
        EXPECT_EQ(out[3].rows, sequential_rows(t / "big", p));
        EXPECT_EQ(out[5].rows, reference_rows("", p));  // a pipe has size 0: no chunk is read
        EXPECT_EQ(out[5].error.code, 0);
        EXPECT_EQ(out[7].rows, sequential_rows(t / "ok2", p));
        EXPECT_EQ(out[8].rows,
                  reference_rows("absolute", p));  // an absolute path replaces the root
    }
}

TEST(ParallelRunner, UnreadableFileFailsAlone) {
    if (::geteuid() == 0) GTEST_SKIP() << "permission bits do not stop root";
    TempDir t("run");
    write_file(t / "locked", "secret");
    write_file(t / "open", "public");
    ASSERT_EQ(::chmod((t / "locked").c_str(), 0), 0);
    std::vector<FileOutcome> out = fingerprint_files(t.path(), {"locked", "open"}, {2048, 4}, 2);
    EXPECT_EQ(out[0].error.code, EACCES);
    EXPECT_EQ(out[0].error.path, t / "locked");
    EXPECT_EQ(out[1].error.code, 0);
    EXPECT_EQ(out[1].rows, reference_rows("public", {2048, 4}));
}

TEST(ParallelRunner, PathsLongerThanPathMax) {
    TempDir t("run");
    std::string rel, name(250, 'q');
    UniqueFd dir(::open(t.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(::mkdirat(dir.get(), name.c_str(), 0755), 0);
        dir.reset(::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        rel += name + "/";
    }
    {
        UniqueFd f(::openat(dir.get(), "leaf", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        ASSERT_EQ(::write(f.get(), "deep", 4), 4);
    }
    std::vector<FileOutcome> out =
        fingerprint_files(t.path(), {rel + "leaf", rel + "gone"}, {2048, 4}, 2);
    EXPECT_EQ(out[0].error.code, 0);
    EXPECT_EQ(out[0].rows, reference_rows("deep", {2048, 4}));
    EXPECT_EQ(out[1].error.code, ENOENT);
    EXPECT_EQ(out[1].error.path, t / rel + "gone");
}

}  // namespace

// What a worker holds is bounded by a constant, whatever the thread count and the chunk size, the
// readers' batches grow with the thread count only, and a split file's ring still has room for
// every thread to work on one file while that is cheap.
TEST(ParallelRunner, MemoryPerThreadIsBoundedWhateverTheThreadCount) {
    using mavelin::fingerprint::runner_memory;
    for (int64_t chunk : {int64_t{1}, int64_t{64}, int64_t{256}, int64_t{2048}, int64_t{1} << 20,
                          int64_t{1} << 30}) {
        const Params p{chunk, 4};
        for (unsigned threads : {1u, 2u, 16u, 64u, 256u, 100000u}) {
            const auto m = runner_memory(p, threads);
            EXPECT_LE(m.per_thread_bytes, size_t{4} << 20) << chunk << " " << threads;
            EXPECT_LE(runner_memory(p, threads, mavelin::fs::ReadMode::kDirect).per_thread_bytes,
                      size_t{8} << 20);
            // The readers' batches: a fixed number, and two per hashing thread.
            EXPECT_LE(m.readers_bytes, (16 + 2 * size_t{std::min(threads, 256u)}) << 20);
            EXPECT_GE(m.ring_ranges, 2u);
            EXPECT_LE(m.per_thread_bytes, runner_memory(p, 256).per_thread_bytes);
        }
        EXPECT_EQ(runner_memory(p, 256).per_thread_bytes,
                  runner_memory(p, 1u << 20).per_thread_bytes);
    }
    EXPECT_GE(runner_memory(Params{2048, 4}, 8).ring_ranges, 16u * 8);
}

// Many threads, each splitting a file of its own while helping the others, and then splitting
// another: the reused ring gives every file its own result (64-byte chunks: 4096 to a range).
TEST(ParallelRunner, ManyThreadsSplittingFilesOneAfterAnother) {
    TempDir t("run");
    std::vector<std::string> rels;
    std::vector<std::string> data;
    for (int i = 0; i < 40; ++i) {
        rels.push_back(std::string(1, 's').append(std::to_string(i)));
        data.push_back(random_bytes(static_cast<size_t>((i % 4) + 2) * 64 * 1024 + 7 * i, 100 + i));
        write_file(t / rels.back(), data.back());
    }
    const Params p{64, 3};
    for (unsigned threads : {16u, 64u}) {
        std::vector<FileOutcome> out = fingerprint_files(t.path(), rels, p, threads);
        ASSERT_EQ(out.size(), rels.size());
        for (size_t i = 0; i < rels.size(); ++i) {
            ASSERT_EQ(out[i].error.code, 0) << rels[i];
            EXPECT_EQ(out[i].rows, reference_rows(data[i], p)) << rels[i] << " threads " << threads;
        }
    }
}

// The readers hand every file on exactly once, against its own index: small files in batches
// whose results belong to the files they were read from, files that vanished after the walk or
// cannot be read failed alone among them, larger files opened; and they make no more batches than
// their fixed pool, however many files there are. Read by the hashing thread itself while the
// files come from the page cache, by the reader threads (direct reads), or by the hashing thread
// until files dropped from the page cache start the reader threads halfway.
TEST(Readers, HandOnEveryFileOnceAgainstItsIndexWithinAFixedPool) {
    using mavelin::fingerprint::OpenedFile;
    using mavelin::fingerprint::Readers;
    using mavelin::fingerprint::ReadItem;
    using mavelin::fingerprint::SmallFileBatch;
    TempDir t("readers");
    const Params p{1024, 2};
    std::vector<std::string> rels, data;
    for (size_t i = 0; i < 6000; ++i) {
        rels.push_back(std::string(1, 'f').append(std::to_string(i)));
        data.push_back(random_bytes(i % 500 == 0 ? 40000 : 1000 + i % 24, i));
        if (i % 10 == 3) continue;  // vanished
        if (i % 13 == 5) {
            ASSERT_EQ(::mkdir((t / rels[i]).c_str(), 0755), 0);
        } else {
            write_file(t / rels[i], data[i]);
        }
    }
    UniqueFd root(::open(t.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    using mavelin::fs::ReadMode;
    for (const auto& [mode, dropped_from] : {std::pair{ReadMode::kCacheNeutral, rels.size()},
                                             std::pair{ReadMode::kDirect, rels.size()},
                                             std::pair{ReadMode::kCacheNeutral, rels.size() / 3}}) {
        for (size_t i = dropped_from; i < rels.size(); ++i) {
            UniqueFd fd(::open((t / rels[i]).c_str(), O_RDONLY | O_CLOEXEC));
            if (fd) ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
        }
        std::vector<int> seen(rels.size(), 0), errors(rels.size(), 0);
        std::mutex failures;
        const unsigned readers = 4, hashers = 1;
        std::vector<const void*> batches;
        auto hash_batch = [&](SmallFileBatch& b) {
            if (std::find(batches.begin(), batches.end(), &b) == batches.end())
                batches.push_back(&b);
            b.flush([&](size_t i, uint64_t size, int err, Rows&& rows) {
                ++seen[i];
                EXPECT_EQ(err, 0);
                EXPECT_EQ(size, data[i].size());
                EXPECT_EQ(rows, reference_rows(data[i], p)) << rels[i];
            });
        };
        auto opened = [&](OpenedFile& f) {
            ++seen[f.index];
            struct stat a, b;
            ASSERT_EQ(::fstat(f.fd.get(), &a), 0);
            ASSERT_EQ(::stat((t / rels[f.index]).c_str(), &b), 0);
            EXPECT_EQ(a.st_ino, b.st_ino) << rels[f.index];
            EXPECT_EQ(f.size, data[f.index].size());
        };
        {
            Readers r(root.get(), rels, p, mode, readers, hashers, nullptr, [&](size_t i, int err) {
                std::lock_guard<std::mutex> hold(failures);
                ++seen[i];
                errors[i] = err;
            });
            std::unique_ptr<SmallFileBatch> own;
            Readers::Taken taken;
            while (r.read_here(taken, own, hash_batch, opened)) {
            }
            if (own) {
                hash_batch(*own);
                r.give_back(own);
            }
            for (;;) {
                ReadItem item;
                const Readers::Next next = r.next(item, [] { return false; });
                if (next == Readers::Next::kEnd) break;
                ASSERT_EQ(next, Readers::Next::kItem);
                if (item.batch) {
                    hash_batch(*item.batch);
                } else {
                    opened(item.file);
                }
                r.finished(item);
            }
        }
        for (size_t i = 0; i < rels.size(); ++i) {
            EXPECT_EQ(seen[i], 1) << rels[i];
            EXPECT_EQ(errors[i], i % 10 == 3 ? ENOENT : i % 13 == 5 ? EISDIR : 0) << rels[i];
        }
        EXPECT_LE(batches.size(), readers + 2 * hashers);
    }
}
