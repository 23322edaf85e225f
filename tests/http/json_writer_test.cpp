#include "http/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

namespace nerix {
namespace {

using namespace std::string_literals;

// The string form the writer must give, one byte at a time.
std::string referenceString(const std::string& text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '/': out += "\\/"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out += kHex[byte >> 4];
                    out += kHex[byte & 0xF];
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

std::string written(const std::string& text) { return writeJson(nlohmann::json(text)).value_or("(no text)"); }

TEST(JsonWriterScalars, SignedAndUnsignedIntegersFloatsAndLiterals) {
    nlohmann::json scalars = {-1, 18446744073709551615u, -6.5, true, false, nullptr};
    EXPECT_EQ(writeJson(scalars).value_or(""), "[-1,18446744073709551615,-6.5,true,false,null]");
    EXPECT_FALSE(writeJson(nlohmann::json(std::nan(""))));
}

TEST(JsonWriterStrings, EveryAsciiByteAtEveryPositionOfABlock) {
    // Each byte below 0x80 alone, and in front of, inside and behind the 16-byte blocks.
    for (int c = 0; c < 0x80; ++c) {
        for (std::size_t length : {1u, 15u, 16u, 17u, 31u, 33u, 64u}) {
            for (std::size_t at = 0; at < length; at += (length > 20 ? 7 : 1)) {
                std::string text(length, 'a');
                text[at] = static_cast<char>(c);
                ASSERT_EQ(written(text), referenceString(text)) << "byte " << c << " at " << at << " of " << length;
            }
        }
    }
}

TEST(JsonWriterStrings, DenseAndSparseEscapesAmongMultibyteText) {
    const std::string pieces[] = {"/", "\"", "\\", "\n", "\x01", "\x1f", "\x7f", "\xC3\xA9", "\xE2\x99\xAA",
                                  "\xF0\x9F\x8E\xB5", "render 00000001 bars", " ", "x"};
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        std::size_t count = random() % 80;
        for (std::size_t i = 0; i < count; ++i) text += pieces[random() % std::size(pieces)];
        ASSERT_EQ(written(text), referenceString(text)) << round;
    }
    EXPECT_EQ(written(""), "\"\"");
    EXPECT_EQ(written(std::string(40, '/')), "\"" + repeat("\\/", 40) + "\"");
}

TEST(JsonWriterStrings, KeysAndNestedStringsUseTheSameForm) {
    nlohmann::json value{{"a/b", {{"c\n", std::string(20, '"')}}}, {"list", {"x/y", 1, nullptr}}};
    EXPECT_EQ(writeJson(value).value_or(""),
              R"({"a\/b":{"c\n":")" + repeat("\\\"", 20) + R"("},"list":["x\/y",1,null]})");
}

TEST(JsonWriterStrings, Utf8IsJudgedWholeAcrossTheWritersPieces) {
    // Characters and faults straddle the borders of the pieces (16 KiB) the writer works in.
    const std::string emoji = "\xF0\x9F\x8E\xB5";
    for (std::size_t before = 16384 - 5; before <= 16384 + 1; ++before) {
        std::string text = std::string(before, 'a') + emoji + "/z";
        ASSERT_EQ(written(text), referenceString(text)) << before;

        for (std::string bad : {"\xF0\x9F\x8E"s, "\x80"s, "\x80\x80\x80\x80"s, "\xC3"s, "\xED\xA0\x80"s}) {
            EXPECT_FALSE(writeJson(nlohmann::json(std::string(before, 'a') + bad + "zz"))) << before;
            EXPECT_FALSE(writeJson(nlohmann::json(std::string(before, 'a') + bad))) << before;
        }
    }
}

TEST(JsonWriterStrings, LargeOutputRoundTrips) {
    std::string text;
    while (text.size() < (4u << 20)) text += "render 00000001 bars/beats ok ... caf\xC3\xA9\t\"done\"\n";
    auto json = writeJson(nlohmann::json{{"ok", true}, {"stdout", text}});
    ASSERT_TRUE(json);
    EXPECT_EQ(*json, R"({"ok":true,"stdout":)" + referenceString(text) + "}");
    // Invalid UTF-8 far into a large string still makes the whole value unwritable.
    text[text.size() - 3] = '\xff';
    EXPECT_FALSE(writeJson(nlohmann::json{{"stdout", text}}));
}

}  // namespace
}  // namespace nerix
