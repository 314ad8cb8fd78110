// Tests of the compact node table: storage across blocks, ids, building from the walk, filling
// from the runner.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/fingerprint/parallel_runner.h"
#include "engine/fs/file_io.h"
#include "engine/fs/tree_walk.h"
#include "engine/table/fill.h"
#include "engine/table/node_table.h"
#include "temp_dir.h"
#include "write_file.h"

namespace {

using mavelin::table::Digest;
using mavelin::table::NodeTable;
using mavelin::testing::TempDir;
using mavelin::testing::write_file;

Digest digest_of(std::size_t node, std::size_t row) {
    Digest d{};
    for (std::size_t k = 0; k < d.size(); ++k)
        d[k] = static_cast<std::uint8_t>(node * 31 + row * 7 + k);
    return d;
}

std::string path_of(std::size_t i) {
    // Lengths vary from 0 to 1500 bytes, so the 4 MiB path blocks fill at odd places.
    return std::string(i * 7919 % 1501, static_cast<char>('a' + i % 26));
}

TEST(NodeTable, PathsIdsAndFingerprintsSurviveBlockBoundaries) {
    constexpr std::size_t kRows = 4, kNodes = 40000;  // ~30 MB of paths, 3 digest blocks
    NodeTable t(kRows);
    std::vector<Digest> fp(kRows);
    for (std::size_t i = 0; i < kNodes; ++i) {
        for (std::size_t r = 0; r < kRows; ++r) fp[r] = digest_of(i, r);
        t.add(static_cast<std::int64_t>(i) + 1, path_of(i), i % 3 == 0 ? nullptr : fp.data());
    }
    // A path longer than a block gets a block of its own; the next one goes on after it.
    const std::string huge(5 << 20, 'h');
    t.add(kNodes + 1, huge);
    t.add(kNodes + 2, "after/huge");
    ASSERT_EQ(t.size(), kNodes + 2);
    EXPECT_TRUE(t.sequential_ids());
    for (std::size_t i = 0; i < kNodes; ++i) {
        ASSERT_EQ(t.path(i), path_of(i)) << i;
        ASSERT_EQ(t.id(i), static_cast<std::int64_t>(i) + 1);
        ASSERT_EQ(t.has_fingerprint(i), i % 3 != 0) << i;
        if (i % 3 == 0) continue;
        for (std::size_t r = 0; r < kRows; ++r) ASSERT_EQ(t.fingerprint(i)[r], digest_of(i, r));
    }
    EXPECT_EQ(t.path(kNodes), huge);
    EXPECT_EQ(t.path(kNodes + 1), "after/huge");
    EXPECT_EQ(t.fingerprint(kNodes + 1), nullptr);
}

TEST(NodeTable, IdsOutOfSequenceAreStoredFromThereOn) {
    NodeTable first(1);
    first.add(7, "only/one.txt");
    first.add(2, "two");
    EXPECT_EQ(first.id(0), 7);
    EXPECT_EQ(first.id(1), 2);
    NodeTable t(1);
    t.add(1, "a");
    t.add(2, "b");
    t.add(-7, "c");
    t.add(4, "d");
    t.add_joined(INT64_MAX, "dir/sub", "e");
    t.add_joined(INT64_MIN, "", "f");
    EXPECT_FALSE(t.sequential_ids());
    const std::vector<std::int64_t> ids = {1, 2, -7, 4, INT64_MAX, INT64_MIN};
    const std::vector<std::string> paths = {"a", "b", "c", "d", "dir/sub/e", "f"};
    for (std::size_t i = 0; i < ids.size(); ++i) {
        EXPECT_EQ(t.id(i), ids[i]);
        EXPECT_EQ(t.path(i), paths[i]);
    }
}

TEST(NodeTable, FingerprintsSetAndClearedInPlace) {
    NodeTable t(2);
    for (int i = 0; i < 20000; ++i) t.add(i + 1, std::to_string(i));
    t.prepare_fingerprints();
    const Digest rows[2] = {digest_of(5, 0), digest_of(5, 1)};
    t.set_fingerprint(19999, rows);
    t.set_fingerprint(3, rows);
    t.clear_fingerprint(3);
    EXPECT_FALSE(t.has_fingerprint(3));
    ASSERT_TRUE(t.has_fingerprint(19999));
    EXPECT_EQ(t.fingerprint(19999)[1], rows[1]);
    // A step of 0 gives fingerprints without rows: present, but nothing to store.
    NodeTable none(0);
    none.add(1, "x", rows);
    EXPECT_TRUE(none.has_fingerprint(0));
}

TEST(NodeTable, MemoryPerNodeStaysSmall) {
    NodeTable t(4);
    const Digest fp[4] = {};
    constexpr std::size_t kNodes = 200000;
    for (std::size_t i = 0; i < kNodes; ++i)
        t.add(static_cast<std::int64_t>(i) + 1,
              "dir" + std::to_string(i % 97) + "/file_" + std::to_string(i) + ".txt", fp);
    t.shrink_to_fit();
    // 4 of path end, 1 of flags, 128 of digests and ~20 of path, plus the last blocks' slack.
    EXPECT_LT(t.memory_bytes() / kNodes, 200u);
}

TEST(NodeTable, ScanTreeGivesTheNodePathsOfTheWalk) {
    TempDir dir("table-scan");
    ASSERT_EQ(::mkdir((dir / "x").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dir / "x/y").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dir / "Certificates").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dir / "Certificates/old").c_str(), 0755), 0);
    for (const char* f : {"b.txt", "a.txt", "x/c.txt", "x/y/d.txt", "Certificates/Certificate.pk",
                          "Certificates/old/e.txt", "x/raw\xff\xfe.bin"})
        write_file(dir / f, f);
    ASSERT_EQ(::mkdir((dir / "x/Certificates").c_str(), 0755), 0);
    write_file(dir / "x/Certificates/kept out", "k");
    std::vector<mavelin::fs::LeftOutFolder> expected_left_out, left_out;
    const std::vector<std::string> expected =
        mavelin::fs::scan_node_paths(dir.path(), &expected_left_out);
    ASSERT_EQ(expected.size(), 6u);
    const NodeTable t = mavelin::table::scan_tree(dir.path(), 4, nullptr, nullptr, &left_out);
    ASSERT_EQ(t.size(), expected.size());
    // The folders left out for their name, below the top, as the path scan names them.
    ASSERT_EQ(left_out.size(), 2u);
    ASSERT_EQ(expected_left_out.size(), 2u);
    for (std::size_t i = 0; i < left_out.size(); ++i) {
        EXPECT_EQ(left_out[i].rel, expected_left_out[i].rel);
        EXPECT_EQ(left_out[i].files, expected_left_out[i].files);
    }
    EXPECT_EQ(left_out[0].rel == "x/Certificates" ? left_out[1].files : left_out[0].files,
              std::vector<std::string>{"Certificate.pk"});
    for (std::size_t i = 0; i < t.size(); ++i) {
        EXPECT_EQ(t.path(i), expected[i]);
        EXPECT_EQ(t.id(i), static_cast<std::int64_t>(i) + 1);
        EXPECT_FALSE(t.has_fingerprint(i));
    }
    std::vector<mavelin::fs::WalkError> errors;
    EXPECT_EQ(mavelin::table::scan_tree(dir / "missing", 4, &errors).size(), 0u);
    EXPECT_TRUE(errors.empty());  // a missing top is a tree without files
    std::atomic<bool> cancel{true};
    EXPECT_EQ(mavelin::table::scan_tree(dir.path(), 4, &errors, &cancel).size(), 0u);
}

TEST(NodeTable, FillMatchesTheRunnerAndKeepsFailuresApart) {
    TempDir dir("table-fill");
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
    std::vector<std::string> contents;
    for (int i = 0; i < 60; ++i) {
        // Sizes up to ~3 MiB: the large ones are split across threads.
        contents.push_back(std::string(static_cast<std::size_t>(i) * i * 811, char('A' + i % 7)));
        write_file(dir / ("sub/f" + std::to_string(i)), contents.back());
    }
    NodeTable t = mavelin::table::scan_tree(dir.path(), 4);
    ASSERT_EQ(t.size(), 60u);
    std::vector<std::string> rels;
    for (std::size_t i = 0; i < t.size(); ++i) rels.emplace_back(t.path(i));
    const mavelin::fingerprint::Params params{2048, 4};
    const auto expected = mavelin::fingerprint::fingerprint_files(dir.path(), rels, params, 2);

    ASSERT_EQ(::unlink((dir / rels[17]).c_str()), 0);  // vanished after the scan
    std::uint64_t bytes = 1;
    const auto failures =
        mavelin::table::fill_fingerprints(t, dir.path(), params, 2, nullptr, nullptr, &bytes);
    std::uint64_t expected_bytes = 0;  // every file's size but the vanished one's
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (i != 17) expected_bytes += expected[i].size;
    EXPECT_EQ(bytes, expected_bytes);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].index, 17u);
    EXPECT_EQ(failures[0].error.code, ENOENT);
    EXPECT_EQ(failures[0].error.path, dir / rels[17]);
    for (std::size_t i = 0; i < t.size(); ++i) {
        ASSERT_EQ(t.has_fingerprint(i), i != 17) << i;
        if (i == 17) continue;
        for (std::size_t r = 0; r < 4; ++r) ASSERT_EQ(t.fingerprint(i)[r], expected[i].rows[r]);
    }

    NodeTable wrong(2);
    wrong.add(1, rels[0]);
    EXPECT_THROW(mavelin::table::fill_fingerprints(wrong, dir.path(), params, 1),
                 std::invalid_argument);
}

}  // namespace
