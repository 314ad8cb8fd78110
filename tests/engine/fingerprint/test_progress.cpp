// Tests of the counters a fingerprint run publishes and of the measuring pass.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "engine/fingerprint/parallel_runner.h"
#include "engine/fingerprint/progress.h"
#include "engine/fs/file_io.h"
#include "temp_dir.h"

namespace {

using mavelin::fingerprint::fingerprint_files;
using mavelin::fingerprint::measure;
using mavelin::fingerprint::Params;
using mavelin::fingerprint::Progress;
using mavelin::testing::TempDir;

void write_size(const std::string& p, size_t n) {
    mavelin::fs::UniqueFd fd(::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd) << p;
    const std::string data(n, 'x');
    ASSERT_EQ(::write(fd.get(), data.data(), data.size()), static_cast<ssize_t>(n));
}

// Small files, files split across threads (several 1 MiB ranges), an empty one, one missing, a
// folder and a symbolic link: every entry is counted once, and the bytes are those hashed.
TEST(Progress, CountsEveryFileAndEveryHashedByteWhateverTheThreads) {
    TempDir t("progress");
    const std::vector<size_t> sizes = {
        0, 1, 2047, 2048, 5000, (3u << 20) + 17, 70000, (1u << 20) + 1};
    std::vector<std::string> rels;
    uint64_t total = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        rels.push_back(std::string(1, 'f').append(std::to_string(i)));
        write_size(t / rels.back(), sizes[i]);
        total += sizes[i];
    }
    ASSERT_EQ(::mkdir((t / "folder").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("f4", (t / "link").c_str()), 0);
    rels.insert(rels.end(), {"missing", "folder", "link"});
    const uint64_t hashed = total + sizes[4];  // the link's target is hashed again

    for (const Params& p : {Params{2048, 4}, Params{7, 3}, Params{1 << 20, 2}}) {
        for (unsigned threads : {1u, 2u, 3u}) {
            SCOPED_TRACE("chunk " + std::to_string(p.chunk_size) + " threads " +
                         std::to_string(threads));
            Progress progress;
            const auto out = fingerprint_files(t.path(), rels, p, threads, nullptr, &progress);
            ASSERT_EQ(out.size(), rels.size());
            EXPECT_EQ(progress.files_done.load(), rels.size());
            EXPECT_EQ(progress.bytes_done.load(), hashed);
            EXPECT_EQ(progress.bytes_total.load(), 0u);  // only measure() adds to it
        }
    }

    Progress progress;
    std::atomic<bool> stop{false};
    measure(t.path(), rels, progress, stop);
    EXPECT_TRUE(progress.measured.load());
    EXPECT_EQ(progress.bytes_total.load(), hashed);
    EXPECT_EQ(progress.files_done.load(), 0u);
}

TEST(Progress, MeasuringStopsWhenAsked) {
    TempDir t("progress");
    write_size(t / "a", 100);
    Progress progress;
    std::atomic<bool> stop{true};
    measure(t.path(), {"a"}, progress, stop);
    EXPECT_FALSE(progress.measured.load());
    EXPECT_EQ(progress.bytes_total.load(), 0u);
}

}  // namespace
