// Certificate payload speed: encoding a node table into its pickle bytes and decoding them back.
//
// Build by hand from the repository root (not part of the CMake build), against the engine
// library of an engine build in build/engine (see CONTRIBUTING.md):
//   g++ -std=c++20 -O2 -Wall -Wextra -Isrc -o /tmp/payload_speed bench/payload_speed.cpp
//       build/engine/libmavelin_engine.a -pthread
// (one command line).
// Run:
//   /tmp/payload_speed [NODES]
// Builds a table of NODES (default 1000000) nodes with paths like a generated tree's and four
// row digests each, then, best of 5: write_payload into a sink that only counts (what signing
// does at its end) and decode_payload of those bytes (the compact decoder validation uses,
// which encodes every node again to check the input). Prints ms, GB/s and ns per node.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/hash/sha256/sha256.h"
#include "engine/table/node_table.h"
#include "engine/table/payload_reader.h"
#include "engine/table/payload_writer.h"

namespace {

using namespace mavelin;

template <class F>
double best_of_5(F&& f) {
    double best = 1e30;
    for (int r = 0; r < 5; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

void report(const char* what, double s, size_t bytes, size_t nodes) {
    std::printf("%-7s %8.1f ms  %6.2f GB/s  %6.1f ns per node\n", what, s * 1e3,
                static_cast<double>(bytes) / s / 1e9, s * 1e9 / static_cast<double>(nodes));
}

}  // namespace

int main(int argc, char** argv) {
    const size_t nodes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    table::NodeTable t(4);
    hash::sha256::Digest fp[4];
    char path[64];
    for (size_t i = 0; i < nodes; ++i) {
        std::snprintf(path, sizeof path, "d%05zu/f%08zu.dat", i / 1000, i);
        for (int r = 0; r < 4; ++r) {
            const size_t seed = i * 4 + static_cast<size_t>(r);
            fp[r] = hash::sha256::hash(&seed, sizeof seed);
        }
        t.add(static_cast<int64_t>(i) + 1, path, fp);
    }
    std::string payload;
    table::write_payload(t, [&](std::string_view s) {
        payload.append(s);
        return true;
    });
    size_t counted = 0;
    const double encode = best_of_5([&] {
        counted = 0;
        table::write_payload(t, [&](std::string_view s) {
            counted += s.size();
            return true;
        });
    });
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(payload.data()),
                                         payload.size());
    bool ok = true;
    const double decode = best_of_5([&] {
        table::NodeTable back;
        ok = ok && table::decode_payload(bytes, back, nullptr) == table::DecodeResult::kOk &&
             back.size() == nodes;
    });
    std::printf("%zu nodes, payload %.1f MB\n", nodes, static_cast<double>(counted) / 1e6);
    report("encode", encode, counted, nodes);
    report("decode", decode, payload.size(), nodes);
    if (!ok) std::printf("decode: the payload was not taken back whole\n");
    return ok ? 0 : 1;
}
