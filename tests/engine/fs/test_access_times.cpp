// Tests that reading files and folders for a fingerprint leaves their access times alone, and that
// files of other users, for which the kernel refuses that, still open.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <ostream>
#include <string>

#include "engine/fs/file_io.h"
#include "engine/fs/tree_walk.h"
#include "temp_dir.h"

namespace {

using mavelin::fs::open_below_for_hashing;
using mavelin::fs::open_for_hashing;
using mavelin::fs::TreeWalker;
using mavelin::fs::UniqueFd;
using mavelin::testing::TempDir;

constexpr time_t kOldAtime = 1000000000;  // 2001, before any modification time made here

void write_file(const std::string& p) {
    UniqueFd fd(::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd) << p;
    ASSERT_EQ(::write(fd.get(), "data", 4), 4);
}

// Sets the access time far before the modification time: a mount with relatime updates it at
// the next read.
void age_atime(const std::string& p) {
    const timespec times[2] = {{kOldAtime, 0}, {0, UTIME_OMIT}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, 0), 0) << p;
}

time_t atime_of(const std::string& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st.st_atim.tv_sec;
}

void read_plainly(const std::string& p) {
    UniqueFd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC));
    char buf[16];
    ASSERT_TRUE(fd);
    ASSERT_GE(::read(fd.get(), buf, sizeof buf), 0);
}

void list_plainly(const std::string& p) {
    DIR* d = ::opendir(p.c_str());
    ASSERT_NE(d, nullptr);
    while (::readdir(d) != nullptr) {
    }
    ::closedir(d);
}

TEST(AccessTimes, FingerprintReadsAndTheWalkKeepThemWhereAPlainReadChangesThem) {
    TempDir t("atime");
    ASSERT_EQ(::mkdir((t / "tree").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((t / "tree/sub").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((t / "control").c_str(), 0755), 0);
    write_file(t / "tree/sub/file");
    write_file(t / "control/file");
    for (const char* p : {"tree", "tree/sub", "tree/sub/file", "control", "control/file"})
        age_atime(t / p);

    read_plainly(t / "control/file");
    list_plainly(t / "control");
    if (atime_of(t / "control/file") == kOldAtime || atime_of(t / "control") == kOldAtime)
        GTEST_SKIP() << "this file system does not update access times on reads";

    TreeWalker walker(t / "tree");
    while (walker.next() != nullptr) {
    }
    EXPECT_TRUE(walker.errors().empty());
    UniqueFd fd;
    uint64_t size = 0;
    ASSERT_EQ(open_for_hashing(t / "tree/sub/file", fd, &size), 0);
    char buf[16];
    EXPECT_EQ(::read(fd.get(), buf, sizeof buf), 4);
    fd.reset();
    UniqueFd root(::open((t / "tree").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    ASSERT_EQ(open_below_for_hashing(root.get(), "sub/file", fd, &size), 0);
    EXPECT_EQ(::read(fd.get(), buf, sizeof buf), 4);

    EXPECT_EQ(atime_of(t / "tree/sub/file"), kOldAtime);
    EXPECT_EQ(atime_of(t / "tree/sub"), kOldAtime);
    EXPECT_EQ(atime_of(t / "tree"), kOldAtime);
}

// Drops CAP_FOWNER from the calling process's effective set (a child's, here).
bool drop_fowner() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    data[CAP_FOWNER / 32].effective &= ~(1u << (CAP_FOWNER % 32));
    return ::syscall(SYS_capset, &header, data) == 0;
}

TEST(AccessTimes, FilesOfOtherUsersOpenAndTheFlagIsDroppedAfterRepeatedRefusals) {
    TempDir t("atime-other");
    write_file(t / "theirs");
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown((t / "theirs").c_str(), 65534, 65534), 0);
    } else {
        GTEST_SKIP() << "needs a file of another user, which only root can make";
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Exit codes name the step that failed.
        if (!drop_fowner()) ::_exit(2);
        UniqueFd probe(::open((t / "theirs").c_str(), O_RDONLY | O_NOATIME | O_CLOEXEC));
        if (probe || errno != EPERM) ::_exit(3);  // the kernel must refuse the flag here
        for (int i = 0; i < 100; ++i) {
            UniqueFd fd;
            if (open_for_hashing(t / "theirs", fd) != 0) ::_exit(4);
            char buf[8];
            if (::read(fd.get(), buf, sizeof buf) != 4) ::_exit(5);
        }
        if (mavelin::fs::noatime_wanted()) ::_exit(6);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Makes openat2() fail with EPERM in the calling process, as a sandbox's seccomp filter does.
bool refuse_openat2() {
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

// Why an open of a file below the tree's root may meet EPERM.
struct Refusal {
    const char* name;
    bool file_of_another_user;  // O_NOATIME refused by the file: openat2() stays in use
    bool sandbox;               // openat2() refused by a filter: the process stops using it
};

void PrintTo(const Refusal& r, std::ostream* os) {
    *os << r.name;
}

class OpenBelowRefusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(OpenBelowRefusals, TellTheFileFromTheSandbox) {
    const Refusal& r = GetParam();
    TempDir t("atime-refusal");
    ASSERT_EQ(::mkdir((t / "sub").c_str(), 0755), 0);
    write_file(t / "sub/file");
    if (r.file_of_another_user) {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs a file of another user, which only root can make";
        ASSERT_EQ(::chown((t / "sub/file").c_str(), 65534, 65534), 0);
    }
    if (!mavelin::fs::openat2_in_use()) GTEST_SKIP() << "openat2() is not available here";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Exit codes name the step that failed.
        if (r.file_of_another_user && !drop_fowner()) ::_exit(2);
        if (r.sandbox && !refuse_openat2()) ::_exit(3);
        UniqueFd root(::open(t.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        for (int i = 0; i < 100; ++i) {
            UniqueFd fd;
            if (open_below_for_hashing(root.get(), "sub/file", fd) != 0) ::_exit(4);
            char buf[8];
            if (::read(fd.get(), buf, sizeof buf) != 4) ::_exit(5);
        }
        ::_exit(mavelin::fs::openat2_in_use() == r.sandbox ? 6 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

INSTANTIATE_TEST_SUITE_P(AccessTimes, OpenBelowRefusals,
                         ::testing::Values(Refusal{"FileOfAnotherUser", true, false},
                                           Refusal{"Sandbox", false, true},
                                           Refusal{"Both", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
