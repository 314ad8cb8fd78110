// JSON documents: nesting and commas, escapes of every kind of code point, numbers.
#include <gtest/gtest.h>

#include "engine/report/json_writer.h"

namespace mavelin::report {
namespace {

TEST(JsonWriter, NestedValuesAndCommas) {
    JsonWriter w;
    w.begin_object();
    w.key("a");
    w.integer(-3);
    w.key("list");
    w.begin_array();
    w.null();
    w.boolean(true);
    w.begin_object();
    w.end_object();
    w.begin_array();
    w.end_array();
    w.number(0.25);
    w.end_array();
    w.key("s");
    w.ascii("x");
    w.end_object();
    EXPECT_EQ(w.str(), R"({"a":-3,"list":[null,true,{},[],0.250000],"s":"x"})");
}

TEST(JsonWriter, TextIsAsciiWithEscapes) {
    JsonWriter w;
    w.text(U"q\"b\\n\n\t\r\x01\x7f\u00e9\u20ac\U0001F600");
    EXPECT_EQ(w.str(), R"("q\"b\\n\n\t\r\u0001\u007f\u00e9\u20ac\ud83d\ude00")");
    JsonWriter lone;  // an undecodable byte 0xff of a file name, as the host decodes it
    std::u32string name = U"bad";
    name.push_back(static_cast<char32_t>(0xDCFF));
    lone.text(name);
    EXPECT_EQ(lone.str(), R"("bad\udcff")");
}

}  // namespace
}  // namespace mavelin::report
