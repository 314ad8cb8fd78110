// Tests of the archive member reader: archives from zipfile and zip, and every damaged variant
// judged as zipfile judges it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/hash/crc32/crc32.h"
#include "engine/memory_budget.h"
#include "engine/zip/format.h"
#include "engine/zip/reader.h"
#include "engine/zip/writer.h"
#include "zip/zip_test_support.h"

namespace mavelin::zip {
namespace {

using namespace ziptest;

const std::string kName = "Certificate.pk";
const std::string kUtf8Name = "Zertifikat-\xc3\xa4\xe2\x82\xac.pk";

std::vector<uint8_t> payload_bytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> p(n);
    std::mt19937 rng(seed);
    for (auto& b : p) b = static_cast<uint8_t>(rng());
    return p;
}

std::string ok_line(const std::vector<uint8_t>& data) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "ok %zu %08x", data.size(),
                  hash::crc32::compute(data.data(), data.size()));
    return buf;
}

// The host library's exception class for each outcome.
std::string host_kind(Status s) {
    switch (s) {
        case Status::kOk:
            return "ok";
        case Status::kOsError:
            return "OSError";
        case Status::kNotZip:
        case Status::kBadArchive:
        case Status::kBadMember:
        case Status::kBadCrc:
        case Status::kBadData:
            return "BadZipFile";
        case Status::kBadName:
            return "UnicodeDecodeError";
        case Status::kUnsupported:
            return "NotImplementedError";
        case Status::kNoMember:
            return "KeyError";
        case Status::kBadOffset:
            return "ValueError";
        case Status::kEncrypted:
            return "RuntimeError";
        case Status::kTruncated:
            return "EOFError";
        default:
            return "?";
    }
}

// Our verdict in the oracle's words: "ok LEN CRC" or the exception class.
std::string verdict(Status s, const Member& m) {
    return s == Status::kOk ? ok_line(m.data) : host_kind(s);
}

// Methods the host library can decompress and we refuse, and deflated data we find damaged
// (the host raises zlib.error, or reads what the sizes allow): the accepted differences.
bool refused_method(Status s, const Error& err) {
    return (s == Status::kUnsupported && err.message.rfind("compression type", 0) == 0) ||
           s == Status::kBadData;
}

const HostPython* first_python() {
    const auto& pythons = host_pythons();
    return pythons.empty() ? nullptr : &pythons.front();
}

// Builds KIND.zip in `dir` with zipfile (see the oracle's "make" kinds); returns its path.
std::string make_archive_file(const HostPython& py, const ScratchDir& dir, const std::string& kind,
                              const std::vector<uint8_t>& payload) {
    bool ok = false;
    const std::string path = dir / (kind + ".zip");
    const std::string out =
        oracle(py, "make " + kind + " " + shell_quote(path) + " " + hex(payload), &ok);
    EXPECT_TRUE(ok) << out;
    return path;
}

std::vector<uint8_t> make_archive(const HostPython& py, const ScratchDir& dir,
                                  const std::string& kind, const std::vector<uint8_t>& payload) {
    return read_file(make_archive_file(py, dir, kind, payload));
}

// Rewrites a single-member archive from our writer with every ZIP64 record: central sizes and
// offset in a ZIP64 field, ZIP64 end record and locator, saturated fields in the end record.
std::vector<uint8_t> with_full_zip64(const std::vector<uint8_t>& plain) {
    size_t cd = plain.size() - 4 + 1;
    while (cd-- > 0 && get32(plain.data() + cd) != kCentralSig) {
    }
    const size_t name_len = get16(plain.data() + cd + 28);
    std::vector<uint8_t> a(plain.begin(), plain.begin() + cd);
    std::vector<uint8_t> entry(plain.begin() + cd, plain.begin() + cd + kCentralSize + name_len);
    const uint64_t size = get32(entry.data() + 24);
    const uint64_t offset = get32(entry.data() + 42);
    entry[4] = entry[6] = kZip64Version;
    put32(entry.data() + 20, 0xFFFFFFFF);
    put32(entry.data() + 24, 0xFFFFFFFF);
    put32(entry.data() + 42, 0xFFFFFFFF);
    put16(entry.data() + 30, 28);
    uint8_t extra[28];
    put16(extra, kZip64ExtraId);
    put16(extra + 2, 24);
    put64(extra + 4, size);
    put64(extra + 12, size);
    put64(extra + 20, offset);
    entry.insert(entry.end(), extra, extra + sizeof extra);
    a.insert(a.end(), entry.begin(), entry.end());
    uint8_t end64[kEnd64Size + kEnd64LocSize + kEndSize] = {};
    uint8_t* p = end64;
    put32(p, kEnd64Sig);
    put64(p + 4, kEnd64Size - 12);
    put16(p + 12, kZip64Version);
    put16(p + 14, kZip64Version);
    put64(p + 24, 1);
    put64(p + 32, 1);
    put64(p + 40, entry.size());
    put64(p + 48, cd);
    p += kEnd64Size;
    put32(p, kEnd64LocSig);
    put64(p + 8, cd + entry.size());
    put32(p + 16, 1);
    p += kEnd64LocSize;
    put32(p, kEndSig);
    put16(p + 8, 0xFFFF);
    put16(p + 10, 0xFFFF);
    put32(p + 12, 0xFFFFFFFF);
    put32(p + 16, 0xFFFFFFFF);
    a.insert(a.end(), end64, end64 + sizeof end64);
    return a;
}

TEST(ZipReader, ReadsArchivesWrittenByZipfile) {
    const HostPython* py = first_python();
    if (!py) GTEST_SKIP() << "no host Python 3.10/3.11";
    ScratchDir dir;
    const std::vector<uint8_t> payload = payload_bytes(3000, 1);
    struct Case {
        const char* kind;
        std::string name;
    };
    const Case cases[] = {{"zip64", kName}, {"comment", kName}, {"two", kName},
                          {"dup", kName},   {"prefix", kName},  {"utf8", kUtf8Name}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        const std::vector<uint8_t> archive = make_archive(*py, dir, c.kind, payload);
        ASSERT_FALSE(archive.empty());
        Member m;
        Error err;
        ASSERT_EQ(read_member(dir / (std::string(c.kind) + ".zip"), c.name, &m, &err), Status::kOk)
            << err.message;
        EXPECT_EQ(m.data, payload);
        EXPECT_EQ(m.size, payload.size());
        EXPECT_EQ(m.expected_crc, hash::crc32::compute(payload.data(), payload.size()));
        Member from_memory;
        ASSERT_EQ(
            read_member_from_memory(archive.data(), archive.size(), c.name, &from_memory, &err),
            Status::kOk);
        EXPECT_EQ(from_memory.data, payload);
    }
    // zipfile's own write() of a file, and ours.
    ASSERT_TRUE(write_file(dir / "Certificate.pk", payload));
    bool ok = false;
    oracle(*py,
           "write " + shell_quote(dir / "w.zip") + " " + shell_quote(dir / "Certificate.pk") +
               " Certificate.pk",
           &ok);
    Error err;
    ASSERT_EQ(write_single_stored_member(dir / "ours.zip", kName, dir / "Certificate.pk", &err),
              Status::kOk);
    ASSERT_TRUE(write_file(dir / "full64.zip", with_full_zip64(read_file(dir / "ours.zip"))));
    for (const char* file : {"w.zip", "ours.zip", "full64.zip"}) {
        Member m;
        ASSERT_EQ(read_member(dir / file, kName, &m, &err), Status::kOk) << file;
        EXPECT_EQ(m.data, payload);
        EXPECT_EQ(oracle(*py, "read " + shell_quote(dir / file) + " Certificate.pk", &ok),
                  ok_line(payload) + "\n")
            << file;
    }
}

// zipfile writing 5 GiB into a sparse file: a header offset and a central directory beyond
// the limits, in zipfile's own ZIP64 records.
TEST(ZipReader, ReadsZipfileArchiveFarIntoASparseFile) {
    const HostPython* py = first_python();
    if (!py) GTEST_SKIP() << "no host Python 3.10/3.11";
    ScratchDir dir;
    const std::vector<uint8_t> payload = payload_bytes(1000, 10);
    make_archive_file(*py, dir, "far", payload);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "far.zip").c_str(), &st), 0);
    ASSERT_GT(static_cast<uint64_t>(st.st_size), uint64_t{5} << 30);
    Member m;
    Error err;
    ASSERT_EQ(read_member(dir / "far.zip", kName, &m, &err), Status::kOk) << err.message;
    EXPECT_EQ(m.data, payload);
}

TEST(ZipReader, ReadsArchivesOfTheZipTool) {
    std::string out;
    if (run("command -v zip >/dev/null 2>&1", &out) != 0) GTEST_SKIP() << "no zip tool";
    ScratchDir dir;
    const std::vector<uint8_t> payload = payload_bytes(5000, 2);
    ASSERT_TRUE(write_file(dir / "Certificate.pk", payload));
    const std::string cd = "cd " + shell_quote(dir.path()) + " && ";
    // Plain with extra fields; forced ZIP64; streamed through a pipe (data descriptor, zero
    // sizes in the local header).
    ASSERT_EQ(run(cd + "zip -q -0 a.zip Certificate.pk", &out), 0);
    ASSERT_EQ(run(cd + "zip -q -0 -fz b.zip Certificate.pk", &out), 0);
    ASSERT_EQ(run(cd + "zip -q -0 - Certificate.pk | cat > c.zip", &out), 0);
    for (const char* file : {"a.zip", "b.zip", "c.zip"}) {
        Member m;
        Error err;
        EXPECT_EQ(read_member(dir / file, kName, &m, &err), Status::kOk)
            << file << " " << err.message;
        EXPECT_EQ(m.data, payload) << file;
    }
}

TEST(ZipReader, MissingMemberEmptyArchiveAndDeflatedMember) {
    const HostPython* py = first_python();
    if (!py) GTEST_SKIP() << "no host Python 3.10/3.11";
    ScratchDir dir;
    const std::vector<uint8_t> payload = payload_bytes(2000, 3);
    make_archive_file(*py, dir, "empty", payload);
    make_archive_file(*py, dir, "two", payload);
    make_archive_file(*py, dir, "deflated", payload);
    Member m;
    Error err;
    EXPECT_EQ(read_member(dir / "empty.zip", kName, &m, &err), Status::kNoMember);
    EXPECT_EQ(err.message, "There is no item named 'Certificate.pk' in the archive");
    EXPECT_EQ(read_member(dir / "two.zip", "absent.pk", &m, &err), Status::kNoMember);
    EXPECT_EQ(err.message, "There is no item named 'absent.pk' in the archive");
    EXPECT_EQ(read_member(dir / "two.zip", "other.txt", &m, &err), Status::kOk);
    EXPECT_EQ(std::string(m.data.begin(), m.data.end()), "other member");
    ASSERT_EQ(read_member(dir / "deflated.zip", kName, &m, &err), Status::kOk) << err.message;
    EXPECT_EQ(m.data, payload);
    bool ok = false;
    EXPECT_EQ(oracle(*py, "read " + shell_quote(dir / "empty.zip") + " Certificate.pk", &ok),
              "KeyError \"There is no item named 'Certificate.pk' in the archive\"\n");
}

// The list of members finds each one by name, in directory order, and refuses an archive where
// one name stands for two members or where a member's bytes reach into the next one's.
TEST(ZipReader, ListingRefusesDuplicateNamesAndOverlappingMembers) {
    const HostPython* py = first_python();
    if (!py) GTEST_SKIP() << "no host Python 3.10/3.11";
    ScratchDir dir;
    const std::vector<uint8_t> payload = payload_bytes(2000, 4);
    std::vector<uint8_t> two = make_archive(*py, dir, "two", payload);
    const std::vector<uint8_t> dup = make_archive(*py, dir, "dup", payload);
    // The first member's sizes (local header and central entry) made 10 bytes larger: its data
    // now runs into the second member's header.
    std::vector<uint8_t> overlapped = two;
    const size_t first_size = get32(overlapped.data() + 18);
    const size_t central =
        overlapped.size() - kEndSize - get32(overlapped.data() + overlapped.size() - kEndSize + 12);
    for (const size_t at : {size_t{18}, size_t{22}, central + 20, central + 24})
        put32(overlapped.data() + at, static_cast<uint32_t>(first_size + 10));
    struct Case {
        const std::vector<uint8_t>* archive;
        Status status;
        std::string message;
    };
    const Case cases[] = {{&two, Status::kOk, ""},
                          {&dup, Status::kBadArchive, "Duplicate name: 'Certificate.pk'"},
                          {&overlapped, Status::kBadArchive, "Overlapped entries: 'other.txt'"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<MemberEntry> members;
        Error err;
        ASSERT_EQ(list_members_from_memory(c.archive->data(), c.archive->size(), &members, &err),
                  c.status);
        EXPECT_EQ(err.message, c.message);
    }
    std::vector<MemberEntry> members;
    Error err;
    ASSERT_TRUE(write_file(dir / "two.zip", two));
    ASSERT_EQ(list_members(dir / "two.zip", &members, &err), Status::kOk);
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(members[0].name, "other.txt");
    EXPECT_EQ(members[1].name, kName);
    EXPECT_EQ(members[1].size, payload.size());
    EXPECT_EQ(std::vector<uint8_t>(
                  two.begin() + static_cast<long>(members[1].data_start),
                  two.begin() + static_cast<long>(members[1].data_start + members[1].compressed)),
              payload);
}

TEST(ZipReader, OsErrorsCarryErrnoAndPath) {
    ScratchDir dir;
    Member m;
    Error err;
    EXPECT_EQ(read_member(dir / "missing.zip", kName, &m, &err), Status::kOsError);
    EXPECT_EQ(err.os.code, ENOENT);
    EXPECT_EQ(err.os.path, dir / "missing.zip");
    EXPECT_EQ(read_member(dir.path(), kName, &m, &err), Status::kOsError);
    EXPECT_EQ(err.os.code, EISDIR);
    EXPECT_EQ(err.os.path, dir.path());
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
    EXPECT_EQ(read_member(dir / "fifo", kName, &m, &err), Status::kNotZip);  // and no hang
    if (::geteuid() != 0) {
        ASSERT_TRUE(write_file(dir / "secret.zip", {1, 2, 3}));
        ASSERT_EQ(::chmod((dir / "secret.zip").c_str(), 0), 0);
        EXPECT_EQ(read_member(dir / "secret.zip", kName, &m, &err), Status::kOsError);
        EXPECT_EQ(err.os.code, EACCES);
    }
}

TEST(ZipReader, FilesWithoutAnEndRecordAreNotZipArchives) {
    std::vector<std::vector<uint8_t>> inputs = {
        {}, std::vector<uint8_t>(21, 0), {'h', 'e', 'l', 'l', 'o', '\n'}, payload_bytes(100000, 4)};
    // A signature too close to the end to hold a whole record.
    std::vector<uint8_t> late(200, 'x');
    late[190] = 'P', late[191] = 'K', late[192] = 5, late[193] = 6;
    inputs.push_back(late);
    for (const auto& in : inputs) {
        Member m;
        Error err;
        EXPECT_EQ(read_member_from_memory(in.data(), in.size(), kName, &m, &err), Status::kNotZip);
        EXPECT_EQ(err.message, "File is not a zip file");
    }
}

// Every truncation, every inverted byte, every low-bit flip and random rewrites of a few bytes:
// our verdict must be zipfile's, and a good read must give zipfile's bytes.
std::vector<std::vector<uint8_t>> mutants(const std::vector<uint8_t>& data, uint64_t seed,
                                          int count) {
    std::vector<std::vector<uint8_t>> out;
    for (size_t n = 0; n < data.size(); ++n) out.emplace_back(data.begin(), data.begin() + n);
    for (const uint8_t mask : {0xFF, 0x01}) {
        for (size_t i = 0; i < data.size(); ++i) {
            out.push_back(data);
            out.back()[i] ^= mask;
        }
    }
    auto next = [&seed] {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        return seed;
    };
    for (int i = 0; i < count; ++i) {
        std::vector<uint8_t> m = data;
        const uint64_t k = 1 + next() % 4;
        for (uint64_t j = 0; j < k; ++j) {
            const uint64_t pos = next() % m.size();
            m[pos] = static_cast<uint8_t>(next() & 0xFF);
        }
        out.push_back(std::move(m));
    }
    return out;
}

// A member streamed gives read_member's verdict and content; only members of another method
// than stored and deflated are left to read_member (kUnsupported). Damaged deflated data is
// found while reading: read() fails where read_member refused the data.
void expect_stream_agrees(const std::string& path, Status expected, const Member& whole) {
    MemberStream stream;
    Error err;
    const Status s = stream.open(path, kName, &err);
    if (s == Status::kUnsupported && expected != Status::kUnsupported) return;
    const bool data_refused = expected == Status::kBadCrc || expected == Status::kBadData ||
                              expected == Status::kTruncated;
    if (!(s == Status::kOk && data_refused)) {
        ASSERT_EQ(s, expected) << path << ": " << err.message;
    }
    if (s != Status::kOk) return;
    std::vector<uint8_t> content;
    uint8_t piece[777];
    for (std::ptrdiff_t n; (n = stream.read(piece, sizeof piece)) != 0;) {
        if (n < 0 && data_refused) return;
        ASSERT_GT(n, 0);
        content.insert(content.end(), piece, piece + n);
    }
    EXPECT_FALSE(data_refused) << path;
    EXPECT_EQ(content, whole.data);
}

void expect_mutants_judged_like_zipfile(const HostPython& py, const ScratchDir& dir,
                                        const std::vector<uint8_t>& archive,
                                        const std::string& label) {
    constexpr uint64_t kSeed = 12345;
    constexpr int kRandom = 600;
    const std::string path = dir / (label + ".base");
    ASSERT_TRUE(write_file(path, archive));
    bool ok = false;
    const std::vector<std::string> expected =
        lines(oracle(py,
                     "mutate " + shell_quote(path) + " Certificate.pk " + std::to_string(kSeed) +
                         " " + std::to_string(kRandom),
                     &ok));
    ASSERT_TRUE(ok);
    const auto all = mutants(archive, kSeed, kRandom);
    ASSERT_EQ(expected.size(), all.size());
    int refused = 0;
    const std::string mutant_path = dir / (label + ".mutant");
    for (size_t i = 0; i < all.size(); ++i) {
        Member m;
        Error err;
        // From a file, as zipfile reads them: how far one can seek depends on the file system.
        ASSERT_TRUE(write_file(mutant_path, all[i]));
        const Status s = read_member(mutant_path, kName, &m, &err);
        EXPECT_LE(m.data.size(), all[i].size());
        expect_stream_agrees(mutant_path, s, m);
        if (refused_method(s, err)) {
            ++refused;
            continue;
        }
        EXPECT_EQ(verdict(s, m), expected[i])
            << label << " mutant " << i << " (" << all[i].size() << " bytes): " << err.message;
    }
    EXPECT_LT(refused, 10) << "too many mutants hit the deflate/bzip2/lzma difference";
}

// Our archive of `payload` under kName, with a fixed time and mode; empty on failure.
std::vector<uint8_t> our_archive(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    Error err;
    if (build_single_stored_member(kName, payload.data(), payload.size(), 1709213879, 0, 0100644,
                                   &out, &err) != Status::kOk)
        out.clear();
    return out;
}

// An archive in memory that records the reads made of it and sets `cancel` on its `trigger`-th
// read, as Ctrl-C would arrive while a slow file is read.
class CancellingSource : public Source {
  public:
    CancellingSource(const std::vector<uint8_t>& bytes, std::atomic<bool>& cancel, size_t trigger)
        : bytes_(bytes), cancel_(cancel), trigger_(trigger) {}
    uint64_t size() const override { return bytes_.size(); }
    int64_t read_at(uint64_t offset, void* buf, size_t len) override {
        if (cancel_.load()) ++after_cancel;
        largest = std::max(largest, len);
        if (++calls == trigger_) cancel_.store(true);
        if (offset >= bytes_.size()) return 0;
        const size_t n = std::min<uint64_t>(len, bytes_.size() - offset);
        std::memcpy(buf, bytes_.data() + offset, n);
        return static_cast<int64_t>(n);
    }

    size_t calls = 0, after_cancel = 0, largest = 0;

  private:
    const std::vector<uint8_t>& bytes_;
    std::atomic<bool>& cancel_;
    const size_t trigger_;
};

// Whatever read the cancel comes in, no read follows it: the member is given up (ECANCELED) or
// had already been read whole. Every read asks for 1 MiB at most, so a cancel is seen within one
// piece however slow the file.
void expect_cancel_stops_the_reads(const std::vector<uint8_t>& archive,
                                   const std::vector<uint8_t>& payload) {
    std::atomic<bool> never{false};
    CancellingSource whole(archive, never, 0);
    Member m;
    Error err;
    ASSERT_EQ(read_member(whole, "<test>", kName, &m, &err, &never), Status::kOk) << err.message;
    ASSERT_EQ(m.data, payload);
    EXPECT_LE(whole.largest, size_t{1} << 20);
    for (size_t trigger = 1; trigger <= whole.calls; ++trigger) {
        SCOPED_TRACE(trigger);
        std::atomic<bool> cancel{false};
        CancellingSource src(archive, cancel, trigger);
        const Status s = read_member(src, "<test>", kName, &m, &err, &cancel);
        EXPECT_EQ(src.after_cancel, 0u);
        if (trigger == whole.calls) {
            EXPECT_EQ(s, Status::kOk);
        } else {
            EXPECT_EQ(s, Status::kOsError);
            EXPECT_EQ(err.os.code, ECANCELED);
        }
    }
}

TEST(ZipReader, CancelStopsTheReadWithinOnePiece) {
    const std::vector<uint8_t> payload = payload_bytes((size_t{5} << 20) + 7, 21);
    const std::vector<uint8_t> archive = our_archive(payload);
    ASSERT_FALSE(archive.empty());
    expect_cancel_stops_the_reads(archive, payload);

    const HostPython* py = first_python();
    if (!py) GTEST_SKIP() << "no host Python 3.10/3.11 for a deflated member";
    ScratchDir dir;
    const std::vector<uint8_t> small = payload_bytes(40000, 22);
    expect_cancel_stops_the_reads(make_archive(*py, dir, "deflated", small), small);
}

// A member larger than may be kept in memory is refused as out of memory, its CRC pass done but
// nothing allocated for it; within the cap the same archive reads as ever.
TEST(ZipReader, AMemberLargerThanMayBeKeptIsRefusedAsOutOfMemory) {
    struct Restore {
        ~Restore() { memory_budget::set_process_cap(0); }
    } restore;
    EXPECT_GE(memory_budget::process_cap(),
              uint64_t{64} << 20);  // half of any machine that runs this
    const std::vector<uint8_t> big = payload_bytes((size_t{3} << 20) + 1, 24);
    const std::vector<uint8_t> small = payload_bytes(40000, 25);  // the host's argument limit
    std::vector<std::pair<std::vector<uint8_t>, const std::vector<uint8_t>*>> archives = {
        {our_archive(big), &big}};
    ScratchDir dir;
    if (const HostPython* py = first_python())
        archives.emplace_back(make_archive(*py, dir, "deflated", small), &small);
    for (const auto& [archive, payload] : archives) {
        std::atomic<bool> never{false};
        for (uint64_t cap : {uint64_t{payload->size() / 3}, payload->size() - 1, uint64_t{0}}) {
            memory_budget::set_process_cap(cap);
            CancellingSource src(archive, never, SIZE_MAX);
            Member m;
            Error err;
            const Status s = read_member(src, "label", kName, &m, &err);
            if (cap == 0) {
                ASSERT_EQ(s, Status::kOk) << err.message;
                EXPECT_EQ(m.data, *payload);
            } else {
                ASSERT_EQ(s, Status::kOsError) << cap << " " << err.message;
                EXPECT_EQ(err.os.code, ENOMEM);
                EXPECT_EQ(err.os.path, "label");
                EXPECT_TRUE(m.data.empty());
            }
        }
    }
}

TEST(ZipReader, CancelledStreamFailsAndStaysFailed) {
    ScratchDir dir;
    const std::vector<uint8_t> payload = payload_bytes((size_t{3} << 20) + 5, 23);
    ASSERT_TRUE(write_file(dir / "a.zip", our_archive(payload)));
    std::atomic<bool> cancel{true};
    MemberStream refused;
    Error err;
    EXPECT_EQ(refused.open(dir / "a.zip", kName, &err, &cancel), Status::kOsError);
    EXPECT_EQ(err.os.code, ECANCELED);

    cancel.store(false);
    MemberStream stream;
    ASSERT_EQ(stream.open(dir / "a.zip", kName, &err, &cancel), Status::kOk) << err.message;
    std::vector<uint8_t> buffer(payload.size());
    const std::ptrdiff_t n = stream.read(buffer.data(), buffer.size());
    EXPECT_EQ(n, std::ptrdiff_t{1} << 20);  // one piece at a time, whatever the room
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + n, payload.begin()));
    cancel.store(true);
    EXPECT_EQ(stream.read(buffer.data(), buffer.size()), -1);
    cancel.store(false);
    EXPECT_EQ(stream.read(buffer.data(), buffer.size()), -1);
}

TEST(ZipReader, EveryMutantIsJudgedLikeZipfile) {
    const auto& pythons = host_pythons();
    if (pythons.empty()) GTEST_SKIP() << "no host Python 3.10/3.11";
    ScratchDir dir;
    const std::vector<uint8_t> payload = payload_bytes(40, 5);
    std::vector<uint8_t> ours = our_archive(payload);
    ASSERT_FALSE(ours.empty());
    Error err;
    for (const auto& py : pythons) {
        SCOPED_TRACE(py.version);
        expect_mutants_judged_like_zipfile(py, dir, ours, "ours");
    }
    const HostPython& py = pythons.front();
    for (const char* kind : {"zip64", "comment", "prefix", "two"}) {
        expect_mutants_judged_like_zipfile(py, dir, make_archive(py, dir, kind, payload), kind);
    }
    expect_mutants_judged_like_zipfile(py, dir, with_full_zip64(ours), "full64");
}

// Patches a little-endian field in place.
void patch(std::vector<uint8_t>& a, size_t at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) a[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

size_t find_sig(const std::vector<uint8_t>& a, uint32_t sig) {
    for (size_t i = a.size() - 4 + 1; i-- > 0;) {
        if (get32(a.data() + i) == sig) return i;
    }
    return std::string::npos;
}

TEST(ZipReader, HostileSizesAndOffsetsFailCleanlyAndLikeZipfile) {
    const HostPython* py = first_python();
    if (!py) GTEST_SKIP() << "no host Python 3.10/3.11";
    ScratchDir dir;
    const std::vector<uint8_t> payload = payload_bytes(64, 6);
    std::vector<uint8_t> plain = our_archive(payload);
    ASSERT_FALSE(plain.empty());
    Error err;
    const std::vector<uint8_t> zip64 = with_full_zip64(plain);
    const size_t cd64 = find_sig(zip64, kCentralSig);
    const size_t end64 = find_sig(zip64, kEnd64Sig);
    const size_t cd = find_sig(plain, kCentralSig);
    const size_t end = find_sig(plain, kEndSig);
    ASSERT_NE(cd64, std::string::npos);
    ASSERT_NE(end64, std::string::npos);

    std::vector<std::pair<std::string, std::vector<uint8_t>>> cases;
    auto add = [&](const std::string& label, std::vector<uint8_t> a) {
        cases.emplace_back(label, std::move(a));
    };
    {
        auto a = zip64;  // central ZIP64 field: sizes of 2^63
        const size_t extra = cd64 + kCentralSize + kName.size();
        ASSERT_EQ(get16(a.data() + extra), kZip64ExtraId);
        patch(a, extra + 4, uint64_t{1} << 63, 8);
        patch(a, extra + 12, uint64_t{1} << 63, 8);
        add("size 2^63", a);
        a = zip64;
        patch(a, extra + 20, uint64_t{1} << 62, 8);
        add("header offset 2^62", a);
        a = zip64;
        patch(a, extra + 2, 16, 2);  // the field holds two of the three values it must
        add("zip64 field too short", a);
        a = zip64;
        patch(a, extra + 2, 40, 2);  // the field claims more than the extra data holds
        add("zip64 field too long", a);
    }
    {
        auto a = zip64;
        patch(a, end64 + 40, ~uint64_t{0}, 8);  // central directory size 2^64-1
        add("cd size 2^64-1", a);
        a = zip64;
        patch(a, end64 + 48, ~uint64_t{0} - 5, 8);  // central directory offset near 2^64
        add("cd offset near 2^64", a);
        a = zip64;
        patch(a, end64 - 0 + 56 + 16, 7, 4);  // locator: seven disks
        add("multi-disk", a);
    }
    {
        auto a = plain;
        patch(a, end + 12, 0xFFFFFFFF, 4);
        add("cd size 2^32-1", a);
        a = plain;
        patch(a, cd + 42, cd, 4);  // local header offset pointing at the central directory
        add("offset into central directory", a);
        a = plain;
        patch(a, cd + 42, 0xFFFFFFF0, 4);
        add("offset beyond the file", a);
        a = plain;
        patch(a, 26, 0xFFFF, 2);  // local name length runs through everything
        add("local name length 65535", a);
        a = plain;
        patch(a, 28, 0xFFFF, 2);  // local extra pushes the data beyond the file
        add("local extra length 65535", a);
        a = plain;
        patch(a, cd + 28, 0xFFFF, 2);  // central name beyond the directory: cut at its end
        add("central name length 65535", a);
        a = plain;
        const uint8_t stub[] = {0x55, 0x54, 0x09};  // extra data too short for a field header
        a.insert(a.begin() + static_cast<long>(cd + kCentralSize + kName.size()), stub, stub + 3);
        patch(a, cd + 30, 3, 2);
        patch(a, end + 3 + 12, kCentralSize + kName.size() + 3, 4);
        add("three bytes of extra data", a);
        a = plain;
        patch(a, cd + 20, payload.size() + 1000, 4);  // sizes beyond what the file holds
        patch(a, cd + 24, payload.size() + 1000, 4);
        add("sizes beyond the file", a);
        a = plain;
        patch(a, cd + 20, 0, 4);  // nothing stored, but a CRC of something
        add("zero size with a CRC", a);
        a = plain;
        patch(a, cd + 8, kFlagEncrypted, 2);
        add("encrypted", a);
        a = plain;
        patch(a, cd + 6, 64, 1);
        add("version 6.4", a);
        a = plain;
        patch(a, cd + 10, 99, 2);
        add("method 99", a);
        a = plain;  // a comment holding the end signature hides the real end record
        const std::string comment = "signed PK\x05\x06 by the tests";
        patch(a, end + 20, comment.size(), 2);
        a.insert(a.end(), comment.begin(), comment.end());
        add("end signature in the comment", a);
        a = plain;
        patch(a, 6, kFlagUtf8, 2);  // local name flagged UTF-8: still ASCII, still equal
        add("local UTF-8 flag", a);
        a = plain;
        a[30 + 3] = 0xFF;  // local name differs from the central one
        add("local name differs", a);
        a = plain;
        a[cd + kCentralSize + 3] = 0x82;  // central name in code page 437
        patch(a, cd + 8, kFlagUtf8, 2);
        add("invalid UTF-8 name", a);
    }

    std::vector<std::string> paths;
    for (size_t i = 0; i < cases.size(); ++i)
        paths.push_back(dir / (std::string("hostile") + std::to_string(i)));
    std::string args = "readmany Certificate.pk";
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string& path = paths[i];
        ASSERT_TRUE(write_file(path, cases[i].second));
        args += ' ';
        args += shell_quote(path);
    }
    bool ok = false;
    const std::vector<std::string> expected = lines(oracle(*py, args, &ok));
    ASSERT_EQ(expected.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto& a = cases[i].second;
        Member m;
        const Status s = read_member(paths[i], kName, &m, &err);
        EXPECT_LE(m.data.size(), a.size());
        const std::string want = expected[i].substr(0, expected[i].find(' '));
        EXPECT_EQ(s == Status::kOk ? expected[i] : host_kind(s),
                  s == Status::kOk ? ok_line(m.data) : want)
            << cases[i].first << ": zipfile says " << expected[i] << "; we say " << err.message;
        // Where zipfile words a message, ours is the same text.
        if (want == "BadZipFile" || want == "NotImplementedError" || want == "RuntimeError") {
            EXPECT_EQ(want + " " + err.message, expected[i]) << cases[i].first;
        }
    }
}

// Deflated data whose sizes disagree with its stream is read as zipfile reads it: a stream that
// ends before the declared size, or whose compressed bytes end without a final block, gives what
// it gives; a longer one gives its declared size. The CRC-32 then judges those bytes.
TEST(ZipReader, DeflatedDataIsTakenAsFarAsZipfileTakesIt) {
    const HostPython* py = first_python();
    if (!py) GTEST_SKIP() << "no host Python 3.10/3.11";
    ScratchDir dir;
    const std::string text = "the payload of a certificate";
    // One stored deflate block holding `text`, the final one or not.
    const auto block = [&](bool final) {
        const auto n = static_cast<uint16_t>(text.size());
        std::vector<uint8_t> s = {static_cast<uint8_t>(final ? 1 : 0), static_cast<uint8_t>(n),
                                  static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(~n),
                                  static_cast<uint8_t>(~n >> 8)};
        for (const char ch : text) s.push_back(static_cast<uint8_t>(ch));
        return s;
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> stream;
        uint64_t declared;
        size_t crc_over;  // the bytes of `text` the CRC-32 is taken of
    };
    const std::vector<Case> cases = {
        {"ends before its declared size", block(true), text.size() + 100, text.size()},
        {"no final block", block(false), text.size(), text.size()},
        {"longer than its declared size", block(true), 9, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> a = our_archive(c.stream);
        const size_t cd = find_sig(a, kCentralSig);
        ASSERT_NE(cd, std::string::npos);
        const uint32_t crc = hash::crc32::compute(text.data(), c.crc_over);
        for (const size_t header : {size_t{0}, cd + 2}) {  // local, then central fields
            patch(a, header + 8, kMethodDeflated, 2);
            patch(a, header + 14, crc, 4);
            patch(a, header + 22, c.declared, 4);
        }
        const std::string path = dir / "sizes.zip";
        ASSERT_TRUE(write_file(path, a));
        bool ok = false;
        const std::string expected =
            oracle(*py, "read " + shell_quote(path) + " Certificate.pk", &ok);
        ASSERT_EQ(expected.rfind("ok ", 0), 0u) << expected;
        Member m;
        Error err;
        const Status s = read_member(path, kName, &m, &err);
        EXPECT_EQ(verdict(s, m) + "\n", expected) << err.message;
        EXPECT_EQ(m.size, m.data.size());
    }
}

// Damaged data is refused before any of it is kept: a member claiming more than the file holds
// costs no allocation of its claim.
TEST(ZipReader, CrcMismatchAndShortDataAreRefusedWithoutTheirBytes) {
    const std::vector<uint8_t> payload = payload_bytes(500, 7);
    std::vector<uint8_t> a = our_archive(payload);
    ASSERT_FALSE(a.empty());
    Error err;
    const size_t data_at = kLocalSize + kName.size();
    auto bad = a;
    bad[data_at + 100] ^= 0x40;
    Member m;
    EXPECT_EQ(read_member_from_memory(bad.data(), bad.size(), kName, &m, &err), Status::kBadCrc);
    EXPECT_EQ(err.message, "Bad CRC-32 for file 'Certificate.pk'");
    EXPECT_TRUE(m.data.empty());
    EXPECT_EQ(m.expected_crc, hash::crc32::compute(payload.data(), payload.size()));

    auto longer = a;
    const size_t cd = find_sig(longer, kCentralSig);
    patch(longer, cd + 20, 1u << 20, 4);
    patch(longer, cd + 24, 1u << 20, 4);
    EXPECT_EQ(read_member_from_memory(longer.data(), longer.size(), kName, &m, &err),
              Status::kTruncated);
    EXPECT_EQ(m.size, 1u << 20);
    EXPECT_TRUE(m.data.empty());
    EXPECT_EQ(m.data.capacity(), 0u);
}

TEST(ZipReader, NamesDecodeAndMatchLikeZipfile) {
    const HostPython* py = first_python();
    if (!py) GTEST_SKIP() << "no host Python 3.10/3.11";
    ScratchDir dir;
    const std::vector<uint8_t> payload = payload_bytes(30, 8);
    std::vector<uint8_t> a = our_archive(payload);
    ASSERT_FALSE(a.empty());
    Error err;
    const size_t cd = find_sig(a, kCentralSig);
    struct Case {
        std::string stored;  // 14 bytes replacing "Certificate.pk" in both headers
        std::string asked;   // UTF-8
    };
    const Case cases[] = {{"Certificat\x82.pk", "Certificat\xc3\xa9.pk"},  // code page 437
                          {std::string("Cert\0ficate.pk", 14), "Cert"},    // names end at NUL
                          {"CERTIFICATE.PK", "Certificate.pk"}};           // case matters
    for (const Case& c : cases) {
        auto v = a;
        std::copy(c.stored.begin(), c.stored.end(), v.begin() + kLocalSize);
        std::copy(c.stored.begin(), c.stored.end(), v.begin() + cd + kCentralSize);
        const std::string path = dir / "names.zip";
        ASSERT_TRUE(write_file(path, v));
        bool ok = false;
        const std::string expected =
            oracle(*py, "read " + shell_quote(path) + " " + shell_quote(c.asked), &ok);
        Member m;
        const Status s = read_member(path, c.asked, &m, &err);
        EXPECT_EQ(verdict(s, m),
                  expected.substr(0, s == Status::kOk ? expected.size() - 1 : expected.find(' ')))
            << c.asked;
    }
}

TEST(ZipReader, ManyCentralEntriesAreWalkedQuickly) {
    const std::vector<uint8_t> payload = payload_bytes(10, 9);
    std::vector<uint8_t> a = our_archive(payload);
    ASSERT_FALSE(a.empty());
    Error err;
    const size_t cd = find_sig(a, kCentralSig);
    const size_t end = find_sig(a, kEndSig);
    const std::vector<uint8_t> entry(a.begin() + cd, a.begin() + end);
    std::vector<uint8_t> big(a.begin(), a.begin() + cd);
    constexpr size_t kEntries = 200000;  // far beyond the 16-bit count; the count is not used
    for (size_t i = 0; i < kEntries; ++i) big.insert(big.end(), entry.begin(), entry.end());
    std::vector<uint8_t> tail(a.begin() + end, a.end());
    patch(tail, 12, entry.size() * kEntries, 4);
    big.insert(big.end(), tail.begin(), tail.end());
    const auto t0 = std::chrono::steady_clock::now();
    Member m;
    EXPECT_EQ(read_member_from_memory(big.data(), big.size(), kName, &m, &err), Status::kOk);
    EXPECT_EQ(m.data, payload);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 5.0);
}

}  // namespace
}  // namespace mavelin::zip
