// Tests of the certificate payload decoded into the compact table: the stored tables, streams in
// pieces, and damaged streams against the general decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/certificate_format.h"
#include "engine/hash/sha256/sha256.h"
#include "engine/pickle/node_table.h"
#include "engine/pickle/reader.h"
#include "engine/table/payload_reader.h"
#include "engine/table/payload_writer.h"
#include "table/table_vectors.h"

namespace {

namespace pv = pickle_vectors;
namespace pk = mavelin::pickle;
using mavelin::table::decode_payload;
using mavelin::table::DecodeResult;
using mavelin::table::Digest;
using mavelin::table::from_decoded;
using mavelin::table::NodeTable;

// Where two tables first differ, or "" when they are equal.
std::string difference(const NodeTable& a, const NodeTable& b) {
    if (a.size() != b.size()) return "size";
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a.id(i) != b.id(i)) return "id " + std::to_string(i);
        if (a.path(i) != b.path(i)) return "path " + std::to_string(i);
        if (a.has_fingerprint(i) != b.has_fingerprint(i)) return "flag " + std::to_string(i);
        if (!a.has_fingerprint(i)) continue;
        if (a.rows() != b.rows()) return "rows";
        for (std::size_t r = 0; r < a.rows(); ++r) {
            if (a.fingerprint(i)[r] != b.fingerprint(i)[r]) return "digest " + std::to_string(i);
        }
    }
    return "";
}

std::string payload_of(const NodeTable& t) {
    std::string out;
    mavelin::table::write_payload(t, [&](std::string_view piece) {
        out.append(piece);
        return true;
    });
    return out;
}

// The general way: decode, check, then the compact form of the result.
DecodeResult general(const std::string& bytes, NodeTable& out, bool* refused = nullptr) {
    pk::Decoded d;
    const bool ok = pk::decode(pv::bytes_of(bytes), d).ok && pk::check_node_table(d).ok;
    if (refused) *refused = !ok;
    return ok ? from_decoded(d, out) : DecodeResult::kNotCompact;
}

TEST(PayloadReader, StoredTablesDecodeWhereTheCompactFormHoldsThem) {
    for (const std::string& name : pv::names()) {
        SCOPED_TRACE(name);
        NodeTable expected;
        const bool compact = table_vectors::to_compact(pv::load_table(name), expected);
        for (int proto : {4, 2}) {
            pv::Expected e;
            if (!pv::load_expected(name, proto, e)) continue;
            // Large vectors are stored as digests: the writer (proven equal) gives their bytes.
            if (!e.stored && !compact) continue;
            const std::string bytes = e.stored ? e.bytes : payload_of(expected);
            NodeTable direct, via_general;
            bool refused = true;
            const DecodeResult g = general(bytes, via_general, &refused);
            EXPECT_FALSE(refused);
            EXPECT_EQ(g == DecodeResult::kOk, compact);
            // Only the host's protocol-4 stream is read directly; the rest goes the general way.
            const DecodeResult r = decode_payload(pv::bytes_of(bytes), direct);
            EXPECT_EQ(r == DecodeResult::kOk, compact && proto == 4);
            if (r == DecodeResult::kOk) {
                EXPECT_EQ(difference(direct, expected), "");
            }
            if (g == DecodeResult::kOk) {
                EXPECT_EQ(difference(via_general, expected), "");
            }
        }
    }
}

// Streams that would make the decoder grow without end stop within its budget, before the memory
// is taken: the stream is not read to its end and everything counted is given back.
TEST(PayloadReader, HostileStreamsStopWithinTheBudget) {
    struct Case {
        const char* name;
        std::string head;  // then its last `unit` bytes again and again
        std::size_t unit;
    };
    const std::vector<Case> cases = {
        {"empty strings in a node", std::string("\x80\x04}\x94(\x8c\x00", 7), 2},
        {"a path of 1 GiB", std::string("\x80\x04}\x94(\x8d\x00\x00\x00\x40\x00\x00\x00\x00a", 15),
         1},
    };
    for (const auto& [name, head, unit] : cases) {
        SCOPED_TRACE(name);
        const std::size_t total = std::size_t{64} << 20;
        std::size_t at = 0;
        mavelin::memory_budget::Budget budget(std::size_t{4} << 20);
        NodeTable out;
        const DecodeResult r = decode_payload(
            [&](std::uint8_t* buf, std::size_t cap) {
                const std::size_t n = std::min(cap, total - at);
                for (std::size_t i = 0; i < n; ++i, ++at) {
                    buf[i] = static_cast<std::uint8_t>(
                        at < head.size() ? head[at]
                                         : head[head.size() - unit + (at - head.size()) % unit]);
                }
                return static_cast<std::ptrdiff_t>(n);
            },
            out, &budget);
        EXPECT_EQ(r, DecodeResult::kNotCompact);
        EXPECT_LT(at, std::size_t{8} << 20);
        EXPECT_EQ(budget.used(), 0u);
    }
}

// A path longer than the table takes is not the compact form, for both decoders; the general way
// refuses it (beyond 4 GiB its string is too long for it). Nothing is thrown.
TEST(PayloadReader, PathsBeyondTheTableLimitAreNotTheCompactForm) {
    struct Restore {
        ~Restore() { mavelin::table::set_path_limit(0); }
    } restore;
    for (const std::string& path : {std::string("dir/long-name.txt"), std::string("a.txt")}) {
        NodeTable t(4);
        std::vector<Digest> fp(4);
        t.add(1, path, fp.data());
        const std::string bytes = payload_of(t);
        mavelin::table::set_path_limit(8);
        NodeTable direct, via_general;
        bool refused = true;
        const DecodeResult want = path.size() > 8 ? DecodeResult::kNotCompact : DecodeResult::kOk;
        EXPECT_EQ(decode_payload(pv::bytes_of(bytes), direct), want) << path;
        EXPECT_EQ(general(bytes, via_general, &refused), want) << path;
        mavelin::table::set_path_limit(0);
    }
}

TEST(PayloadReader, AssortedTablesRoundTripInPiecesOfAnySize) {
    const std::vector<std::string> paths = {"bad/\xff\xfe.bin", "\xc0\xaf", std::string(70000, 'p'),
                                            "dir/ok.txt", ""};
    for (std::size_t rows : {0u, 1u, 4u}) {
        NodeTable t(rows);
        std::vector<Digest> fp(rows);
        for (std::size_t i = 0; i < 2500; ++i) {
            for (std::size_t r = 0; r < rows; ++r) fp[r].fill(static_cast<std::uint8_t>(i ^ r));
            const std::int64_t id = i == 3 ? INT64_MIN : static_cast<std::int64_t>(i) + 1;
            t.add(id, paths[i % paths.size()], i % 3 == 0 ? nullptr : fp.data());
        }
        const std::string bytes = payload_of(t);
        for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{100000}}) {
            SCOPED_TRACE(std::to_string(rows) + " rows, pieces of " + std::to_string(piece));
            std::size_t at = 0;
            NodeTable back;
            auto budget = mavelin::memory_budget::Budget::for_file(bytes.size());
            const DecodeResult r = decode_payload(
                [&](std::uint8_t* buf, std::size_t cap) {
                    const std::size_t n = std::min({cap, piece, bytes.size() - at});
                    std::memcpy(buf, bytes.data() + at, n);
                    at += n;
                    return static_cast<std::ptrdiff_t>(n);
                },
                back, &budget);
            ASSERT_EQ(r, DecodeResult::kOk);
            EXPECT_EQ(difference(back, t), "");
        }
    }
}

TEST(PayloadReader, ReadFailureIsReportedAsSuch) {
    pv::Expected e;
    ASSERT_TRUE(pv::load_expected("n1001", 4, e));
    std::size_t at = 0;
    NodeTable t;
    EXPECT_EQ(decode_payload(
                  [&](std::uint8_t* buf, std::size_t cap) -> std::ptrdiff_t {
                      if (at > 5000) return -1;
                      const std::size_t n = std::min<std::size_t>({cap, 1000, e.bytes.size() - at});
                      std::memcpy(buf, e.bytes.data() + at, n);
                      at += n;
                      return static_cast<std::ptrdiff_t>(n);
                  },
                  t),
              DecodeResult::kReadFailed);
}

// A set cancel flag ends the direct decoding of a payload in memory and the compact form's
// making from a general decoding (kReadFailed); a clear one changes nothing.
TEST(PayloadReader, CancelStopsTheDecoding) {
    NodeTable t(1);
    const Digest digest{};
    for (std::size_t i = 0; i < 20000; ++i)
        t.add(static_cast<std::int64_t>(i) + 1, std::string("f").append(std::to_string(i)),
              &digest);
    const std::string bytes = payload_of(t);
    pk::Decoded d;
    ASSERT_TRUE(pk::decode(pv::bytes_of(bytes), d).ok);
    std::atomic<bool> cancel{false};
    NodeTable direct, general_way;
    ASSERT_EQ(decode_payload(pv::bytes_of(bytes), direct, &cancel), DecodeResult::kOk);
    ASSERT_EQ(from_decoded(d, general_way, &cancel), DecodeResult::kOk);
    EXPECT_EQ(difference(general_way, t), "");
    cancel.store(true);
    EXPECT_EQ(decode_payload(pv::bytes_of(bytes), direct, &cancel), DecodeResult::kReadFailed);
    EXPECT_EQ(from_decoded(d, general_way, &cancel), DecodeResult::kReadFailed);
}

// A damaged stream is read directly only when the general way accepts it and reads the same
// table; whatever the general way refuses, the direct way hands over to it.
// Returns whether it was read directly.
bool check_damaged(const std::string& bytes) {
    NodeTable direct;
    if (decode_payload(pv::bytes_of(bytes), direct) != DecodeResult::kOk) return false;
    NodeTable via_general;
    bool refused = true;
    EXPECT_EQ(general(bytes, via_general, &refused), DecodeResult::kOk);
    EXPECT_FALSE(refused);
    EXPECT_EQ(difference(direct, via_general), "");
    return true;
}

TEST(PayloadReader, DamagedStreamsNeverDecodeDifferently) {
    for (const char* name : {"one_fp", "two", "n1001"}) {
        SCOPED_TRACE(name);
        pv::Expected e;
        ASSERT_TRUE(pv::load_expected(name, 4, e));
        const std::string& good = e.bytes;
        std::mt19937 rng(11);
        const std::size_t step = good.size() < 2000 ? 1 : 97;
        std::size_t read_directly = 0;  // damage that still leaves a table (a digest, a path)
        for (std::size_t cut = 0; cut < good.size(); cut += step) {
            std::string s = good.substr(0, cut);
            check_damaged(s);
            NodeTable t;
            EXPECT_NE(decode_payload(pv::bytes_of(s), t), DecodeResult::kOk) << cut;
        }
        check_damaged(good + "\x00");
        NodeTable t;
        EXPECT_EQ(decode_payload(pv::bytes_of(good + "."), t), DecodeResult::kNotCompact);
        for (std::size_t at = 0; at < good.size(); at += step) {
            for (std::uint8_t flip : {std::uint8_t{0x01}, std::uint8_t{0x20}, std::uint8_t{0x80},
                                      static_cast<std::uint8_t>(rng() | 1)}) {
                std::string s = good;
                s[at] = static_cast<char>(s[at] ^ flip);
                read_directly += check_damaged(s);
            }
        }
        if (std::string(name) != "two") {
            EXPECT_GT(read_directly, 0u);
        }
    }
}

TEST(PayloadReader, TablesOutsideTheFormGoTheGeneralWay) {
    // Decoded the general way, these fit no compact table: keys not node_id_1, 2 ... in
    // order, attributes out of order, uppercase digests, unequal row counts.
    const auto listed = [](std::vector<std::string> digests) {
        pv::Node n;
        n.id = pv::le_bytes(1);
        n.path = "a.txt";
        n.has_fingerprint = true;
        for (auto& d : digests) n.rows.push_back({d});
        return pv::Table{n};
    };
    const std::string lower(64, 'a'), upper(64, 'A');
    NodeTable out;
    EXPECT_EQ(general(pv::encode_table(listed({lower, lower})), out), DecodeResult::kOk);
    EXPECT_EQ(general(pv::encode_table(listed({lower, upper})), out), DecodeResult::kNotCompact);
    EXPECT_EQ(decode_payload(pv::bytes_of(pv::encode_table(listed({upper}))), out),
              DecodeResult::kNotCompact);
    // One digit out of the lowercase hex set anywhere in a digest is enough.
    for (const char odd : {'g', 'F', '/', ':', '`', '\x80', '\xff', '\0'}) {
        for (const std::size_t at : {std::size_t{0}, std::size_t{31}, std::size_t{63}}) {
            std::string digest = lower;
            digest[at] = odd;
            EXPECT_EQ(decode_payload(pv::bytes_of(pv::encode_table(listed({digest}))), out),
                      DecodeResult::kNotCompact)
                << int{static_cast<unsigned char>(odd)} << " at " << at;
        }
    }
    const std::string digits = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    ASSERT_EQ(decode_payload(pv::bytes_of(pv::encode_table(listed({digits}))), out),
              DecodeResult::kOk);
    char back[64];
    mavelin::hash::sha256::to_hex(out.fingerprint(0)[0], back);
    EXPECT_EQ(std::string(back, 64), digits);
    pv::Table two = listed({lower});
    two.push_back(listed({lower, lower})[0]);
    EXPECT_EQ(general(pv::encode_table(two), out), DecodeResult::kNotCompact);

    // Attribute order and sharing, written with the generic writer by hand.
    pk::PickleWriter w;
    w.put_empty_dict(100);
    pk::Batch nodes = w.batch_begin(1, true);
    pv::save_str(w, 101, "node_id_1");
    EXPECT_FALSE(w.save_ref(102));
    pv::save_class(w);
    w.save_empty_tuple();
    w.put_newobj(102);
    EXPECT_FALSE(w.save_ref(103));
    w.put_empty_dict(103);
    pk::Batch attrs = w.batch_begin(2, true);
    pv::save_str(w, pv::kAttrPath, mavelin::certificate_format::kAttrPath);
    pv::save_str(w, 104, "a.txt");
    w.batch_item_done(attrs);
    pv::save_str(w, pv::kAttrId, mavelin::certificate_format::kAttrId);
    w.save_int(1);
    w.batch_item_done(attrs);
    w.batch_end(attrs);
    w.put_build();
    w.batch_item_done(nodes);
    w.finish();
    bool refused = true;
    EXPECT_EQ(general(w.take(), out, &refused), DecodeResult::kNotCompact);
    EXPECT_FALSE(refused);
}

}  // namespace
