// Tests of the certificate archive writer: byte-identical to the host zipfile module, atomic, and
// accepted by unzip.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/hash/crc32/crc32.h"
#include "engine/zip/member_records.h"
#include "engine/zip/writer.h"
#include "zip/zip_test_support.h"

namespace mavelin::zip {
namespace {

using namespace ziptest;

constexpr uint64_t kLimit = (uint64_t{1} << 31) - 1;
constexpr uint64_t kThreshold = 2045222521;  // smallest size with size * 1.05 > kLimit
const std::string kName = "Certificate.pk";
const std::string kUtf8Name = "Zertifikat-\xc3\xa4\xe2\x82\xac.pk";

HostZip host_of(const HostPython& py) {
    return py.version == "3.10" ? HostZip::k310 : HostZip::k311;
}

// Sets TZ for the test and the interpreters it starts; restores it afterwards.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old, had_ = true;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (had_) {
            ::setenv("TZ", old_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

  private:
    std::string old_;
    bool had_ = false;
};

TEST(ZipWriterLayout, Zip64DecisionUsesTheDoubleProductLikeZipfile) {
    EXPECT_FALSE(local_header_has_zip64(0));
    EXPECT_FALSE(local_header_has_zip64(kThreshold - 1));
    EXPECT_TRUE(local_header_has_zip64(kThreshold));
    EXPECT_TRUE(local_header_has_zip64(kLimit));
    EXPECT_TRUE(local_header_has_zip64(uint64_t{1} << 40));
}

// The records for sizes up to and beyond the ZIP64 limits, compared with what zipfile writes
// for the same announced and actual sizes (its output stream records the writes; no data moves).
TEST(ZipWriterLayout, RecordsMatchZipfileAroundTheZip64Limits) {
    const auto& pythons = host_pythons();
    if (pythons.empty()) GTEST_SKIP() << "no host Python 3.10/3.11";
    struct Case {
        uint64_t declared;
        uint64_t actual;
    };
    const std::vector<Case> cases = {{0, 0},
                                     {5, 5},
                                     {0, 3},
                                     {kThreshold - 1, kThreshold - 1},
                                     {kThreshold, kThreshold},
                                     {kLimit - 70, kLimit - 70},
                                     {kLimit, kLimit},
                                     {kLimit + 1, kLimit + 1},
                                     {0xFFFFFFFFull, 0xFFFFFFFFull},
                                     {uint64_t{1} << 32, uint64_t{1} << 32},
                                     {5000000000ull, 5000000000ull},
                                     {kThreshold, 10},
                                     {kLimit + 1, 3},
                                     {kLimit + 1, kLimit - 5}};
    for (const auto& py : pythons) {
        std::vector<MemberInfo> members;
        std::string args = "layout";
        for (const std::string& name : {kName, kUtf8Name}) {
            for (const Case& c : cases) {
                MemberInfo m;
                m.host = host_of(py);
                Error err;
                ASSERT_EQ(set_member_name(name, &m, &err), Status::kOk);
                m.dos_date = static_cast<uint16_t>((44 << 9) | (2 << 5) | 29);
                m.dos_time = static_cast<uint16_t>((13 << 11) | (37 << 5) | 29);
                m.external_attr = 0100644u << 16;
                m.declared_size = c.declared;
                m.size = c.actual;
                m.crc = 0xDEADBEEF;
                members.push_back(m);
                args += " " + shell_quote(name) + " 2024,2,29,13,37,58 " +
                        std::to_string(m.external_attr) + " " + std::to_string(c.declared) + " " +
                        std::to_string(c.actual) + " " + std::to_string(m.crc);
            }
        }
        bool ok = false;
        const std::vector<std::string> out = lines(oracle(py, args, &ok));
        ASSERT_TRUE(ok);
        size_t at = 0;
        for (const MemberInfo& m : members) {
            SCOPED_TRACE("python " + py.version + " name " + m.name + " declared " +
                         std::to_string(m.declared_size) + " actual " + std::to_string(m.size));
            std::map<uint64_t, uint8_t> written;  // later writes replace earlier ones
            for (; at < out.size() && out[at] != "end"; ++at) {
                const std::string& line = out[at];
                const size_t sp1 = line.find(' ');
                const size_t sp2 = line.find(' ', sp1 + 1);
                ASSERT_EQ(line.substr(0, sp1), "at") << line;
                const uint64_t pos = std::stoull(line.substr(sp1 + 1, sp2 - sp1 - 1));
                const std::vector<uint8_t> bytes =
                    unhex(sp2 == std::string::npos ? "" : line.substr(sp2 + 1));
                for (size_t i = 0; i < bytes.size(); ++i) written[pos + i] = bytes[i];
            }
            ASSERT_LT(at++, out.size()) << "oracle output ends early";
            const std::vector<uint8_t> header = local_header(m);
            const std::vector<uint8_t> trailer = archive_trailer(m);
            ASSERT_EQ(header.size(), local_header_size(m));
            const uint64_t trailer_at = header.size() + m.size;
            ASSERT_EQ(written.size(), header.size() + trailer.size());
            std::vector<uint8_t> ref_header, ref_trailer;
            for (size_t i = 0; i < header.size(); ++i) ref_header.push_back(written[i]);
            for (size_t i = 0; i < trailer.size(); ++i)
                ref_trailer.push_back(written[trailer_at + i]);
            EXPECT_EQ(hex(header), hex(ref_header));
            EXPECT_EQ(hex(trailer), hex(ref_trailer));
        }
    }
}

struct RealCase {
    std::string name;
    size_t size;
    mode_t mode;
    int64_t sec;
    int64_t nsec;
};

// Whole archives from real payload files, written by zipfile and by us, byte for byte.
TEST(ZipWriter, ArchivesAreByteIdenticalToZipfile) {
    const auto& pythons = host_pythons();
    if (pythons.empty()) GTEST_SKIP() << "no host Python 3.10/3.11";
    ScopedTimeZone tz("ZZT-5:30");  // an offset that is not a whole hour
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::vector<RealCase> cases = {
        {kName, 0, 0644, 1709213879, 0},
        {kName, 1, 0600, 1709213879, 500000000},
        // 19:07:59.999999999 local: as a double it is 19:08:00.
        {kName, 100, 0644, 1709213879, 999999999},
        {kName, 70000, 0755, 1234567890, 123456789},
        {kUtf8Name, 3000, 0640, 1709213878, 1},
        {kName, 20, 0644, 315513000, 0},    // 1980-01-01 00:00 local, the first DOS date
        {kName, 20, 0644, 4354799399, 0}};  // 2107-12-31 23:59:59 local, the last
    std::mt19937 rng(99);
    for (const auto& py : pythons) {
        for (const RealCase& c : cases) {
            SCOPED_TRACE("python " + py.version + " size " + std::to_string(c.size) + " mtime " +
                         std::to_string(c.sec) + "." + std::to_string(c.nsec));
            std::vector<uint8_t> payload(c.size);
            for (auto& b : payload) b = static_cast<uint8_t>(rng());
            const std::string payload_path = dir / "Certificate.pk";
            ASSERT_TRUE(write_file(payload_path, payload));
            ASSERT_EQ(::chmod(payload_path.c_str(), c.mode), 0);
            ASSERT_TRUE(set_mtime(payload_path, c.sec, c.nsec));

            bool ok = false;
            const std::string out =
                oracle(py,
                       "write " + shell_quote(dir / "ref.zip") + " " + shell_quote(payload_path) +
                           " " + shell_quote(c.name),
                       &ok);
            ASSERT_TRUE(ok && out == "ok\n") << out;
            Error err;
            WriteOptions options;
            options.host = host_of(py);
            ASSERT_EQ(
                write_single_stored_member(dir / "ours.zip", c.name, payload_path, &err, options),
                Status::kOk)
                << err.message << " " << err.os.code;
            const std::vector<uint8_t> ours = read_file(dir / "ours.zip");
            EXPECT_EQ(hex(ours), hex(read_file(dir / "ref.zip")));

            std::vector<uint8_t> built;
            ASSERT_EQ(
                build_single_stored_member(c.name, payload.data(), payload.size(), c.sec, c.nsec,
                                           S_IFREG | c.mode, &built, &err, options.host),
                Status::kOk);
            EXPECT_EQ(hex(built), hex(ours));
        }
    }
    std::vector<std::string> expected = {"Certificate.pk", "ours.zip", "ref.zip"};
    EXPECT_EQ(dir.list(), expected) << "no temporary left behind";
}

// Members after the streamed first one: the bytes zipfile writes with writestr() after write(),
// every member listed and read by zipfile and unzip; a name used twice is refused.
TEST(ZipWriter, FurtherMembersAreWrittenAsZipfileWritesThem) {
    const auto& pythons = host_pythons();
    if (pythons.empty()) GTEST_SKIP() << "no host Python 3.10/3.11";
    ScratchDir dir;
    const std::string payload_path = dir / "Certificate.pk";
    struct Case {
        size_t payload;
        std::vector<std::pair<std::string, std::string>> members;
    };
    const std::vector<Case> cases = {
        {3000, {{"Certificate.json", "{\"a\": 1}"}}},
        {0, {{"Certificate.files", std::string(70000, 'f')}, {"Certificate.json", ""}}},
        {100, {{kUtf8Name, "x"}, {"sub/Certificate.sig", "sig"}}}};
    std::mt19937 rng(7);
    for (const auto& py : pythons) {
        for (const Case& c : cases) {
            SCOPED_TRACE("python " + py.version + " payload " + std::to_string(c.payload));
            std::vector<uint8_t> payload(c.payload);
            for (auto& b : payload) b = static_cast<uint8_t>(rng());
            ASSERT_TRUE(write_file(payload_path, payload));
            ASSERT_TRUE(set_mtime(payload_path, 1709213879, 500000000));
            std::string args = "writemany " + shell_quote(dir / "ref.zip") + " " +
                               shell_quote(payload_path) + " " + kName;
            WriteOptions options;
            options.host = host_of(py);
            MemberArchiveWriter w;
            Error err;
            fs::UniqueFd folder(::open(dir.path().c_str(), O_PATH | O_DIRECTORY));
            ASSERT_EQ(w.begin(folder.get(), "ours.zip", "ours.zip", kName, &err, options),
                      Status::kOk);
            struct stat st {};
            ASSERT_EQ(::stat(payload_path.c_str(), &st), 0);
            ASSERT_EQ(w.set_metadata(st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_mode,
                                     payload.size(), &err),
                      Status::kOk);
            ASSERT_EQ(w.add(payload.data(), payload.size(), &err), Status::kOk);
            auto entry = [](const std::string& name, const std::vector<uint8_t>& bytes) {
                char tail[40];
                std::snprintf(tail, sizeof tail, " %zu %08x\n", bytes.size(),
                              hash::crc32::compute(bytes.data(), bytes.size()));
                return name + tail;
            };
            std::string listing = entry(kName, payload);
            for (size_t i = 0; i < c.members.size(); ++i) {
                const auto& [name, text] = c.members[i];
                const std::vector<uint8_t> bytes(text.begin(), text.end());
                const std::string source = dir / ("member" + std::to_string(i));
                ASSERT_TRUE(write_file(source, bytes));
                args += " " + shell_quote(name) + " " + shell_quote(source);
                ASSERT_EQ(w.add_member(name, bytes, &err), Status::kOk) << err.message;
                listing += entry(name, bytes);
            }
            EXPECT_EQ(w.add_member(c.members[0].first, {}, &err), Status::kBadInput);
            EXPECT_EQ(w.add_member(kName, {}, &err), Status::kBadInput);
            ASSERT_EQ(w.finish(&err), Status::kOk) << err.message;
            bool ok = false;
            ASSERT_EQ(oracle(py, args, &ok), "ok\n");
            EXPECT_EQ(hex(read_file(dir / "ours.zip")), hex(read_file(dir / "ref.zip")));
            EXPECT_EQ(oracle(py, "list " + shell_quote(dir / "ours.zip"), &ok), listing);
            std::string out;
            if (run("command -v unzip >/dev/null 2>&1", &out) == 0) {
                EXPECT_EQ(run("unzip -t " + shell_quote(dir / "ours.zip") + " 2>&1", &out), 0)
                    << out;
            }
        }
    }
}

TEST(ZipWriter, UnzipAndZipfileAcceptOurArchive) {
    ScratchDir dir;
    std::vector<uint8_t> payload(123457);
    std::mt19937 rng(5);
    for (auto& b : payload) b = static_cast<uint8_t>(rng());
    ASSERT_TRUE(write_file(dir / "Certificate.pk", payload));
    Error err;
    ASSERT_EQ(
        write_single_stored_member(dir / "Certificate.korvex", kName, dir / "Certificate.pk", &err),
        Status::kOk);
    std::string out;
    if (run("command -v unzip >/dev/null 2>&1", &out) == 0) {
        EXPECT_EQ(run("unzip -t " + shell_quote(dir / "Certificate.korvex") + " 2>&1", &out), 0)
            << out;
        EXPECT_NE(out.find("No errors detected"), std::string::npos) << out;
        EXPECT_EQ(run("unzip -p " + shell_quote(dir / "Certificate.korvex") + " Certificate.pk > " +
                          shell_quote(dir / "extracted"),
                      &out),
                  0);
        EXPECT_EQ(read_file(dir / "extracted"), payload);
    }
    for (const auto& py : host_pythons()) {
        bool ok = false;
        const std::string reply =
            oracle(py, "read " + shell_quote(dir / "Certificate.korvex") + " Certificate.pk", &ok);
        char expect[64];
        std::snprintf(expect, sizeof expect, "ok %zu %08x\n", payload.size(),
                      hash::crc32::compute(payload.data(), payload.size()));
        EXPECT_EQ(reply, expect) << py.version;
    }
}

TEST(ZipWriter, TimestampsOutsideTheDosRangeFailLikeZipfile) {
    ScopedTimeZone tz("UTC0");
    ScratchDir dir;
    const std::string payload = dir / "Certificate.pk";
    const std::string archive = dir / "Certificate.korvex";
    ASSERT_TRUE(write_file(payload, {1, 2, 3}));
    ASSERT_TRUE(write_file(archive, {'o', 'l', 'd'}));
    struct Case {
        int64_t sec;
        Status status;
        const char* python_error;
    };
    const Case cases[] = {{315532799, Status::kBadInput, "ValueError"},  // 1979-12-31 23:59:59
                          {4354819200, Status::kOutOfRange, "error"}};   // 2108-01-01 00:00:00
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sec);
        ASSERT_TRUE(set_mtime(payload, c.sec, 0));
        Error err;
        EXPECT_EQ(write_single_stored_member(archive, kName, payload, &err), c.status);
        EXPECT_FALSE(err.message.empty());
        EXPECT_EQ(read_file(archive), (std::vector<uint8_t>{'o', 'l', 'd'}));
        for (const auto& py : host_pythons()) {
            bool ok = false;
            const std::string out = oracle(py,
                                           "write " + shell_quote(dir / "ref.zip") + " " +
                                               shell_quote(payload) + " Certificate.pk",
                                           &ok);
            EXPECT_EQ(out.substr(0, out.find(' ')), c.python_error) << out;
            if (c.status == Status::kBadInput) {
                EXPECT_EQ(out, "ValueError " + err.message + "\n");
            }
        }
        ::unlink((dir / "ref.zip").c_str());
    }
    std::vector<std::string> expected = {"Certificate.korvex", "Certificate.pk"};
    EXPECT_EQ(dir.list(), expected);
}

TEST(ZipWriter, FailuresKeepThePreviousArchiveAndLeaveNoTemporary) {
    ScratchDir dir;
    const std::string archive = dir / "Certificate.korvex";
    const std::vector<uint8_t> old = {'o', 'l', 'd'};
    ASSERT_TRUE(write_file(archive, old));
    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
    ASSERT_TRUE(write_file(dir / "payload", {9, 9}));
    Error err;

    EXPECT_EQ(write_single_stored_member(archive, kName, dir / "missing", &err), Status::kOsError);
    EXPECT_EQ(err.os.code, ENOENT);
    EXPECT_EQ(err.os.path, dir / "missing");

    EXPECT_EQ(write_single_stored_member(archive, kName, dir / "folder", &err), Status::kOsError);
    EXPECT_EQ(err.os.code, EISDIR);

    EXPECT_EQ(write_single_stored_member(archive, kName, dir / "fifo", &err), Status::kOsError);
    EXPECT_EQ(err.os.code, EINVAL);  // refused, not blocked on

    EXPECT_EQ(write_single_stored_member(dir / "folder", kName, dir / "payload", &err),
              Status::kOsError);
    EXPECT_EQ(err.os.code, EISDIR);
    EXPECT_EQ(err.os.path, dir / "folder");

    EXPECT_EQ(write_single_stored_member(dir / "nowhere/a.zip", kName, dir / "payload", &err),
              Status::kOsError);
    EXPECT_EQ(err.os.code, ENOENT);
    EXPECT_EQ(err.os.path, dir / "nowhere/a.zip");

    const std::vector<std::string> bad_names = {
        "", "/abs", "dir/", "a//b", "./a", "a/../b", "..", std::string("a\0b", 3), "\xff\xfe"};
    for (const std::string& bad : bad_names) {
        EXPECT_EQ(write_single_stored_member(archive, bad, dir / "payload", &err),
                  Status::kBadInput)
            << bad;
    }
    EXPECT_EQ(read_file(archive), old);
    std::vector<std::string> expected = {"Certificate.korvex", "fifo", "folder", "payload"};
    EXPECT_EQ(dir.list(), expected);
}

TEST(ZipWriter, SubfolderNamesAreStoredAsGiven) {
    ScratchDir dir;
    ASSERT_TRUE(write_file(dir / "p", {1}));
    Error err;
    ASSERT_EQ(write_single_stored_member(dir / "a.zip", "sub/Certificate.pk", dir / "p", &err),
              Status::kOk);
    const std::vector<uint8_t> a = read_file(dir / "a.zip");
    const std::string name(a.begin() + 30, a.begin() + 48);
    EXPECT_EQ(name, "sub/Certificate.pk");
}

// A real payload beyond the ZIP64 size limit (sparse, so cheap on disk). Slow: opt in with
// MAVELIN_ZIP_LARGE_TESTS=1.
TEST(ZipWriter, LargePayloadBeyondTheLimitMatchesZipfile) {
    const char* enable = std::getenv("MAVELIN_ZIP_LARGE_TESTS");
    if (!enable || std::string(enable) != "1") GTEST_SKIP() << "set MAVELIN_ZIP_LARGE_TESTS=1";
    const auto& pythons = host_pythons();
    if (pythons.empty()) GTEST_SKIP() << "no host Python 3.10/3.11";
    ScratchDir dir;
    const std::string payload = dir / "Certificate.pk";
    {
        const int fd = ::open(payload.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "head", 4, 0), 4);
        ASSERT_EQ(::pwrite(fd, "tail", 4, static_cast<off_t>(kLimit) + 100), 4);
        ::close(fd);
    }
    ASSERT_TRUE(set_mtime(payload, 1709213879, 0));
    const auto& py = pythons.front();
    bool ok = false;
    const std::string out = oracle(
        py,
        "write " + shell_quote(dir / "ref.zip") + " " + shell_quote(payload) + " Certificate.pk",
        &ok);
    ASSERT_EQ(out, "ok\n");
    Error err;
    WriteOptions options;
    options.host = host_of(py);
    options.sync = fs::Sync::kNone;
    ASSERT_EQ(write_single_stored_member(dir / "ours.zip", kName, payload, &err, options),
              Status::kOk);
    std::string cmp;
    EXPECT_EQ(
        run("cmp " + shell_quote(dir / "ours.zip") + " " + shell_quote(dir / "ref.zip"), &cmp), 0)
        << cmp;
}

// A streamed member that ends up beyond the ZIP64 size limit: its header grows by the ZIP64
// field once the size is known, so the data already written moves. Slow (writes 2 GiB): opt in
// with MAVELIN_ZIP_LARGE_TESTS=1.
TEST(ZipWriter, AStreamedMemberBeyondTheLimitIsReadByZipfile) {
    const char* enable = std::getenv("MAVELIN_ZIP_LARGE_TESTS");
    if (!enable || std::string(enable) != "1") GTEST_SKIP() << "set MAVELIN_ZIP_LARGE_TESTS=1";
    const auto& pythons = host_pythons();
    if (pythons.empty()) GTEST_SKIP() << "no host Python 3.10/3.11";
    ScratchDir dir;
    fs::UniqueFd folder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(folder);
    Error err;
    MemberArchiveWriter w;
    ASSERT_EQ(w.begin(folder.get(), "big.zip", dir / "big.zip", kName, &err), Status::kOk);
    std::vector<uint8_t> block(1 << 20);
    uint64_t written = 0;
    for (uint8_t n = 0; written <= kLimit; ++n) {
        block[0] = n;
        ASSERT_EQ(w.add(block.data(), block.size(), &err), Status::kOk);
        written += block.size();
    }
    ASSERT_EQ(w.finish(&err), Status::kOk) << err.message;
    std::string out;
    const std::string check =
        "import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); i = z.infolist()[0]; "
        "print(z.testzip(), i.filename, i.file_size)";
    ASSERT_EQ(run(pythons.front().command + " -c " + shell_quote(check) + " " +
                      shell_quote(dir / "big.zip"),
                  &out),
              0)
        << out;
    EXPECT_EQ(out, "None " + kName + " " + std::to_string(written) + "\n");
}

TEST(ZipWriter, AStreamedMemberIsTheArchiveOfTheSameBytesAsAFile) {
    ScratchDir dir;
    std::vector<uint8_t> payload(300001);
    std::mt19937 rng(9);
    for (auto& b : payload) b = static_cast<uint8_t>(rng());
    fs::UniqueFd folder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(folder);
    Error err;
    {
        MemberArchiveWriter w;
        ASSERT_EQ(w.begin(folder.get(), "given.zip", dir / "given.zip", kName, &err), Status::kOk);
        ASSERT_EQ(w.set_metadata(1709213879, 5, S_IFREG | 0640, payload.size(), &err), Status::kOk);
        for (size_t at = 0; at < payload.size(); at += 7777) {
            const size_t n = std::min<size_t>(7777, payload.size() - at);
            ASSERT_EQ(w.add(payload.data() + at, n, &err), Status::kOk);
        }
        ASSERT_EQ(w.finish(&err), Status::kOk);
        EXPECT_TRUE(w.renamed());
    }
    std::vector<uint8_t> built;
    ASSERT_EQ(build_single_stored_member(kName, payload.data(), payload.size(), 1709213879, 5,
                                         S_IFREG | 0640, &built, &err),
              Status::kOk);
    EXPECT_EQ(read_file(dir / "given.zip"), built);

    // Without metadata: the time and mode of a file just written, the CRC of what came.
    MemberArchiveWriter w;
    ASSERT_EQ(w.begin(folder.get(), "streamed.zip", dir / "streamed.zip", kName, &err),
              Status::kOk);
    ASSERT_EQ(w.add(payload.data(), payload.size(), &err), Status::kOk);
    ASSERT_EQ(w.finish(&err), Status::kOk);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "streamed.zip").c_str(), &st), 0);
    ASSERT_EQ(build_single_stored_member(kName, payload.data(), payload.size(), st.st_mtim.tv_sec,
                                         st.st_mtim.tv_nsec, st.st_mode, &built, &err),
              Status::kOk);
    EXPECT_EQ(read_file(dir / "streamed.zip"), built);
    std::vector<std::string> expected = {"given.zip", "streamed.zip"};
    EXPECT_EQ(dir.list(), expected);
}

TEST(ZipWriter, ADiscardedStreamLeavesTheOldArchive) {
    ScratchDir dir;
    ASSERT_TRUE(write_file(dir / "a.zip", {'o', 'l', 'd'}));
    fs::UniqueFd folder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Error err;
    {
        MemberArchiveWriter w;
        ASSERT_EQ(w.begin(folder.get(), "a.zip", dir / "a.zip", kName, &err), Status::kOk);
        ASSERT_EQ(w.add("new", 3, &err), Status::kOk);
    }  // never finished
    EXPECT_EQ(read_file(dir / "a.zip"), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(dir.list(), std::vector<std::string>{"a.zip"});
}

}  // namespace
}  // namespace mavelin::zip
