// Engine tests: the UTF-8 validator against the verdicts of Python's own decoder, strict and with
// surrogatepass (data/utf8_vectors.txt, made by data/gen_utf8_vectors.py).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "engine/text/utf8.h"

namespace {

using mavelin::text::is_valid_utf8;
using mavelin::text::Surrogates;

std::string from_hex(const std::string& hex) {
    std::string out;
    if (hex == "-") return out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string show(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        out.push_back(kDigits[static_cast<unsigned char>(c) >> 4]);
        out.push_back(kDigits[static_cast<unsigned char>(c) & 15]);
        out.push_back(' ');
    }
    return out;
}

void expect_verdicts(const std::string& data, bool strict, bool pass) {
    EXPECT_EQ(is_valid_utf8(data), strict) << "strict: " << show(data);
    EXPECT_EQ(is_valid_utf8(data, Surrogates::kAllow), pass) << "surrogatepass: " << show(data);
}

TEST(Utf8, AgreesWithTheHostDecoderStrictAndWithSurrogatepass) {
    std::ifstream in(std::string(MAVELIN_TEST_DATA) + "/utf8_vectors.txt");
    ASSERT_TRUE(in) << "missing utf8_vectors.txt";
    std::string line;
    int pairs = 0;
    int cases = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        if (kind == "pair") {
            // Every second byte after one lead byte, completed with continuation bytes and cut.
            std::string lead_hex, digits;
            fields >> lead_hex >> digits;
            ASSERT_EQ(digits.size(), 256u) << line.substr(0, 12);
            const char lead = static_cast<char>(std::stoi(lead_hex, nullptr, 16));
            for (int b1 = 0; b1 < 256; ++b1) {
                const int bits = std::stoi(digits.substr(static_cast<size_t>(b1), 1), nullptr, 16);
                const std::string two{lead, static_cast<char>(b1)};
                expect_verdicts(two + "\x80\x80", bits & 1, bits & 2);
                expect_verdicts(two, bits & 4, bits & 8);
            }
            ++pairs;
        } else if (kind == "case") {
            std::string hex;
            int strict = 0, pass = 0;
            fields >> hex >> strict >> pass;
            expect_verdicts(from_hex(hex), strict != 0, pass != 0);
            ++cases;
        }
    }
    EXPECT_EQ(pairs, 130);
    EXPECT_GT(cases, 400);
}

}  // namespace
