// Tests of atomic file replacement: contents, modes, symbolic links, and that failures leave the
// old file and no temporary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/fs/atomic_file.h"
#include "zip/zip_test_support.h"

namespace mavelin::fs {
namespace {

using ziptest::read_file;
using ziptest::ScratchDir;
using ziptest::write_file;

const std::vector<uint8_t> kOld = {'o', 'l', 'd'};
const std::vector<uint8_t> kNew = {'n', 'e', 'w', '!', '\n'};

mode_t current_umask() {
    const mode_t m = ::umask(0);
    ::umask(m);
    return m;
}

mode_t mode_of(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

TEST(AtomicFile, CreatesANewFileWithTheUmaskModeOnlyAtCommit) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string target = dir / "cert.zip";
    AtomicFile f;
    OsError err;
    ASSERT_EQ(f.open(target, &err), 0) << err.code;
    EXPECT_TRUE(f.is_open());
    EXPECT_NE(::fcntl(f.fd(), F_GETFD) & FD_CLOEXEC, 0);
    ASSERT_EQ(f.write_all(kNew.data(), kNew.size(), &err), 0);
    // What was written can be read back (the archive writer moves data within the temporary).
    std::vector<uint8_t> back(kNew.size());
    EXPECT_EQ(::pread(f.fd(), back.data(), back.size(), 0), static_cast<ssize_t>(back.size()));
    EXPECT_EQ(back, kNew);
    EXPECT_NE(::access(target.c_str(), F_OK), 0) << "target visible before commit";
    EXPECT_EQ(dir.list().size(), 1u);  // just the temporary
    EXPECT_EQ(f.temp_path().rfind(dir.path() + "/", 0), 0u) << "temporary beside the target";
    ASSERT_EQ(f.commit(&err), 0) << err.code;
    EXPECT_EQ(read_file(target), kNew);
    EXPECT_EQ(mode_of(target), 0666 & ~current_umask());
    EXPECT_EQ(dir.list(), std::vector<std::string>{"cert.zip"});
}

TEST(AtomicFile, ReplacesAnExistingFileKeepingItsPermissions) {
    ScratchDir dir;
    const std::string target = dir / "cert.zip";
    ASSERT_TRUE(write_file(target, kOld));
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    AtomicFile f;
    OsError err;
    ASSERT_EQ(f.open(target, &err), 0);
    ASSERT_EQ(f.write_all(kNew.data(), 3, &err), 0);
    ASSERT_EQ(f.pwrite_all("N", 1, 0, &err), 0);
    ASSERT_EQ(f.write_all(kNew.data() + 3, kNew.size() - 3, &err), 0);
    EXPECT_EQ(read_file(target), kOld) << "old contents until commit";
    ASSERT_EQ(f.commit(&err), 0);
    std::vector<uint8_t> expected = kNew;
    expected[0] = 'N';
    EXPECT_EQ(read_file(target), expected);
    EXPECT_EQ(mode_of(target), 0640u);
    EXPECT_EQ(dir.list(), std::vector<std::string>{"cert.zip"});
}

TEST(AtomicFile, DiscardOrDestructionLeavesTheOldFileAndNoTemporary) {
    ScratchDir dir;
    const std::string target = dir / "cert.zip";
    ASSERT_TRUE(write_file(target, kOld));
    OsError err;
    {
        AtomicFile f;
        ASSERT_EQ(f.open(target, &err), 0);
        ASSERT_EQ(f.write_all(kNew.data(), kNew.size(), &err), 0);
    }  // early exit without commit
    EXPECT_EQ(read_file(target), kOld);
    EXPECT_EQ(dir.list(), std::vector<std::string>{"cert.zip"});
    AtomicFile g;
    ASSERT_EQ(g.open(target, &err), 0);
    g.discard();
    EXPECT_FALSE(g.is_open());
    EXPECT_EQ(g.commit(&err), EBADF);
    EXPECT_EQ(dir.list(), std::vector<std::string>{"cert.zip"});
}

TEST(AtomicFile, OpenFailuresReportErrnoAndTheTargetPath) {
    ScratchDir dir;
    OsError err;
    AtomicFile f;
    EXPECT_EQ(f.open(dir / "missing/cert.zip", &err), ENOENT);
    EXPECT_EQ(err.path, dir / "missing/cert.zip");
    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0755), 0);
    EXPECT_EQ(f.open(dir / "folder", &err), EISDIR);
    EXPECT_EQ(err.path, dir / "folder");
    ASSERT_TRUE(write_file(dir / "file", kOld));
    EXPECT_EQ(f.open(dir / "file/cert.zip", &err), ENOTDIR);
    ASSERT_EQ(::symlink("loop", (dir / "loop").c_str()), 0);
    EXPECT_EQ(f.open(dir / "loop", &err), ELOOP);
    EXPECT_FALSE(f.is_open());
    std::vector<std::string> expected = {"file", "folder", "loop"};
    EXPECT_EQ(dir.list(), expected);
}

TEST(AtomicFile, PermissionDeniedUnlessPrivileged) {
    if (::geteuid() == 0) GTEST_SKIP() << "root bypasses permission checks";
    ScratchDir dir;
    OsError err;
    AtomicFile f;
    ASSERT_TRUE(write_file(dir / "readonly", kOld));
    ASSERT_EQ(::chmod((dir / "readonly").c_str(), 0444), 0);
    EXPECT_EQ(f.open(dir / "readonly", &err), EACCES);
    ASSERT_EQ(::mkdir((dir / "locked").c_str(), 0555), 0);
    EXPECT_EQ(f.open(dir / "locked/cert.zip", &err), EACCES);
    EXPECT_EQ(err.path, dir / "locked/cert.zip");
}

TEST(AtomicFile, NeverWritesThroughALinkOrIntoAPipeAtTheTarget) {
    ScratchDir dir;
    ASSERT_TRUE(write_file(dir / "outside", kOld));
    ASSERT_EQ(::symlink("outside", (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (dir / "dangling").c_str()), 0);
    OsError err;
    AtomicFile f;
    EXPECT_EQ(f.open(dir / "link", &err), ELOOP);
    EXPECT_EQ(err.path, dir / "link");
    EXPECT_EQ(f.open(dir / "dangling", &err), ELOOP);
    EXPECT_EQ(read_file(dir / "outside"), kOld);
    // A named pipe is replaced by the rename, never opened (an open would wait for a reader).
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0644), 0);
    ASSERT_EQ(f.open(dir / "pipe", &err), 0);
    ASSERT_EQ(f.write_all(kNew.data(), kNew.size(), &err), 0);
    ASSERT_EQ(f.commit(&err), 0);
    EXPECT_EQ(read_file(dir / "pipe"), kNew);
    // A link put at the target after open() is replaced, not followed.
    ASSERT_EQ(f.open(dir / "late", &err), 0);
    ASSERT_EQ(::symlink("outside", (dir / "late").c_str()), 0);
    ASSERT_EQ(f.write_all(kNew.data(), kNew.size(), &err), 0);
    ASSERT_EQ(f.commit(&err), 0);
    EXPECT_EQ(read_file(dir / "outside"), kOld);
    EXPECT_EQ(read_file(dir / "late"), kNew);
}

TEST(AtomicFile, StaleTemporariesOfTheTargetAreRemovedWhenNoOtherWriterIsAtWork) {
    ScratchDir dir;
    const std::string stale = ".cert.zip.0123456789abcdef.tmp";
    const std::vector<std::string> kept = {".cert.zip.0123456789ABCDEF.tmp",  // not our digits
                                           ".cert.zip.0123.tmp", ".other.0123456789abcdef.tmp",
                                           "cert.zip.0123456789abcdef.tmp"};
    OsError err;
    {
        AtomicFile busy;  // another writer at work: its temporary must survive
        ASSERT_EQ(busy.open(dir / "cert.zip", &err), 0);
        ASSERT_TRUE(write_file(dir / stale, kOld));
        AtomicFile f;
        ASSERT_EQ(f.open(dir / "cert.zip", &err), 0);
        EXPECT_EQ(::access((dir / stale).c_str(), F_OK), 0);
        EXPECT_EQ(::access(busy.temp_path().c_str(), F_OK), 0);
    }
    for (const std::string& name : kept) ASSERT_TRUE(write_file(dir / name, kOld));
    const std::string link = ".cert.zip.fedcba9876543210.tmp";
    ASSERT_EQ(::symlink("outside", (dir / link).c_str()), 0);
    EXPECT_TRUE(is_temporary_name(stale, "cert.zip"));
    EXPECT_FALSE(is_temporary_name(kept[0], "cert.zip"));
    AtomicFile f;
    ASSERT_EQ(f.open(dir / "cert.zip", &err), 0);
    ASSERT_EQ(f.commit(&err), 0);
    std::vector<std::string> expected = kept;
    expected.push_back(link);
    expected.push_back("cert.zip");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(dir.list(), expected);
}

TEST(AtomicFile, StaleTemporariesOfAnotherFileGoOnlyWhileNoWriterIsAtWork) {
    ScratchDir dir;
    const std::string stale = ".payload.0123456789abcdef.tmp";
    ASSERT_TRUE(write_file(dir / "payload", kOld));
    ASSERT_TRUE(write_file(dir / ".cert.zip.0123456789abcdef.tmp", kOld));
    UniqueFd folder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(folder);
    {
        AtomicFile busy;  // a writer at work holds the folder's lock
        OsError err;
        ASSERT_EQ(busy.open(dir / "payload", &err), 0);
        ASSERT_TRUE(write_file(dir / stale, kOld));
        remove_stale_temporaries(folder.get(), "payload");
        EXPECT_EQ(::access((dir / stale).c_str(), F_OK), 0);
        EXPECT_EQ(::access(busy.temp_path().c_str(), F_OK), 0);
    }
    remove_stale_temporaries(folder.get(), "payload");
    const std::vector<std::string> expected = {".cert.zip.0123456789abcdef.tmp", "payload"};
    EXPECT_EQ(dir.list(), expected);
}

TEST(AtomicFile, StaleTemporariesGoOnlyWhenTheyAreOursAndNoWriterHoldsTheirLock) {
    ScratchDir dir;
    const std::string dead = ".cert.zip.00000000000000d0.tmp";
    // A writer at work without the folder's lock (it may not list the folder) holds its own.
    const std::string locked = ".cert.zip.00000000000000a1.tmp";
    const std::string theirs = ".cert.zip.0000000000000007.tmp";  // another user's
    for (const std::string& name : {dead, locked, theirs})
        ASSERT_TRUE(write_file(dir / name, kOld));
    UniqueFd writer(::open((dir / locked).c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(writer);
    ASSERT_EQ(::flock(writer.get(), LOCK_EX), 0);
    std::vector<std::string> expected = {locked, "cert.zip"};
    if (::geteuid() == 0) {  // only root can give a file away
        ASSERT_EQ(::chown((dir / theirs).c_str(), 65534, 65534), 0);
        expected.push_back(theirs);
    } else {
        ASSERT_EQ(::unlink((dir / theirs).c_str()), 0);
    }
    AtomicFile f;
    OsError err;
    ASSERT_EQ(f.open(dir / "cert.zip", &err), 0);
    ASSERT_EQ(f.commit(&err), 0);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(dir.list(), expected);
}

TEST(AtomicFile, AWriterWaitsForTheFolderLockUntilItIsFreeOrCancelled) {
    ScratchDir dir;
    UniqueFd holder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(holder);
    ASSERT_EQ(::flock(holder.get(), LOCK_EX), 0);  // a clean-up that takes its time
    std::atomic<bool> cancel{false};
    std::atomic<bool> cancelled_returned{false};
    int cancelled = -1;
    std::thread waiting([&] {
        AtomicFile f;
        OsError err;
        cancelled = f.open(dir / "cert.zip", &err, Sync::kNone, &cancel);
        cancelled_returned = true;
    });
    // Far longer than any pause of the wait: a writer that gave up waiting would be writing.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_FALSE(cancelled_returned.load());
    EXPECT_TRUE(dir.list().empty()) << "a temporary was made without the folder's lock";
    cancel = true;
    waiting.join();
    EXPECT_EQ(cancelled, ECANCELED);

    int opened = -1;
    std::thread writer([&] {
        AtomicFile f;
        OsError err;
        opened = f.open(dir / "cert.zip", &err, Sync::kNone);
        if (opened == 0) opened = f.write_all(kNew.data(), kNew.size(), &err);
        if (opened == 0) opened = f.commit(&err);
    });
    ASSERT_EQ(::flock(holder.get(), LOCK_UN), 0);
    writer.join();
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(read_file(dir / "cert.zip"), kNew);
}

TEST(AtomicFile, WriteFailureCleansUp) {
    ScratchDir dir;
    const std::string target = dir / "cert.zip";
    ASSERT_TRUE(write_file(target, kOld));
    // A file size limit makes the kernel refuse the write with EFBIG.
    struct rlimit old_limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    struct sigaction ignore {
    }, old_action{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &old_action), 0);
    struct rlimit small = old_limit;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::vector<uint8_t> big(10000, 'x');
    OsError err;
    AtomicFile f;
    int rc = f.open(target, &err);
    if (rc == 0) rc = f.write_all(big.data(), big.size(), &err);
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    ::sigaction(SIGXFSZ, &old_action, nullptr);
    EXPECT_EQ(rc, EFBIG);
    EXPECT_EQ(err.path, target);
    EXPECT_FALSE(f.is_open());
    EXPECT_EQ(read_file(target), kOld);
    EXPECT_EQ(dir.list(), std::vector<std::string>{"cert.zip"});
}

TEST(AtomicFile, RenameFailureCleansUp) {
    ScratchDir dir;
    const std::string target = dir / "cert.zip";
    OsError err;
    AtomicFile f;
    ASSERT_EQ(f.open(target, &err, Sync::kFileAndDir), 0);
    ASSERT_EQ(f.write_all(kNew.data(), kNew.size(), &err), 0);
    // The target turns into a non-empty folder before the rename.
    ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
    ASSERT_TRUE(write_file(target + "/inside", kOld));
    const int rc = f.commit(&err);
    EXPECT_TRUE(rc == EISDIR || rc == ENOTEMPTY || rc == EEXIST) << rc;
    EXPECT_EQ(err.path, target);
    EXPECT_EQ(dir.list(), std::vector<std::string>{"cert.zip"});
    EXPECT_EQ(read_file(target + "/inside"), kOld);
}

TEST(AtomicFile, ConcurrentWritersUseDistinctTemporariesAndTheLastCommitWins) {
    ScratchDir dir;
    const std::string target = dir / "cert.zip";
    OsError err;
    AtomicFile a;
    AtomicFile b;
    ASSERT_EQ(a.open(target, &err, Sync::kNone), 0);
    ASSERT_EQ(b.open(target, &err, Sync::kNone), 0);
    EXPECT_NE(a.temp_path(), b.temp_path());
    ASSERT_EQ(a.write_all(kOld.data(), kOld.size(), &err), 0);
    ASSERT_EQ(b.write_all(kNew.data(), kNew.size(), &err), 0);
    ASSERT_EQ(a.commit(&err), 0);
    ASSERT_EQ(b.commit(&err), 0);
    EXPECT_EQ(read_file(target), kNew);
    EXPECT_EQ(dir.list(), std::vector<std::string>{"cert.zip"});
}

}  // namespace
}  // namespace mavelin::fs
