// Tests of descriptor ownership, path joining and opening files for hashing, including paths past
// PATH_MAX.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "engine/fs/file_io.h"
#include "temp_dir.h"
#include "write_file.h"

namespace {

using mavelin::fs::open_at_any_length;
using mavelin::fs::open_for_hashing;
using mavelin::fs::posix_join;
using mavelin::fs::UniqueFd;

using mavelin::testing::TempDir;
using mavelin::testing::write_file;

std::string read_all(int fd) {
    std::string s(1 << 16, '\0');
    ssize_t n = mavelin::fs::read_full(fd, s.data(), s.size());
    s.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return s;
}

bool is_open(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

TEST(FileIo, UniqueFdOwnsExactlyOneDescriptor) {
    int raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(raw, 0);
    {
        UniqueFd a(raw);
        UniqueFd b(std::move(a));
        EXPECT_FALSE(a.valid());
        EXPECT_EQ(b.get(), raw);
        UniqueFd c;
        c = std::move(b);
        EXPECT_EQ(c.get(), raw);
        EXPECT_TRUE(is_open(raw));
    }
    EXPECT_FALSE(is_open(raw));

    int first = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    UniqueFd r(first);
    int second = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    r.reset(second);
    EXPECT_FALSE(is_open(first));
    int released = r.release();
    EXPECT_EQ(released, second);
    EXPECT_FALSE(r.valid());
    EXPECT_TRUE(is_open(second));
    ::close(second);
}

TEST(FileIo, PosixJoinBehavesLikeOsPathJoin) {
    EXPECT_EQ(posix_join("a", "b"), "a/b");
    EXPECT_EQ(posix_join("a/", "b"), "a/b");
    EXPECT_EQ(posix_join("a//", "b"), "a//b");
    EXPECT_EQ(posix_join("", "b"), "b");
    EXPECT_EQ(posix_join("a", ""), "a/");
    EXPECT_EQ(posix_join("", ""), "");
    EXPECT_EQ(posix_join("a", "/b"), "/b");
    EXPECT_EQ(posix_join("/", "b/c"), "/b/c");
    EXPECT_EQ(posix_join("/srv/out", "x/y.txt"), "/srv/out/x/y.txt");
    EXPECT_EQ(posix_join(std::string("a\0b", 3), "c"), std::string("a\0b/c", 5));
}

TEST(FileIo, OpenForHashingKindsOfFiles) {
    TempDir t("io");
    write_file(t / "data", "hello");
    ASSERT_EQ(::mkdir((t / "dir").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("data", (t / "link").c_str()), 0);
    ASSERT_EQ(::symlink("nothing", (t / "dangling").c_str()), 0);

    UniqueFd fd;
    uint64_t size = 99;
    ASSERT_EQ(open_for_hashing(t / "data", fd, &size), 0);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(read_all(fd.get()), "hello");
    EXPECT_TRUE(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC);

    UniqueFd via_link;
    ASSERT_EQ(open_for_hashing(t / "link", via_link, &size), 0);
    EXPECT_EQ(size, 5u);

    UniqueFd none;
    EXPECT_EQ(open_for_hashing(t / "dir", none), EISDIR);
    EXPECT_EQ(open_for_hashing(t / "missing", none), ENOENT);
    EXPECT_EQ(open_for_hashing(t / "dangling", none), ENOENT);
    EXPECT_EQ(open_for_hashing(t / "data/below", none), ENOTDIR);
    EXPECT_EQ(open_for_hashing("", none), ENOENT);
    EXPECT_FALSE(none.valid());

    int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string sock = t / "sock";
    std::memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ::close(s);
    // A socket cannot be opened: it reads as a named pipe without a writer does, empty.
    for (const std::string& path : {sock, t / "link"}) {
        if (path != sock) {
            ASSERT_EQ(::unlink(path.c_str()), 0);
            ASSERT_EQ(::symlink("sock", path.c_str()), 0);
        }
        UniqueFd empty;
        size = 99;
        ASSERT_EQ(open_for_hashing(path, empty, &size), 0) << path;
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(read_all(empty.get()), "");
        EXPECT_TRUE(::fcntl(empty.get(), F_GETFD) & FD_CLOEXEC);
    }
}

TEST(FileIo, NamedPipeWithoutWriterOpensAtOnceInBlockingMode) {
    TempDir t("io");
    ASSERT_EQ(::mkfifo((t / "fifo").c_str(), 0644), 0);
    auto start = std::chrono::steady_clock::now();
    UniqueFd fd;
    uint64_t size = 99;
    ASSERT_EQ(open_for_hashing(t / "fifo", fd, &size), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(::fcntl(fd.get(), F_GETFL) & O_NONBLOCK, 0);
}

TEST(FileIo, PathsLongerThanPathMax) {
    TempDir t("io");
    // 30 nested folders with 200-byte names: more than 6000 bytes of path.
    std::string rel, name(200, 'n');
    UniqueFd dir(::open(t.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int i = 0; i < 30; ++i) {
        name[0] = static_cast<char>('a' + i % 26);
        ASSERT_EQ(::mkdirat(dir.get(), name.c_str(), 0755), 0);
        dir.reset(::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(dir);
        if (i) rel += '/';
        rel += name;
    }
    {
        UniqueFd f(::openat(dir.get(), "leaf", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        ASSERT_EQ(::write(f.get(), "deep", 4), 4);
    }
    ASSERT_EQ(::symlinkat(".", dir.get(), "self"), 0);
    ASSERT_EQ(::symlinkat((t / "flat").c_str(), dir.get(), "out"), 0);
    write_file(t / "flat", "flat!");

    std::string full = t / rel + "/leaf";
    ASSERT_GT(full.size(), size_t(PATH_MAX));
    UniqueFd fd;
    uint64_t size = 0;
    ASSERT_EQ(open_for_hashing(full, fd, &size), 0);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(read_all(fd.get()), "deep");

    // Doubled separators, "." and ".." and a link to "." inside the long path resolve as the
    // kernel resolves them in one piece.
    std::string odd =
        t.path() + "//" + rel + "/./self/self//../" + rel.substr(rel.rfind('/') + 1) + "/leaf";
    for (size_t pos = odd.find('/', 300), n = 0; pos != std::string::npos;
         pos = odd.find('/', pos + 4))
        if (++n % 3 == 0) odd.insert(pos, "//.");
    UniqueFd odd_fd;
    ASSERT_EQ(open_for_hashing(odd, odd_fd), 0) << odd.size();
    EXPECT_EQ(read_all(odd_fd.get()), "deep");

    // Shifting the path by one byte at a time puts every kind of byte at the split point.
    std::string runs;  // rel with every separator written as eight slashes
    for (char c : rel) runs += c == '/' ? std::string(8, '/') : std::string(1, c);
    for (size_t shift = 1; shift <= 208; ++shift) {
        UniqueFd shifted;
        std::string p = t.path() + std::string(shift, '/') + rel + "/leaf";
        ASSERT_EQ(open_for_hashing(p, shifted), 0) << shift;
        EXPECT_EQ(read_all(shifted.get()), "deep");
        ASSERT_EQ(open_for_hashing(t.path() + std::string(shift, '/') + runs + "/leaf", shifted), 0)
            << shift;
        std::string dots = t.path() + "/";
        for (size_t i = 0; i < shift / 2; ++i) dots += "./";
        dots += std::string(shift % 2, '/') + rel + "/leaf";
        ASSERT_EQ(open_for_hashing(dots, shifted), 0) << shift;
    }

    // A link at the end that points back to a short absolute path.
    UniqueFd out_fd;
    ASSERT_EQ(open_for_hashing(t / rel + "/out", out_fd), 0);
    EXPECT_EQ(read_all(out_fd.get()), "flat!");

    UniqueFd none;
    EXPECT_EQ(open_for_hashing(t / rel + "/missing", none), ENOENT);
    EXPECT_EQ(open_for_hashing(t / rel + "/leaf/below", none), ENOTDIR);
    EXPECT_EQ(open_for_hashing(t / rel, none), EISDIR);
    EXPECT_EQ(open_for_hashing(t / std::string(PATH_MAX + 10, 'x'), none), ENAMETOOLONG);

    // Relative to a directory descriptor, with the flags of the caller.
    UniqueFd top(::open(t.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    UniqueFd rel_fd;
    ASSERT_EQ(open_at_any_length(top.get(), rel + "/leaf", O_RDONLY, rel_fd), 0);
    EXPECT_EQ(read_all(rel_fd.get()), "deep");
    EXPECT_EQ(open_at_any_length(top.get(), rel + "/out", O_RDONLY | O_NOFOLLOW, rel_fd), ELOOP);
}

// Below a root a link is read only where its chain ends inside the tree, however it points there;
// one pointed out of the tree after the walk found it inside is never followed.
TEST(FileIo, LinksBelowARootAreReadOnlyInsideTheTree) {
    TempDir t("io");
    ASSERT_EQ(::mkdir((t / "top").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((t / "top/d").c_str(), 0755), 0);
    write_file(t / "top/d/file", "inside");
    write_file(t / "secret", "outside");
    const std::string top = t / "top";
    const struct {
        const char* name;
        std::string target;
        int err;
    } links[] = {
        {"rel", "d/file", 0},
        {"d/up", "../d/file", 0},
        {"d/abs", top + "/d/file", 0},
        {"chain", "d/up", 0},
        {"out", "../secret", EXDEV},
        {"d/out_abs", t / "secret", EXDEV},
        {"chain_out", "out", EXDEV},
        {"loop", "loop", ELOOP},
        {"dl", "d", 0},
    };
    for (const auto& l : links)
        ASSERT_EQ(::symlink(l.target.c_str(), (top + "/" + l.name).c_str()), 0);
    UniqueFd root(::open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (const auto& l : links) {
        if (std::string(l.name) == "dl") continue;
        UniqueFd fd;
        uint64_t size = 0;
        ASSERT_EQ(mavelin::fs::open_below_for_hashing(root.get(), l.name, fd, &size), l.err)
            << l.name;
        if (l.err == 0) {
            EXPECT_EQ(read_all(fd.get()), "inside") << l.name;
        }
    }
    // A folder on the way that is a link is refused as before, the link to a folder itself too.
    UniqueFd none;
    EXPECT_EQ(mavelin::fs::open_below_for_hashing(root.get(), "dl/file", none), ELOOP);
    EXPECT_EQ(mavelin::fs::open_below_for_hashing(root.get(), "dl", none), EISDIR);
}

TEST(FileIo, ReadHelpersStopOnlyAtEndOfFile) {
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    UniqueFd rd(p[0]), wr(p[1]);
    ASSERT_EQ(::write(wr.get(), "ab", 2), 2);
    ASSERT_EQ(::write(wr.get(), "cde", 3), 3);
    wr.reset();
    char buf[16];
    EXPECT_EQ(mavelin::fs::read_full(rd.get(), buf, sizeof buf), 5);
    EXPECT_EQ(std::string(buf, 5), "abcde");
    EXPECT_EQ(mavelin::fs::read_full(rd.get(), buf, sizeof buf), 0);

    TempDir t("io");
    write_file(t / "f", "0123456789");
    UniqueFd f(::open((t / "f").c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(mavelin::fs::pread_full(f.get(), buf, 4, 3), 4);
    EXPECT_EQ(std::string(buf, 4), "3456");
    EXPECT_EQ(mavelin::fs::pread_full(f.get(), buf, 8, 7), 3);
    EXPECT_EQ(mavelin::fs::pread_full(f.get(), buf, 8, 50), 0);
    EXPECT_EQ(mavelin::fs::pread_full(f.get(), buf, 8, UINT64_MAX - 3), 0);  // beyond any file
    // Starting within the largest offset but ending beyond it: nothing there, not an error.
    EXPECT_EQ(mavelin::fs::pread_full(f.get(), buf, 8, uint64_t{INT64_MAX} - 3), 0);
    EXPECT_EQ(mavelin::fs::pread_full(f.get(), buf, 8, uint64_t{INT64_MAX}), 0);
    EXPECT_EQ(mavelin::fs::pread_retry(-1, buf, 1, 0), -1);
    EXPECT_EQ(errno, EBADF);
}

void on_signal(int) {}

// A signal arriving while a read waits makes it fail with EINTR (no SA_RESTART here): the loop
// must go on reading, not report a failure or a short count.
TEST(FileIo, ReadFullRetriesReadsInterruptedBySignals) {
    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = on_signal;
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    UniqueFd rd(p[0]), wr(p[1]);
    const pthread_t reader = ::pthread_self();
    std::thread writer([&] {
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ::pthread_kill(reader, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ASSERT_EQ(::write(wr.get(), "xy", 2), 2);
        }
        wr.reset();
    });
    char buf[16];
    const ssize_t n = mavelin::fs::read_full(rd.get(), buf, sizeof buf);
    const int err = errno;
    writer.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    ASSERT_EQ(n, 6) << std::strerror(err);
    EXPECT_EQ(std::string(buf, 6), "xyxyxy");
}

TEST(FileIo, WriteHelpersWriteEverythingAndPwriteKeepsThePosition) {
    TempDir t("io");
    UniqueFd f(::open((t / "w").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ASSERT_TRUE(f);
    const std::string big(3 << 20, 'b');
    ASSERT_EQ(mavelin::fs::write_all(f.get(), big.data(), big.size()), 0);
    ASSERT_EQ(mavelin::fs::pwrite_all(f.get(), "HEAD", 4, 0), 0);
    ASSERT_EQ(mavelin::fs::write_all(f.get(), "tail", 4), 0);  // appended: position untouched
    std::string back(big.size() + 4, '\0');
    ASSERT_EQ(mavelin::fs::pread_full(f.get(), back.data(), back.size() + 10, 0),
              static_cast<ssize_t>(back.size()));
    EXPECT_EQ(back.substr(0, 6), "HEADbb");
    EXPECT_EQ(back.substr(back.size() - 5), "btail");
    EXPECT_EQ(mavelin::fs::write_all(-1, "x", 1), EBADF);
    EXPECT_EQ(mavelin::fs::pwrite_all(-1, "x", 1, 0), EBADF);
}

}  // namespace
