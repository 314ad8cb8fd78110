// Node tables paired by path: findings, their order, moves and the failed-file count.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "engine/compare/node_join.h"

namespace mavelin::compare {
namespace {

using table::NodeTable;

// What a row of a test table is besides its path and fingerprint.
enum RowFlags : uint8_t {
    kNoFingerprint = 1,  // no fingerprint: unsigned in a certificate, unreadable in a fresh table
    kOddFingerprint = 2,
    kIdMismatch = 4,
    kOtherRows = 8,  // the fingerprint is of another row count than the table's
};

struct Row {
    std::string path;
    std::string fingerprint;  // up to 32 bytes; equal text = equal fingerprint
    uint8_t flags = 0;
};

// A table of one row digest per fingerprint: the text, zero-padded.
NodeTable table(const std::vector<Row>& rows) {
    NodeTable t(1);
    for (const Row& r : rows) {
        const bool plain = !(r.flags & (kNoFingerprint | kOddFingerprint | kOtherRows));
        table::Digest d{};
        if (plain)
            std::copy_n(r.fingerprint.begin(), std::min(r.fingerprint.size(), d.size()), d.begin());
        t.add(static_cast<int64_t>(t.size()) + 1, r.path, plain ? &d : nullptr);
        if (r.flags & kOtherRows) t.set_other_fingerprint(t.size() - 1, r.fingerprint);
        if (r.flags & kOddFingerprint) t.mark(t.size() - 1, NodeTable::kOddFingerprint);
        if (r.flags & kIdMismatch) t.mark(t.size() - 1, NodeTable::kIdMismatch);
    }
    return t;
}

// "kind:fresh path>certificate path" for each finding, for readable comparisons.
std::vector<std::string> described(const NodeTable& cert, const NodeTable& fresh,
                                   const Comparison& c) {
    static const char* names[] = {"not_authentic", "unreadable", "unsigned", "modified",
                                  "new",           "moved",      "missing"};
    std::vector<std::string> out;
    for (const Finding& f : c.findings) {
        std::string s = names[static_cast<int>(f.kind)];
        s += ":";
        if (f.fresh_row != kNoRow) s += fresh.path(f.fresh_row);
        s += ">";
        if (f.certificate_row != kNoRow) s += cert.path(f.certificate_row);
        out.push_back(s);
    }
    return out;
}

std::vector<Row> sample() {
    return {{"a", "A"}, {"d/b", "B"}, {"d/c", "C"}, {"d/e/f", "F"}, {"g", "G"}};
}

TEST(NodeJoin, UnchangedInAnyOrder) {
    std::vector<Row> rows = sample();
    NodeTable cert = table(rows);
    for (int round = 0; round < 3; ++round) {
        if (round == 1) std::reverse(rows.begin(), rows.end());
        if (round == 2) std::rotate(rows.begin(), rows.begin() + 2, rows.end());
        NodeTable fresh = table(rows);
        Comparison c = join_by_path(cert, fresh);
        EXPECT_TRUE(c.findings.empty()) << round;
        EXPECT_EQ(c.failed_files, 0u);
    }
}

TEST(NodeJoin, EachChangeOnceInFreshOrderThenMissingInCertificateOrder) {
    NodeTable cert = table(sample());
    // d/b changed, d/c deleted, a renamed to z (same content), n added; listed in another order.
    NodeTable fresh = table({{"g", "G"}, {"n", "N"}, {"d/e/f", "F"}, {"z", "A"}, {"d/b", "B2"}});
    Comparison c = join_by_path(cert, fresh);
    EXPECT_EQ(
        described(cert, fresh, c),
        (std::vector<std::string>{"new:n>", "moved:z>a", "modified:d/b>d/b", "missing:>d/c"}));
    EXPECT_EQ(c.failed_files, 4u);
}

TEST(NodeJoin, AmbiguousMovesStayMissingAndNew) {
    NodeTable cert = table({{"keep", "K"}, {"a", "X"}, {"b", "X"}, {"c", "Y"}});
    NodeTable fresh = table({{"keep", "K"}, {"p", "X"}, {"q", "Y"}, {"r", "Y"}});
    Comparison c = join_by_path(cert, fresh);
    EXPECT_EQ(described(cert, fresh, c),
              (std::vector<std::string>{"new:p>", "new:q>", "new:r>", "missing:>a", "missing:>b",
                                        "missing:>c"}));
    EXPECT_EQ(c.failed_files, 6u);
}

TEST(NodeJoin, EmptyFilesAreNeverMoves) {
    // SHA-256 of empty input: the one row of every empty file's fingerprint.
    const std::string empty(
        "\xe3\xb0\xc4\x42\x98\xfc\x1c\x14\x9a\xfb\xf4\xc8\x99\x6f\xb9\x24"
        "\x27\xae\x41\xe4\x64\x9b\x93\x4c\xa4\x95\x99\x1b\x78\x52\xb8\x55",
        32);
    NodeTable cert = table({{"keep", "K"}, {"gone", empty}});
    NodeTable fresh = table({{"keep", "K"}, {"unrelated", empty}});
    Comparison c = join_by_path(cert, fresh);
    EXPECT_EQ(described(cert, fresh, c),
              (std::vector<std::string>{"new:unrelated>", "missing:>gone"}));
    EXPECT_EQ(c.failed_files, 2u);
}

TEST(NodeJoin, WhatLiesBelowAnUnreadFolderIsNotChecked) {
    NodeTable cert = table({{"a", "A"}, {"p/x", "X"}, {"p/q/y", "Y"}, {"pp/z", "Z"}, {"p", "P"}});
    NodeTable fresh = table({{"a", "A"}, {"n", "X"}});
    FolderSet unread;
    unread.add("p");
    Comparison c = join_by_path(cert, fresh, nullptr, &unread);
    // p/x may still be there: its content elsewhere is new, not a move.
    EXPECT_EQ(described(cert, fresh, c),
              (std::vector<std::string>{"new:n>", "missing:>pp/z", "missing:>p"}));
    EXPECT_EQ(c.failed_files, 3u);
    EXPECT_EQ(c.not_checked, 2u);
    FolderSet top;
    top.add("");
    c = join_by_path(cert, fresh, nullptr, &top);
    EXPECT_EQ(described(cert, fresh, c), (std::vector<std::string>{"new:n>"}));
    EXPECT_EQ(c.not_checked, 4u);
}

TEST(NodeJoin, RecordsWithoutComparableFingerprints) {
    NodeTable cert = table({{"id", "I", kIdMismatch},
                            {"id2", "J", kIdMismatch},
                            {"unsigned", "", kNoFingerprint},
                            {"unreadable", "U"},
                            {"odd", "O", kOddFingerprint},
                            {"gone-odd", "P", kOddFingerprint},
                            {"gone-unsigned", "", kNoFingerprint}});
    NodeTable fresh = table({{"id", "I"},
                             {"id2", "J2"},
                             {"unsigned", "S"},
                             {"unreadable", "", kNoFingerprint},
                             {"odd", "O"},
                             {"new-p", "P"},
                             {"new-empty", ""},
                             {"new-unreadable", "", kNoFingerprint}});
    Comparison c = join_by_path(cert, fresh);
    EXPECT_EQ(described(cert, fresh, c),
              (std::vector<std::string>{"not_authentic:id>id", "not_authentic:id2>id2",
                                        "modified:id2>id2", "unsigned:unsigned>unsigned",
                                        "unreadable:unreadable>unreadable", "modified:odd>odd",
                                        "new:new-p>", "new:new-empty>", "new:new-unreadable>",
                                        "missing:>gone-odd", "missing:>gone-unsigned"}));
    EXPECT_EQ(c.failed_files, 10u);  // id2 counts once for its two findings
}

TEST(NodeJoin, RepeatedPathsPairInOrder) {
    NodeTable cert = table({{"x", "1"}, {"x", "2"}, {"x", "3"}});
    NodeTable fresh = table({{"x", "1"}, {"x", "9"}});
    Comparison c = join_by_path(cert, fresh);
    EXPECT_EQ(described(cert, fresh, c), (std::vector<std::string>{"modified:x>x", "missing:>x"}));
    EXPECT_EQ(c.findings[1].certificate_row, 2u);
}

// Tables that agree up to some position and then differ, with paths repeated on both sides of
// that position: the pairs are those of pairing each fresh node, in order, with the first
// certificate node of its path not yet taken.
TEST(NodeJoin, ACommonBeginningPairsAsTheWholeJoinWould) {
    auto label = [](char side, size_t k) {
        std::string s = std::to_string(k);
        s.insert(s.begin(), side);
        return s;
    };
    uint64_t seed = 5;
    auto next = [&seed](uint64_t n) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return (seed >> 33) % n;
    };
    for (int round = 0; round < 2000; ++round) {
        std::vector<Row> cert_rows, fresh_rows;
        const size_t shared = next(6), cert_tail = next(5), fresh_tail = next(5);
        for (size_t k = 0; k < shared + cert_tail; ++k) {
            const std::string path(1, static_cast<char>('a' + next(3)));
            cert_rows.push_back({path, label('C', k)});
            if (k < shared) fresh_rows.push_back({path, label('F', k)});
        }
        for (size_t k = 0; k < fresh_tail; ++k)
            fresh_rows.push_back({std::string(1, static_cast<char>('a' + next(3))), label('G', k)});
        const NodeTable cert = table(cert_rows), fresh = table(fresh_rows);
        // No fingerprint is shared: every pair is modified, nothing moves.
        std::vector<std::pair<size_t, size_t>> want;  // (fresh row, certificate row)
        std::vector<bool> taken(cert_rows.size(), false);
        for (size_t j = 0; j < fresh_rows.size(); ++j) {
            size_t i = 0;
            while (i < cert_rows.size() && (taken[i] || cert_rows[i].path != fresh_rows[j].path))
                ++i;
            if (i < cert_rows.size()) taken[i] = true;
            want.emplace_back(j, i < cert_rows.size() ? i : kNoRow);
        }
        for (size_t i = 0; i < cert_rows.size(); ++i)
            if (!taken[i]) want.emplace_back(kNoRow, i);
        const Comparison c = join_by_path(cert, fresh);
        std::vector<std::pair<size_t, size_t>> got;
        for (const Finding& f : c.findings) got.emplace_back(f.fresh_row, f.certificate_row);
        ASSERT_EQ(got, want) << "round " << round;
    }
}

TEST(NodeJoin, EmptyTablesAndBytesThatAreNotText) {
    NodeTable empty(1);
    NodeTable some = table({{std::string("a\0b", 3), "1"}, {"\xff\xfe", "2"}});
    EXPECT_EQ(join_by_path(empty, empty).findings.size(), 0u);
    EXPECT_EQ(join_by_path(empty, some).failed_files, 2u);
    EXPECT_EQ(join_by_path(some, empty).failed_files, 2u);
    NodeTable other = table({{"a", "1"}, {"\xff\xfe", "2"}});
    EXPECT_EQ(described(some, other, join_by_path(some, other)),
              (std::vector<std::string>{"moved:a>" + std::string("a\0b", 3)}));
}

TEST(NodeJoin, FingerprintsOfOtherRowCountsEqualOnlyTheirLikes) {
    // 64 bytes: two rows where the table holds one; equal to the same bytes only.
    const std::string two_rows(64, 'r');
    NodeTable cert = table({{"same", two_rows, kOtherRows},
                            {"shorter", two_rows, kOtherRows},
                            {"plain", std::string(32, 'r')},
                            {"gone", "G" + two_rows, kOtherRows}});
    NodeTable fresh = table({{"same", two_rows, kOtherRows},
                             {"shorter", std::string(32, 'r')},
                             {"plain", two_rows, kOtherRows},
                             {"elsewhere", "G" + two_rows, kOtherRows}});
    EXPECT_EQ(described(cert, fresh, join_by_path(cert, fresh)),
              (std::vector<std::string>{"modified:shorter>shorter", "modified:plain>plain",
                                        "moved:elsewhere>gone"}));
    // Cleared, such a fingerprint is gone with its bytes.
    cert.clear_fingerprint(0);
    EXPECT_FALSE(cert.fingerprinted(0));
    EXPECT_TRUE(cert.digest_bytes(0).empty());
}

TEST(NodeJoin, OneDeletionAmongManyGivesOneFinding) {
    std::vector<Row> rows;
    for (int i = 0; i < 100000; ++i)
        rows.push_back(
            {"dir" + std::to_string(i % 100) + "/" + std::to_string(i), "fp" + std::to_string(i)});
    NodeTable cert = table(rows);
    rows.erase(rows.begin() + 4321);
    std::reverse(rows.begin(), rows.end());
    NodeTable fresh = table(rows);
    Comparison c = join_by_path(cert, fresh);
    EXPECT_EQ(described(cert, fresh, c), (std::vector<std::string>{"missing:>dir21/4321"}));
    EXPECT_EQ(c.failed_files, 1u);
}

// A set cancel flag ends the join early, whichever loop it is in; a clear one changes nothing.
TEST(NodeJoin, CancelEndsTheJoinEarly) {
    std::vector<Row> rows;
    for (int i = 0; i < 20000; ++i)
        rows.push_back({std::string("f").append(std::to_string(i)), std::to_string(i)});
    const NodeTable cert = table(rows);
    const NodeTable fresh = table({});  // every certificate node missing: each loop has work
    std::atomic<bool> cancel{false};
    EXPECT_EQ(join_by_path(cert, fresh, &cancel).failed_files, rows.size());
    cancel.store(true);
    const Comparison cut = join_by_path(cert, fresh, &cancel);
    EXPECT_TRUE(cut.findings.empty());
    const Comparison also_cut = join_by_path(fresh, cert, &cancel);
    EXPECT_LT(also_cut.findings.size(), 4096u);
}

}  // namespace
}  // namespace mavelin::compare
