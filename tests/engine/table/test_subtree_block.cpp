// Tests of the walk spread over blocks: blocks of subtrees, each continued with the folders it
// handed back, give the walk and fingerprints of the whole tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "engine/fs/file_io.h"
#include "engine/table/fill.h"
#include "engine/table/node_table.h"
#include "engine/table/subtree_block.h"
#include "temp_dir.h"
#include "write_file.h"

namespace {

using mavelin::table::BlockRow;
using mavelin::table::SubtreeBlock;
using mavelin::table::SubtreeTask;
using mavelin::testing::TempDir;
using mavelin::testing::write_file;

// Nested folders, one left out for its name, a dangling link, a chain deeper than the walk keeps
// open, and a file larger than a task reads.
void make_tree(const TempDir& dir) {
    std::string chain = dir.path();
    for (int d = 0; d < 40; ++d) {
        chain.append("/c").append(std::to_string(d));
        ASSERT_EQ(::mkdir(chain.c_str(), 0755), 0);
        if (d % 9 == 0) write_file(chain + "/f", std::to_string(d));
    }
    for (int a = 0; a < 4; ++a) {
        const std::string sub = dir / std::string("a").append(std::to_string(a));
        ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
        for (int b = 0; b < a; ++b)
            ASSERT_EQ(::mkdir((sub + "/b" + std::to_string(b)).c_str(), 0755), 0);
        for (int f = 0; f < 5; ++f) {
            write_file(sub + "/f" + std::to_string(f),
                       std::string(static_cast<size_t>(f * 999), 'x'));
            if (a > 1) write_file(sub + "/b1/g" + std::to_string(f), std::to_string(f));
        }
    }
    ASSERT_EQ(::mkdir((dir / "a2/Certificates").c_str(), 0755), 0);
    write_file(dir / "a2/Certificates/kept-out", "data");
    ASSERT_EQ(::symlink("nowhere", (dir / "a3/dangling").c_str()), 0);
    write_file(dir / "a1/large", std::string(100000, 'y'));
}

TEST(SubtreeBlock, SplicedBlocksGiveTheWholeWalk) {
    TempDir dir("blocks");
    make_tree(dir);
    const mavelin::fingerprint::Params params{2048, 4};
    std::vector<mavelin::fs::WalkError> errors;
    std::vector<mavelin::fs::LeftOutFolder> left_out;
    std::vector<std::string> dangling;
    mavelin::table::NodeTable whole =
        mavelin::table::scan_tree(dir.path(), 4, &errors, nullptr, &left_out, &dangling);
    ASSERT_TRUE(mavelin::table::fill_fingerprints(whole, dir.path(), params, 2).empty());

    for (std::uint64_t budget :
         {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{7}, UINT64_MAX}) {
        SCOPED_TRACE(budget);
        std::list<SubtreeTask> tasks(1);
        tasks.front().folders.push_back({"", 0});
        std::vector<std::string> paths, spliced_dangling, spliced_left_out;
        std::vector<std::string> digests;
        while (!tasks.empty()) {
            SubtreeTask& task = tasks.front();
            task.budget = budget;
            task.large_chunks = 40;  // the 100,000-byte file is left for ranges
            const std::string bytes =
                mavelin::table::walk_block(dir.path(), task, params, 1, nullptr, nullptr);
            SubtreeBlock block;
            ASSERT_TRUE(block.read(bytes, 4));
            ASSERT_EQ(block.status, mavelin::table::BlockStatus::kWalked);
            block.for_each_row([&](const BlockRow& r) {
                paths.emplace_back(r.path);
                digests.emplace_back(
                    r.digests ? std::string(reinterpret_cast<const char*>(r.digests), 128)
                              : std::to_string(r.error));
            });
            for (auto d : block.dangling) spliced_dangling.emplace_back(d);
            for (const auto& l : block.left_out) spliced_left_out.emplace_back(l.rel);
            EXPECT_TRUE(block.errors.empty());
            SubtreeTask next;
            next.folders = block.remaining;
            tasks.pop_front();
            if (!next.folders.empty()) tasks.push_front(std::move(next));
        }
        ASSERT_EQ(paths.size(), whole.size());
        for (std::size_t i = 0; i < whole.size(); ++i) {
            EXPECT_EQ(paths[i], whole.path(i));
            const bool large = whole.path(i) == "a1/large";
            EXPECT_EQ(digests[i], large ? std::to_string(mavelin::table::kLargeFile)
                                        : std::string(whole.digest_bytes(i)));
        }
        EXPECT_EQ(spliced_dangling, dangling);
        ASSERT_EQ(spliced_left_out.size(), left_out.size());
        for (std::size_t i = 0; i < left_out.size(); ++i)
            EXPECT_EQ(spliced_left_out[i], left_out[i].rel);
    }
}

}  // namespace
