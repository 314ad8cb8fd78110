// Tests of the metadata member: the walk's stat records written and read back, and hostile members
// refused without allocating beyond their size.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "engine/fs/file_io.h"
#include "engine/metadata/member.h"
#include "engine/table/node_table.h"
#include "temp_dir.h"
#include "write_file.h"

namespace {

using mavelin::metadata::FileStats;
using mavelin::testing::TempDir;
using mavelin::testing::write_file;
namespace metadata = mavelin::metadata;

std::string encode(const FileStats& stats) {
    std::string out;
    metadata::write_member(stats, [&](std::string_view piece) { out.append(piece); });
    return out;
}

TEST(MetadataMember, WalkRecordsMatchStatAndSurviveTheRoundTrip) {
    TempDir dir("meta");
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0750), 0);
    write_file(dir / "sub/a", "hello", 0640);
    write_file(dir / "b", std::string(70000, 'x'), 0640);
    ASSERT_EQ(::symlink("sub/a", (dir / "ln").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (dir / "gone").c_str()), 0);
    FileStats stats;
    stats.step = 4;
    std::vector<std::string> dangling;
    mavelin::table::NodeTable t = mavelin::table::scan_tree(dir.path(), 4, nullptr, nullptr,
                                                            nullptr, &dangling, nullptr, &stats);
    ASSERT_EQ(stats.size(), t.size());
    ASSERT_EQ(t.size(), 3u);
    for (std::size_t i = 0; i < t.size(); ++i) {
        struct stat st;
        ASSERT_EQ(::stat((dir / std::string(t.path(i))).c_str(), &st), 0);
        EXPECT_EQ(stats[i].size, static_cast<std::uint64_t>(st.st_size));
        EXPECT_EQ(stats[i].ino, st.st_ino);
        EXPECT_EQ(stats[i].mode, st.st_mode);
        EXPECT_EQ(stats[i].mtime_ns, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec);
        EXPECT_EQ((stats[i].flags & metadata::kIsLink) != 0, t.path(i) == "ln");
    }
    ASSERT_EQ(stats.links().size(), 2u);  // the link among the nodes and the dangling one

    const std::string bytes = encode(stats);
    EXPECT_EQ(bytes.size(), metadata::member_size(stats));
    FileStats back;
    ASSERT_EQ(metadata::read_member(bytes.data(), bytes.size(), back), "");
    EXPECT_EQ(encode(back), bytes);
    EXPECT_EQ(back.taken_ns, stats.taken_ns);
    EXPECT_EQ(back.step, 4u);
    for (const metadata::Link& l : back.links()) {
        if (l.node == metadata::Link::kNotANode) {
            EXPECT_EQ(l.path, "gone");
            EXPECT_EQ(l.target, "nowhere");
        } else {
            EXPECT_EQ(t.path(l.node), "ln");
            EXPECT_EQ(l.target, "sub/a");
        }
    }
}

void put_u64(std::string& s, std::size_t at, std::uint64_t v) {
    for (int k = 0; k < 8; ++k) s[at + k] = static_cast<char>(v >> (8 * k));
}

TEST(MetadataMember, HostileMembersAreRefused) {
    FileStats stats;
    stats.push_back(metadata::Record{});
    stats.links().push_back({0, "", "t"});
    const std::string good = encode(stats);
    FileStats out;
    ASSERT_EQ(metadata::read_member(good.data(), good.size(), out), "");
    std::vector<std::string> bad;
    bad.push_back(good.substr(0, 47));               // short header
    bad.push_back("XVLFILES" + good.substr(8));      // magic
    bad.push_back(good + "z");                       // trailing byte
    bad.push_back(good.substr(0, good.size() - 1));  // truncated link text
    std::string s = good;
    put_u64(s, 16, UINT64_MAX / 2);  // node count beyond the member
    bad.push_back(s);
    s = good;
    put_u64(s, 24, UINT64_MAX);  // link count beyond the member
    bad.push_back(s);
    s = good;
    put_u64(s, 48 + 56, 7);  // link of a node that does not exist
    bad.push_back(s);
    s = good;
    s[8] = 2;  // unknown version
    bad.push_back(s);
    for (const std::string& b : bad) EXPECT_NE(metadata::read_member(b.data(), b.size(), out), "");
}

}  // namespace
