// The floor under hashing a tree: open, measure, read and close every file on N threads, no hash.
//
// Build by hand from the repository root (not part of the CMake build; bench/bench_scale.py builds
// it on its own):
//   g++ -std=c++20 -O2 -Wall -Wextra -o /tmp/read_floor bench/read_floor.cpp -pthread
// Run:
//   /tmp/read_floor TREE [THREADS [RUNS]]
// Lists TREE once (a top-level folder "Certificates" left out, as signing does), then RUNS times
// (default 5) reads every regular file with THREADS threads (default: the processors), the files
// taken in listing order in claims of 64, through one openat relative to TREE, fstat, pread in
// pieces of up to 256 KiB into a reused buffer, and close: the system calls any tool that reads
// the files must make. Files larger than 1 MiB are cut into 1 MiB ranges, each claimed alone and
// read through an open of its own, so that one large file keeps every thread busy. Prints the
// median wall time, files/s and GB/s.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kClaim = 64;
constexpr size_t kPiece = size_t{256} << 10;
constexpr uint64_t kRange = uint64_t{1} << 20;

struct Item {
    size_t file;
    uint64_t offset;
    uint64_t len;  // 0: the whole file, as fstat measures it
};

std::vector<std::string> list_tree(const std::string& top, std::vector<Item>& items) {
    namespace fs = std::filesystem;
    std::vector<std::string> rels;
    for (auto it = fs::recursive_directory_iterator(top); it != fs::recursive_directory_iterator();
         ++it) {
        if (it.depth() == 0 && it->is_directory() && it->path().filename() == "Certificates") {
            it.disable_recursion_pending();
            continue;
        }
        if (it->symlink_status().type() != fs::file_type::regular) continue;
        const uint64_t size = it->file_size();
        if (size <= kRange) {
            items.push_back(Item{rels.size(), 0, 0});
        } else {
            for (uint64_t at = 0; at < size; at += kRange)
                items.push_back(Item{rels.size(), at, std::min(kRange, size - at)});
        }
        rels.push_back(fs::relative(it->path(), top).string());
    }
    return rels;
}

// One pass over all items; returns the bytes read.
uint64_t read_all(int root, const std::vector<std::string>& rels, const std::vector<Item>& items,
                  unsigned threads) {
    std::atomic<size_t> next{0};
    std::atomic<uint64_t> total{0};
    auto work = [&] {
        std::vector<char> buf(kPiece);
        uint64_t bytes = 0;
        for (;;) {
            const size_t begin = next.fetch_add(kClaim);
            if (begin >= items.size()) break;
            const size_t end = std::min(items.size(), begin + kClaim);
            for (size_t i = begin; i < end; ++i) {
                const Item& item = items[i];
                const int fd = ::openat(root, rels[item.file].c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0) continue;
                uint64_t stop = item.offset + item.len;
                struct stat st;
                if (item.len == 0)
                    stop = ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
                for (uint64_t at = item.offset; at < stop;) {
                    const ssize_t n = ::pread(fd, buf.data(), std::min<uint64_t>(kPiece, stop - at),
                                              static_cast<off_t>(at));
                    if (n <= 0) break;
                    at += static_cast<uint64_t>(n);
                    bytes += static_cast<uint64_t>(n);
                }
                ::close(fd);
            }
        }
        total += bytes;
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work);
    work();
    for (auto& t : pool) t.join();
    return total.load();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s TREE [THREADS [RUNS]]\n", argv[0]);
        return 2;
    }
    const std::string top = argv[1];
    const unsigned threads =
        argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : std::thread::hardware_concurrency();
    const int runs = argc > 3 ? std::atoi(argv[3]) : 5;
    std::vector<Item> items;
    const std::vector<std::string> rels = list_tree(top, items);
    const int root = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0 || threads == 0 || runs <= 0) {
        std::perror(top.c_str());
        return 1;
    }
    read_all(root, rels, items, threads);  // warm-up: the page cache and the dentry cache
    std::vector<double> times;
    uint64_t bytes = 0;
    for (int r = 0; r < runs; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        bytes = read_all(root, rels, items, threads);
        times.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(times.begin(), times.end());
    const double t = times[times.size() / 2];
    std::printf("read alone: %zu files, %.3f GB, %u threads: %.3f s, %.0f files/s, %.2f GB/s\n",
                rels.size(), static_cast<double>(bytes) / 1e9, threads, t,
                static_cast<double>(rels.size()) / t, static_cast<double>(bytes) / t / 1e9);
    ::close(root);
    return 0;
}
