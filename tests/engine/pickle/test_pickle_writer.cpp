// Tests of the protocol-4 pickle writer against streams written by the host's own pickle module.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/pickle/writer.h"
#include "pickle/pickle_vectors.h"

namespace {

namespace pk = mavelin::pickle;
using namespace pickle_vectors;

std::string hex(const std::string& s) {
    static const char* d = "0123456789abcdef";
    std::string h;
    for (unsigned char c : s) {
        h += d[c >> 4];
        h += d[c & 15];
    }
    return h;
}

std::string dumps_int(std::int64_t v) {
    pk::PickleWriter w;
    w.save_int(v);
    w.finish();
    return hex(w.take());
}

std::string dumps_int_bytes(std::vector<std::uint8_t> le) {
    pk::PickleWriter w;
    w.save_int(le);
    w.finish();
    return hex(w.take());
}

// Expected streams: pickle.dumps(v, 4) on the reference interpreter.
TEST(PickleWriterTest, IntegersUseTheSmallestOpcodeAndMinimalLongBytes) {
    EXPECT_EQ(dumps_int(0), "80044b002e");
    EXPECT_EQ(dumps_int(255), "80044bff2e");
    EXPECT_EQ(dumps_int(256), "80049504000000000000004d00012e");
    EXPECT_EQ(dumps_int(65535), "80049504000000000000004dffff2e");
    EXPECT_EQ(dumps_int(65536), "80049506000000000000004a000001002e");
    EXPECT_EQ(dumps_int(-1), "80049506000000000000004affffffff2e");
    EXPECT_EQ(dumps_int(-129), "80049506000000000000004a7fffffff2e");
    EXPECT_EQ(dumps_int(INT32_MAX), "80049506000000000000004affffff7f2e");
    EXPECT_EQ(dumps_int(INT32_MIN), "80049506000000000000004a000000802e");
    EXPECT_EQ(dumps_int(2147483648LL), "80049508000000000000008a0500000080002e");
    EXPECT_EQ(dumps_int(-2147483649LL), "80049508000000000000008a05ffffff7fff2e");
    EXPECT_EQ(dumps_int(INT64_MAX), "8004950b000000000000008a08ffffffffffffff7f2e");
    EXPECT_EQ(dumps_int(INT64_MIN), "8004950b000000000000008a0800000000000000802e");
    EXPECT_EQ(dumps_int(-(1LL << 55)), "8004950a000000000000008a07000000000000802e");
}

TEST(PickleWriterTest, IntegersGivenAsBytesAreNormalisedFirst) {
    // Redundant sign bytes are dropped; what fits in 32 bits uses the BININT forms.
    EXPECT_EQ(dumps_int_bytes({}), "80044b002e");
    EXPECT_EQ(dumps_int_bytes({0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}),
              "80044b052e");
    EXPECT_EQ(dumps_int_bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}),
              dumps_int(-1));
    // 2**63, 2**64 and -(2**64): nine bytes.
    EXPECT_EQ(dumps_int_bytes({0, 0, 0, 0, 0, 0, 0, 0x80, 0x00}),
              "8004950c000000000000008a090000000000000080002e");
    EXPECT_EQ(dumps_int_bytes({0, 0, 0, 0, 0, 0, 0, 0, 0x01}),
              "8004950c000000000000008a090000000000000000012e");
    EXPECT_EQ(dumps_int_bytes({0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff}),
              "8004950c000000000000008a090000000000000000ff2e");
    // -(2**63 + 1) and 255 << 56.
    EXPECT_EQ(dumps_int_bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f, 0xff}),
              "8004950c000000000000008a09ffffffffffffff7fff2e");
    EXPECT_EQ(dumps_int_bytes({0, 0, 0, 0, 0, 0, 0, 0xff, 0x00}),
              "8004950c000000000000008a0900000000000000ff002e");
}

TEST(PickleWriterTest, SmallContainersAndShortFramesLoseTheFrameHeader) {
    {
        pk::PickleWriter w;  // []: EMPTY_LIST MEMOIZE STOP is too short for a frame
        if (!w.save_ref(1)) w.put_empty_list(1);
        w.finish();
        EXPECT_EQ(hex(w.take()), "80045d942e");
    }
    {
        pk::PickleWriter w;  // [[]]
        EXPECT_FALSE(w.save_ref(1));
        w.put_empty_list(1);
        pk::Batch b = w.batch_begin(1, false);
        EXPECT_FALSE(w.save_ref(2));
        w.put_empty_list(2);
        w.batch_item_done(b);
        w.batch_end(b);
        w.finish();
        EXPECT_EQ(hex(w.take()), "80049506000000000000005d945d94612e");
    }
}

TEST(PickleWriterTest, MemoReferencesFollowIdentityNotContent) {
    pk::PickleWriter w;
    EXPECT_FALSE(w.save_ref(10));
    w.put_empty_list(10);
    pk::Batch b = w.batch_begin(3, false);
    save_str(w, 11, "same");
    w.batch_item_done(b);
    save_str(w, 12, "same");  // equal text, other object: written again
    w.batch_item_done(b);
    EXPECT_TRUE(w.save_ref(11));  // the first object again: BINGET 1
    w.batch_item_done(b);
    w.batch_end(b);
    w.finish();
    EXPECT_EQ(hex(w.take()).substr(22),
              "5d9428"
              "8c0473616d6594"
              "8c0473616d6594"
              "6801"
              "652e");
    EXPECT_EQ(w.memo_size(), 3u);
}

TEST(PickleWriterTest, UnsharedObjectsUseUpMemoIndicesWithoutBeingFound) {
    pk::PickleWriter w;
    w.put_empty_list(1);
    pk::Batch b = w.batch_begin(4, false);
    w.opcode_boundary();
    w.put_str(pk::kUnshared, "a");  // memo index 1, never looked up
    w.batch_item_done(b);
    save_str(w, 7, "b");  // memo index 2
    w.batch_item_done(b);
    EXPECT_FALSE(w.save_ref(pk::kUnshared));  // no identity is ever found for it
    w.put_str(pk::kUnshared, "c");            // memo index 3
    w.batch_item_done(b);
    EXPECT_TRUE(w.save_ref(7));  // BINGET 2: the unshared ones counted
    w.batch_item_done(b);
    w.batch_end(b);
    w.finish();
    EXPECT_EQ(hex(w.take()).substr(22),
              "5d9428"
              "8c016194"
              "8c016294"
              "8c016394"
              "6802"
              "652e");
    EXPECT_EQ(w.memo_size(), 4u);
}

TEST(PickleWriterTest, MemoIndicesBeyond255UseLongBinget) {
    pk::PickleWriter w;
    w.put_empty_list(1);
    pk::Batch b = w.batch_begin(302, false);
    for (pk::Identity id = 2; id < 302; ++id) {
        save_str(w, id, std::to_string(id) + "s");
        w.batch_item_done(b);
    }
    EXPECT_TRUE(w.save_ref(300));  // memo index 299
    w.batch_item_done(b);
    EXPECT_TRUE(w.save_ref(200));  // memo index 199
    w.batch_item_done(b);
    w.batch_end(b);
    w.finish();
    const std::string out = hex(w.take());
    EXPECT_EQ(out.substr(out.size() - 18),
              "6a2b010000"
              "68c7"
              "652e");
}

TEST(PickleWriterTest, ObjectAlreadyMemoizedAfterNewobjIsPoppedAndFetched) {
    pk::PickleWriter w;
    save_str(w, 5, "x0");
    w.put_newobj(5);  // only the byte pattern matters here
    w.finish();
    EXPECT_EQ(hex(w.take()).substr(22),
              "8c027830948130"
              "6800"
              "2e");
}

// The host's streams for tables of 0 to 70,000 nodes, byte for byte.
TEST(PickleWriterTest, NodeTablesMatchTheHostPickler) {
    for (const std::string& name : names()) {
        SCOPED_TRACE(name);
        Expected e;
        ASSERT_TRUE(load_expected(name, 4, e));
        const Table t = load_table(name);
        const std::string out = encode_table(t);
        if (e.stored) {
            EXPECT_EQ(first_difference(out, e.bytes), -1)
                << "sizes " << out.size() << " / " << e.bytes.size();
        } else {
            EXPECT_EQ(out.size(), e.length);
            EXPECT_EQ(sha_hex(out), e.sha);
        }
    }
}

TEST(PickleWriterTest, StreamTakenOutPieceByPieceIsTheSame) {
    for (const char* name : {"n1001", "special", "big_strings", "n70000"}) {
        SCOPED_TRACE(name);
        const Table t = load_table(name);
        EXPECT_EQ(first_difference(encode_table(t, true), encode_table(t)), -1);
    }
}

TEST(PickleWriterTest, ExpectedTablesHaveTheirCounts) {
    // Guards the table files themselves: a broken parser would make the comparisons vacuous.
    EXPECT_EQ(load_table("empty").size(), 0u);
    EXPECT_EQ(load_table("two").size(), 2u);
    EXPECT_EQ(load_table("n1001").size(), 1001u);
    EXPECT_EQ(load_table("n70000").size(), 70000u);
    const Table special = load_table("special");
    ASSERT_EQ(special.size(), 24u);
    EXPECT_EQ(special[4].rows.size(), 1000u);
    EXPECT_EQ(special[5].rows.size(), 1001u);
    EXPECT_EQ(special[3].path, "bad/\xed\xb3\xbf\xed\xb3\xbe.bin");  // surrogateescape'd bytes
    const Table big = load_table("big_strings");
    ASSERT_EQ(big.size(), 4u);
    EXPECT_EQ(big[1].path.size(), 65536u);
}

TEST(PickleWriterTest, SeventyThousandNodesTakeLittleTime) {
    const Table t = load_table("n70000");
    const auto t0 = std::chrono::steady_clock::now();
    const std::string out = encode_table(t);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - t0);
    EXPECT_GT(out.size(), 20'000'000u);
    RecordProperty("encode_ms", static_cast<int>(ms.count()));
    EXPECT_LT(ms.count(), 5000);
}

}  // namespace
