// Bytes per file of the compact node table: synthetic tables, or a real tree scanned and
// fingerprinted.
//
// Build by hand from the repository root (not part of the CMake build), against the engine
// library of an engine build in build/engine (see CONTRIBUTING.md):
//   g++ -std=c++20 -O2 -Wall -Wextra -Isrc -o /tmp/table_memory bench/table_memory.cpp
//       build/engine/libmavelin_engine.a -pthread
// (one command line).
// Run:
//   /tmp/table_memory [NODES]       synthetic table of NODES (default 1000000) fingerprinted nodes
//   /tmp/table_memory --tree DIR    scan DIR, fingerprint it (chunk 2048, step 4, 2 threads)
// Prints the table's own bytes per file and the growth of the process's peak RSS per file.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/table/fill.h"
#include "engine/table/node_table.h"

namespace {

long peak_rss_kib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

void report(const char* what, const mavelin::table::NodeTable& t, long rss_before, double secs) {
    const double n = static_cast<double>(t.size() ? t.size() : 1);
    std::printf("%s: %zu files, table %.1f bytes/file, peak RSS growth %.1f bytes/file, %.2f s\n",
                what, t.size(), static_cast<double>(t.memory_bytes()) / n,
                static_cast<double>(peak_rss_kib() - rss_before) * 1024.0 / n, secs);
}

}  // namespace

int main(int argc, char** argv) {
    using clock = std::chrono::steady_clock;
    const long rss0 = peak_rss_kib();
    const auto t0 = clock::now();
    if (argc == 3 && std::strcmp(argv[1], "--tree") == 0) {
        mavelin::table::NodeTable t = mavelin::table::scan_tree(argv[2], 4);
        const auto failures = mavelin::table::fill_fingerprints(t, argv[2], {2048, 4}, 2);
        report("tree", t, rss0, std::chrono::duration<double>(clock::now() - t0).count());
        std::printf("failed files: %zu\n", failures.size());
        return 0;
    }
    const std::size_t nodes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    mavelin::table::NodeTable t(4);
    mavelin::table::Digest fp[4] = {};
    std::string path;
    for (std::size_t i = 0; i < nodes; ++i) {
        // Paths of the shape the benchmark trees have: d0123/f0000123456.dat (21 bytes).
        char buf[64];
        std::snprintf(buf, sizeof buf, "d%04zu/f%010zu.dat", i / 1000, i);
        fp[0][0] = static_cast<std::uint8_t>(i);
        t.add(static_cast<std::int64_t>(i) + 1, buf, fp);
    }
    t.shrink_to_fit();
    report("synthetic", t, rss0, std::chrono::duration<double>(clock::now() - t0).count());
    return 0;
}
