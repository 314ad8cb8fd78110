// Throughput benchmark of the SHA-256 paths and of whole-file fingerprinting (chunk 2048, step 4).
//
// Build by hand from the repository root (not part of the CMake build), against the engine
// library of an engine build in build/engine (see CONTRIBUTING.md):
//   g++ -std=c++20 -O2 -Wall -Wextra -Isrc -o /tmp/sha256_speed bench/sha256_speed.cpp
//       build/engine/libmavelin_engine.a -pthread
// (one command line).
// Run:
//   /tmp/sha256_speed [FILE [MiB]]
//   /tmp/sha256_speed --kernels        (the kernels only, no file)
// FILE (default /tmp/mavelin-sha256-speed.bin) is created with MiB (default 512) random MiB unless
// it already exists; a file created here is deleted at the end. All figures are one thread, best
// of 5, in bytes per second of the thread's processor time. The "best multi-lane kernel" line gives
// the fastest kernel hashing several messages side by side: times the cores, the machine's limit
// for hashing 2048-byte chunks.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/fingerprint/fingerprint.h"
#include "engine/hash/sha256/choice.h"
#include "engine/hash/sha256/sha256.h"

namespace {

using namespace mavelin;
namespace sha = hash::sha256;

constexpr size_t kMsg = 2048;
constexpr size_t kMsgs = 128;  // 256 KiB working set

// Processor time of the calling thread (user and system), in seconds: unlike the wall clock, it
// does not count the time other processes of a busy machine take.
double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Best of 5 runs of `fn`, which processes `bytes` bytes per call; in GB/s (1e9 bytes per second
// of this thread's processor time).
double best_rate(size_t bytes, const std::function<void()>& fn) {
    double best = 0;
    for (int rep = 0; rep < 5; ++rep) {
        const double t0 = thread_seconds();
        fn();
        const double s = thread_seconds() - t0;
        if (s > 0 && bytes / s / 1e9 > best) best = bytes / s / 1e9;
    }
    return best;
}

// Full SHA-256 of kMsgs messages with the active implementation, `group` messages side by side
// per call: their blocks, then the padding block.
double group_rate(size_t group, const std::vector<uint8_t>& data, int iters) {
    uint32_t sink = 0;
    const double r = best_rate(kMsg * kMsgs * iters, [&] {
        for (int it = 0; it < iters; ++it) {
            for (size_t m = 0; m < kMsgs; m += group) {
                sha::BlockState st[16];
                sha::BlockState* sp[16];
                const uint8_t* dp[16];
                for (size_t l = 0; l < group; ++l) {
                    st[l] = sha::initial_state();
                    sp[l] = &st[l];
                    dp[l] = data.data() + (m + l) * kMsg;
                }
                sha::absorb_blocks(sp, dp, kMsg / sha::kBlockSize, group);
                sha::Digest out[16];
                sha::finish_blocks(sp, kMsg, group, out);
                sink += out[0][0];
            }
        }
    });
    if (sink == 1) std::printf(" ");
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<uint8_t> data(kMsg * kMsgs);
    std::mt19937_64 rng(1);
    for (auto& b : data) b = static_cast<uint8_t>(rng());

    const sha::Impl best = sha::active();
    std::printf("SHA-256 on %zu-byte messages, one thread (GB/s):\n", kMsg);
    sha::force(sha::Impl::kPortable);
    std::printf("  portable, 1 at a time   %6.2f\n", group_rate(1, data, 4));
    // The best multi-message kernel: the two-core limit is its rate times the cores.
    double limit = 0;
    const char* limit_name = "portable";
    size_t limit_group = 1;
    if (sha::force(sha::Impl::kShaNi)) {
        // Side by side as far as the implementation interleaves them.
        for (size_t group = 1; group <= 8; group *= 2) {
            const double r = group_rate(group, data, 40);
            std::printf("  sha-ni, %zu at a time     %6.2f\n", group, r);
            if (group > 1 && r > limit) limit = r, limit_name = "sha-ni", limit_group = group;
        }
    }
    if (sha::force(sha::Impl::kAvx512)) {
        const double r = group_rate(16, data, 40);
        std::printf("  avx512, 16 at a time    %6.2f\n", r);
        if (r > limit) limit = r, limit_name = "avx512", limit_group = 16;
    }
    if (limit > 0) {
        std::printf("best multi-lane kernel: %s, %zu at a time, %.2f GB/s per core\n", limit_name,
                    limit_group, limit);
    }
    sha::force(best);
    std::vector<hash::sha256::Digest> out(kMsgs);
    std::vector<const uint8_t*> ptrs(kMsgs);
    for (size_t m = 0; m < kMsgs; ++m) ptrs[m] = data.data() + m * kMsg;
    std::printf("  hash_many (%s)     %6.2f\n", hash::sha256::name(hash::sha256::active()),
                best_rate(kMsg * kMsgs * 40, [&] {
                    for (int it = 0; it < 40; ++it)
                        hash::sha256::hash_many(ptrs.data(), kMsg, kMsgs, out.data());
                }));
    std::printf("  hash() one at a time  %6.2f\n", best_rate(kMsg * kMsgs * 40, [&] {
                    for (int it = 0; it < 40; ++it)
                        for (size_t m = 0; m < kMsgs; ++m)
                            out[m] = hash::sha256::hash(ptrs[m], kMsg);
                }));

    if (argc > 1 && std::strcmp(argv[1], "--kernels") == 0) return 0;

    // Whole-file fingerprint from the page cache.
    const std::string path = argc > 1 ? argv[1] : "/tmp/mavelin-sha256-speed.bin";
    const size_t mib = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 512;
    struct stat st {};
    const bool created = ::stat(path.c_str(), &st) != 0;
    if (created) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0) return std::perror(path.c_str()), 1;
        std::vector<uint8_t> block(1 << 20);
        for (size_t i = 0; i < mib; ++i) {
            for (auto& b : block) b = static_cast<uint8_t>(rng());
            if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
                return 1;
        }
        ::close(fd);
        ::stat(path.c_str(), &st);
    }
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return std::perror(path.c_str()), 1;
    const auto size = static_cast<uint64_t>(st.st_size);
    fingerprint::Buffer buf;
    buf.reserve(256 << 10);
    std::printf("File %s, %.0f MiB, page cache (GB/s):\n", path.c_str(), size / 1048576.0);
    std::printf("  pread only, 256 KiB   %6.2f\n", best_rate(size, [&] {
                    for (uint64_t off = 0; off < size; off += 256 << 10)
                        if (::pread(fd, buf.data(), 256 << 10, static_cast<off_t>(off)) < 0)
                            std::abort();
                }));
    std::vector<hash::sha256::Digest> rows;
    std::printf("  fingerprint_fd 2048/4 %6.2f\n", best_rate(size, [&] {
                    if (fingerprint::fingerprint_fd(fd, size, {2048, 4}, &rows, nullptr) != 0)
                        std::abort();
                }));
    ::close(fd);
    if (created) ::unlink(path.c_str());
    return 0;
}
