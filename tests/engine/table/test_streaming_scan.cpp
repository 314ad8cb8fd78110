// Tests of the walk with hashing alongside: the same table, fingerprints and failures as the walk
// followed by the fill, and a clean stop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine/fs/file_io.h"
#include "engine/table/fill.h"
#include "engine/table/node_table.h"
#include "engine/table/streaming_scan.h"
#include "temp_dir.h"
#include "write_file.h"

namespace {

using mavelin::table::NodeTable;
using mavelin::table::StreamingScan;
using mavelin::testing::TempDir;
using mavelin::testing::write_file;

// Folders of small files (several hand-on batches), a few files large enough to be split, a
// folder left out for its name, a dangling link and an empty file.
void make_tree(const TempDir& dir) {
    for (int d = 0; d < 6; ++d) {
        const std::string sub = dir / std::string("d").append(std::to_string(d));
        ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
        for (int f = 0; f < 700; ++f)
            write_file(std::string(sub).append("/f").append(std::to_string(f)),
                       std::string(static_cast<size_t>(f * 37 % 9000), char('a' + f % 26)));
    }
    for (int b = 0; b < 3; ++b)
        write_file(dir / std::string("big").append(std::to_string(b)),
                   std::string((3u << 20) + 17u * static_cast<unsigned>(b), 'x'));
    ASSERT_EQ(::mkdir((dir / "d2/Certificates").c_str(), 0755), 0);
    write_file(dir / "d2/Certificates/kept-out", "data");
    ASSERT_EQ(::symlink("nowhere", (dir / "d3/dangling").c_str()), 0);
    write_file(dir / "empty", "");
}

TEST(StreamingScan, GivesWhatTheWalkThenTheFillGive) {
    TempDir dir("stream");
    make_tree(dir);
    const mavelin::fingerprint::Params params{2048, 4};
    std::vector<mavelin::fs::WalkError> errors;
    std::vector<mavelin::fs::LeftOutFolder> left_out;
    std::vector<std::string> dangling;
    NodeTable expected =
        mavelin::table::scan_tree(dir.path(), 4, &errors, nullptr, &left_out, &dangling);
    std::uint64_t expected_bytes = 0;
    const auto expected_failures = mavelin::table::fill_fingerprints(
        expected, dir.path(), params, 2, nullptr, nullptr, &expected_bytes);
    ASSERT_GT(expected.size(), 4200u);
    ASSERT_EQ(left_out.size(), 1u);
    ASSERT_EQ(dangling, std::vector<std::string>{"d3/dangling"});

    for (unsigned threads : {1u, 2u, 3u}) {
        SCOPED_TRACE(threads);
        StreamingScan scan(dir.path(), params, threads);
        scan.start();
        scan.wait_walk();
        ASSERT_EQ(scan.table().size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(scan.table().path(i), expected.path(i));
            ASSERT_EQ(scan.table().id(i), expected.id(i));
        }
        ASSERT_EQ(scan.left_out().size(), 1u);
        EXPECT_EQ(scan.left_out()[0].rel, left_out[0].rel);
        EXPECT_EQ(scan.walk_errors().size(), errors.size());
        EXPECT_EQ(scan.dangling_links(), dangling);

        std::uint64_t bytes = 0;
        const auto failures = scan.wait_fill(&bytes);
        EXPECT_EQ(bytes, expected_bytes);
        ASSERT_EQ(failures.size(), expected_failures.size());
        for (std::size_t k = 0; k < failures.size(); ++k) {
            EXPECT_EQ(failures[k].index, expected_failures[k].index);
            EXPECT_EQ(failures[k].error.code, expected_failures[k].error.code);
            EXPECT_EQ(failures[k].error.path, expected_failures[k].error.path);
        }
        const NodeTable& t = scan.table();
        for (std::size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(t.has_fingerprint(i), expected.has_fingerprint(i)) << i;
            if (t.has_fingerprint(i)) {
                ASSERT_EQ(t.digest_bytes(i), expected.digest_bytes(i)) << i;
            }
        }
    }
}

TEST(StreamingScan, StopsCleanlyAtAnyPoint) {
    TempDir dir("stream-stop");
    make_tree(dir);
    const mavelin::fingerprint::Params params{2048, 4};
    {
        // Stopped at once: no fingerprint, nothing reported, no thread left behind.
        StreamingScan scan(dir.path(), params, 2);
        scan.start();
        scan.stop_flag().store(true);
        scan.wait_walk();
        EXPECT_TRUE(scan.wait_fill().empty());
        for (std::size_t i = 0; i < scan.table().size(); ++i)
            ASSERT_FALSE(scan.table().has_fingerprint(i));
    }
    {
        // Dropped while running: the destructor stops and joins.
        StreamingScan scan(dir.path(), params, 2);
        scan.start();
    }
    {
        // A top that does not exist is a tree without files.
        StreamingScan scan(dir / "missing", params, 2);
        scan.start();
        scan.wait_walk();
        EXPECT_EQ(scan.table().size(), 0u);
        EXPECT_TRUE(scan.wait_fill().empty());
    }
}

}  // namespace
