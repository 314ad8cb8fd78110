// Node tables paired by position: the findings of each pair, the unpaired entries, their order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/compare/position_join.h"

namespace mavelin::compare {
namespace {

using table::NodeTable;

struct Row {
    std::string path;
    char fingerprint = 0;  // 0: none (unsigned, or unreadable in a fresh table)
    int64_t id = 0;        // 0: its place, from 1
};

NodeTable table(const std::vector<Row>& rows) {
    NodeTable t(1);
    for (const Row& r : rows) {
        table::Digest d{};
        d[0] = static_cast<uint8_t>(r.fingerprint);
        t.add(r.id ? r.id : static_cast<int64_t>(t.size()) + 1, r.path,
              r.fingerprint ? &d : nullptr);
    }
    return t;
}

// "kind:fresh path>certificate path", with "*" when the certificate's path goes along.
std::vector<std::string> described(const NodeTable& cert, const NodeTable& fresh,
                                   const Comparison& c) {
    static const char* names[] = {"not_authentic", "unreadable", "unsigned", "modified",
                                  "new",           "moved",      "missing",  "out_of_order"};
    std::vector<std::string> out;
    for (const Finding& f : c.findings) {
        std::string s = names[static_cast<int>(f.kind)];
        s += ":";
        if (f.fresh_row != kNoRow) s += fresh.path(f.fresh_row);
        s += ">";
        if (f.certificate_row != kNoRow) s += cert.path(f.certificate_row);
        if (f.paths_differ) s += "*";
        out.push_back(s);
    }
    return out;
}

TEST(PositionJoin, PairsThenMissingThenNewThenTheLongerTablesRest) {
    NodeTable cert = table({{"a", 'A'},
                            {"b", 'B', 7},
                            {"c"},
                            {"d", 'D'},
                            {"e", 'E'},
                            {"f", 'F'},
                            {"g", 'G'},
                            {"p/x", 'X'},
                            {"e", 'E'}});
    NodeTable fresh = table({{"a", 'A'}, {"b", 'B'}, {"c", 'C'}, {"d"}, {"x", 'E'}, {"g", 'Z'}});
    FolderSet unread;
    unread.add("p");
    Comparison c = join_by_position(cert, fresh, nullptr, &unread);
    EXPECT_EQ(described(cert, fresh, c),
              (std::vector<std::string>{
                  "not_authentic:b>b", "unsigned:c>c", "unreadable:d>d", "not_authentic:x>e*",
                  "out_of_order:x>e*", "not_authentic:g>f*", "out_of_order:g>f*", "modified:g>f*",
                  "missing:>e", "missing:>f", "missing:>e", "new:x>", "out_of_order:>g"}));
    // Five pairs, and the certificate's last three entries but the one not checked.
    EXPECT_EQ(c.failed_files, 7u);
    EXPECT_EQ(c.not_checked, 1u);
}

TEST(PositionJoin, SamePlacesGiveNothingAndAFreshTailIsNewOrOutOfOrder) {
    NodeTable cert = table({{"a", 'A'}, {"b", 'B'}});
    EXPECT_TRUE(join_by_position(cert, table({{"a", 'A'}, {"b", 'B'}})).findings.empty());
    NodeTable fresh = table({{"a", 'A'}, {"b", 'B'}, {"n", 'N'}, {"a", 'A'}});
    Comparison c = join_by_position(cert, fresh);
    EXPECT_EQ(described(cert, fresh, c), (std::vector<std::string>{"new:n>", "out_of_order:a>"}));
    EXPECT_EQ(c.failed_files, 2u);
}

}  // namespace
}  // namespace mavelin::compare
