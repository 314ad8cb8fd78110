// Tests of the certificate payload written from the compact table: the host pickler's bytes,
// streamed, and the path text the host stores.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine/table/path_text.h"
#include "engine/table/payload_writer.h"
#include "engine/zip/writer.h"
#include "table/table_vectors.h"
#include "temp_dir.h"

namespace {

namespace pv = pickle_vectors;
using mavelin::table::Digest;
using mavelin::table::NodeTable;

std::string payload_of(const NodeTable& t, std::vector<std::size_t>* pieces = nullptr) {
    std::string out;
    EXPECT_TRUE(mavelin::table::write_payload(t, [&](std::string_view piece) {
        if (pieces) pieces->push_back(piece.size());
        out.append(piece);
        return true;
    }));
    return out;
}

TEST(PayloadWriter, MatchesTheHostPicklerOnTheStoredTables) {
    for (const std::string& name : pv::names()) {
        SCOPED_TRACE(name);
        NodeTable t;
        const bool compact = table_vectors::to_compact(pv::load_table(name), t);
        const bool expected_compact =
            std::find(table_vectors::compact_names().begin(), table_vectors::compact_names().end(),
                      name) != table_vectors::compact_names().end();
        ASSERT_EQ(compact, expected_compact);
        if (!compact) continue;
        pv::Expected e;
        ASSERT_TRUE(pv::load_expected(name, 4, e));
        std::vector<std::size_t> pieces;
        const std::string ours = payload_of(t, &pieces);
        EXPECT_EQ(ours.size(), e.length);
        EXPECT_EQ(pv::sha_hex(ours), e.sha);
        if (e.stored) {
            EXPECT_EQ(pv::first_difference(ours, e.bytes), -1);
        }
        EXPECT_EQ(mavelin::table::payload_size(t), e.length);
        // Bounded pieces: about 1 MiB each, plus at most one frame.
        for (std::size_t n : pieces) EXPECT_LE(n, (std::size_t{1} << 20) + (64 << 10) + 4096);
    }
}

TEST(PayloadWriter, MatchesTheGenericEncoderOnAssortedTables) {
    // Raw paths that are not UTF-8, a path beyond the frame size (written unframed), ids out of
    // sequence and negative, steps 0 to 5, and enough nodes for several batches and frames.
    const std::vector<std::string> odd_paths = {"bad/\xff\xfe.bin",
                                                "\xed\xa0\x80x",
                                                "\xc0\xaf",
                                                "\xe6\x97"
                                                "a",
                                                "\xf4\x90\x80\x80",
                                                "\xf0\x9f\x98\x80\xe6\x97\xa5",
                                                "\xc3",
                                                std::string(70000, 'p'),
                                                "dir/ok.txt",
                                                ""};
    for (std::size_t rows : {0u, 1u, 4u, 5u}) {
        SCOPED_TRACE(rows);
        NodeTable t(rows);
        std::vector<Digest> fp(rows);
        for (std::size_t i = 0; i < 2600; ++i) {
            for (std::size_t r = 0; r < rows; ++r) fp[r].fill(static_cast<std::uint8_t>(i + r));
            const std::int64_t id = i == 5   ? -300
                                    : i == 6 ? INT64_MAX
                                             : static_cast<std::int64_t>(i) + 1;
            t.add(id, odd_paths[i % odd_paths.size()], i % 4 == 1 ? nullptr : fp.data());
        }
        const std::string ours = payload_of(t);
        const std::string generic = pv::encode_table(table_vectors::to_listed(t));
        EXPECT_EQ(pv::first_difference(ours, generic), -1);
    }
}

TEST(PayloadWriter, StreamsIntoTheArchiveWithoutAPayloadFile) {
    namespace zip = mavelin::zip;
    pv::Expected e;
    ASSERT_TRUE(pv::load_expected("n1001", 4, e));
    NodeTable t;
    ASSERT_TRUE(table_vectors::to_compact(pv::load_table("n1001"), t));
    mavelin::testing::TempDir dir("table-zip");
    const int folder = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    zip::Error err;
    zip::MemberArchiveWriter w;
    ASSERT_EQ(
        w.begin(folder, "Certificate.korvex", dir / "Certificate.korvex", "Certificate.pk", &err),
        zip::Status::kOk);
    ASSERT_EQ(w.set_metadata(1709213879, 0, S_IFREG | 0644, mavelin::table::payload_size(t), &err),
              zip::Status::kOk);
    EXPECT_TRUE(mavelin::table::write_payload(t, [&](std::string_view piece) {
        return w.add(piece.data(), piece.size(), &err) == zip::Status::kOk;
    }));
    ASSERT_EQ(w.finish(&err), zip::Status::kOk);
    ::close(folder);
    // The archive the host makes from the payload file, byte for byte.
    std::vector<std::uint8_t> built;
    ASSERT_EQ(zip::build_single_stored_member("Certificate.pk", e.bytes.data(), e.bytes.size(),
                                              1709213879, 0, S_IFREG | 0644, &built, &err),
              zip::Status::kOk);
    FILE* f = std::fopen((dir / "Certificate.korvex").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<std::uint8_t> archive(built.size() + 1);
    archive.resize(std::fread(archive.data(), 1, archive.size(), f));
    std::fclose(f);
    EXPECT_EQ(archive, built);
}

TEST(PayloadWriter, StopsWhenTheSinkRefuses) {
    NodeTable t(4);
    const Digest fp[4] = {};
    for (int i = 0; i < 20000; ++i) t.add(i + 1, std::string(20, 'x'), fp);
    int calls = 0;
    EXPECT_FALSE(mavelin::table::write_payload(t, [&](std::string_view) { return ++calls < 2; }));
    EXPECT_EQ(calls, 2);
}

TEST(PathText, RawBytesTakeTheHostsEscapedForm) {
    using mavelin::table::append_path_text;
    using mavelin::table::path_from_text;
    // Expected texts from os.fsdecode(raw).encode("utf-8", "surrogatepass").
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain/a.txt", "plain/a.txt"},
        {"bad/\xff\xfe.bin", "bad/\xed\xb3\xbf\xed\xb3\xbe.bin"},
        {"\xed\xa0\x80x", "\xed\xb3\xad\xed\xb2\xa0\xed\xb2\x80x"},  // an encoded surrogate
        {"\xc0\xaf", "\xed\xb3\x80\xed\xb2\xaf"},                    // overlong
        {"\xe6\x97"
         "a",
         "\xed\xb3\xa6\xed\xb2\x97"
         "a"},                                                                     // cut short
        {"\xf4\x90\x80\x80", "\xed\xb3\xb4\xed\xb2\x90\xed\xb2\x80\xed\xb2\x80"},  // > U+10FFFF
        {"\xe0\x80\x80", "\xed\xb3\xa0\xed\xb2\x80\xed\xb2\x80"},
        {"\xf0\x9f\x98\x80\xe6\x97\xa5", "\xf0\x9f\x98\x80\xe6\x97\xa5"},
        {"\xc3", "\xed\xb3\x83"}};
    for (const auto& [raw, text] : cases) {
        std::string got;
        append_path_text(raw, got);
        EXPECT_EQ(got, text);
        std::string back;
        ASSERT_TRUE(path_from_text(text, back));
        EXPECT_EQ(back, raw);
    }
    std::string raw;
    EXPECT_FALSE(path_from_text("lone/\xed\xa0\x80high", raw));     // U+D800: no byte escapes to it
    EXPECT_FALSE(path_from_text("\xed\xb3\x83\xed\xb2\xa9", raw));  // escaped C3 A9 reads as é
    EXPECT_FALSE(path_from_text("\xff", raw));                      // not UTF-8 at all
    EXPECT_FALSE(path_from_text("\xc3", raw));
}

}  // namespace
