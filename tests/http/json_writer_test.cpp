// The JSON writer against a byte-by-byte reference of the string form it must give: every
// escape at every place in its blocks and pieces, and UTF-8 judged whole across them.
#include "http/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>

namespace nerix {
namespace {

using namespace std::string_literals;

std::string referenceString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const char* named = std::strchr("\"\\/\b\f\n\r\t", c);
        if (c != 0 && named)
            out += "\\"s + "\"\\/bfnrt"[named - "\"\\/\b\f\n\r\t"];
        else if (byte < 0x20)
            out += "\\u00"s + "0123456789abcdef"[byte >> 4] + "0123456789abcdef"[byte & 0xF];
        else
            out += c;
    }
    return out + "\"";
}

std::string textOf(const nlohmann::json& value, std::string otherwise = "") {
    auto text = writeJson(value);
    return text ? *text : otherwise;
}

std::string written(const std::string& text) { return textOf(nlohmann::json(text), "(no text)"); }

// Integers keep their signs and width; keys and nested strings take the same escapes; a number
// that is not finite, a key that is not UTF-8 or binary data gives no text.
TEST(JsonWriter, ScalarsKeysAndNesting) {
    EXPECT_EQ(textOf({-1, 18446744073709551615u, -6.5, true, false, nullptr}),
              "[-1,18446744073709551615,-6.5,true,false,null]");
    EXPECT_FALSE(writeJson(nlohmann::json(std::nan(""))));
    EXPECT_FALSE(writeJson(nlohmann::json{{"k\xff", 1}}));
    EXPECT_FALSE(writeJson(nlohmann::json::array({1, nlohmann::json::binary({1, 2})})));
    nlohmann::json value{{"a/b", {{"c\n", std::string(20, '"')}}}, {"list", {"x/y", 1, nullptr}}};
    EXPECT_EQ(textOf(value),
              R"({"a\/b":{"c\n":)" + referenceString(std::string(20, '"')) + R"(},"list":["x\/y",1,null]})");
}

// Each byte below 0x80 alone, and in front of, inside and behind the 16-byte blocks; then dense
// and sparse escapes among multibyte text.
TEST(JsonWriter, EveryEscapeAtEveryPlace) {
    for (int c = 0; c < 0x80; ++c)
        for (std::size_t length : {1u, 15u, 16u, 17u, 31u, 33u, 64u})
            for (std::size_t at = 0; at < length; at += (length > 20 ? 7 : 1)) {
                std::string text(length, 'a');
                text[at] = static_cast<char>(c);
                ASSERT_EQ(written(text), referenceString(text)) << "byte " << c << " at " << at << " of " << length;
            }
    const std::string pieces[] = {
        "/", "\"", "\\", "\x01", "\x1f", "\x7f", "\xC3\xA9", "\xE2\x99\xAA", "\xF0\x9F\x8E\xB5", "render 00000001 bars",
        " ", "x",  "\n"};
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        for (std::size_t i = 0, count = random() % 80; i < count; ++i) text += pieces[random() % std::size(pieces)];
        ASSERT_EQ(written(text), referenceString(text)) << round;
    }
    EXPECT_EQ(written(""), "\"\"");
    EXPECT_EQ(written(std::string(256, '\x01')),
              referenceString(std::string(256, '\x01')));  // the most a short text takes
}

// Characters and faults straddle the borders of the pieces (16 KiB) the writer works in, and a
// fault far into a text of many pieces still makes the whole value unwritable.
TEST(JsonWriter, Utf8IsJudgedWholeAcrossTheWritersPieces) {
    for (std::size_t before = 16384 - 5; before <= 16384 + 1; ++before) {
        std::string text = std::string(before, 'a') + "\xF0\x9F\x8E\xB5/z";
        ASSERT_EQ(written(text), referenceString(text)) << before;
        for (std::string bad : {"\xF0\x9F\x8E"s, "\x80"s, "\x80\x80\x80\x80"s, "\xC3"s, "\xED\xA0\x80"s}) {
            EXPECT_FALSE(writeJson(nlohmann::json(std::string(before, 'a') + bad + "zz"))) << before;
            EXPECT_FALSE(writeJson(nlohmann::json(std::string(before, 'a') + bad))) << before;
        }
    }
    std::string text;
    while (text.size() < (4u << 20)) text += "render 00000001 bars/beats ok ... caf\xC3\xA9\t\"done\"\n";
    EXPECT_EQ(textOf(nlohmann::json{{"ok", true}, {"stdout", text}}),
              R"({"ok":true,"stdout":)" + referenceString(text) + "}");
    // A large answer is written into memory reckoned ahead at its size: a count too low grows
    // it by copying, one too high holds memory for nothing. Escapes as dense as they come.
    for (std::string unit : {"\"/\\\n"s, "a/\x01b\\"s, "\x02"s}) {
        std::string dense;
        while (dense.size() < (1u << 20)) dense += unit;
        const auto out = writeJson(nlohmann::json{{"stdout", dense}});
        ASSERT_TRUE(out);
        EXPECT_EQ(*out, R"({"stdout":)" + referenceString(dense) + "}");
        EXPECT_LE(out->capacity(), out->size() + out->size() / 64) << "reckoned " << out->capacity();
    }
    text[text.size() - 3] = '\xff';
    EXPECT_FALSE(writeJson(nlohmann::json{{"stdout", text}}));
}

}  // namespace
}  // namespace nerix
