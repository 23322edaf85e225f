#include "jobs/stem.h"

#include <set>
#include <vector>

#include <gtest/gtest.h>

namespace nerix {
namespace {

std::string repeat(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

// One character each, of 2, 3 and 5 bytes; Hangul jamo, L then V (one character) and V then L (two).
const std::string acute = "\xc3\xa9", ideograph = "\xe6\xbc\xa2", twoMarks = "e\xcc\x81\xcc\xa3";
const std::string jamoLV = "\xe1\x84\x80\xe1\x85\xa1", jamoVL = "\xe1\x85\xa1\xe1\x84\x80";

// Each code point that is not a letter, mark, number, "-" or "_" becomes one "-"; dashes are
// trimmed; then the cut keeps 80 characters and leaves every file name made from the stem
// within 255 bytes (the longest, the source's side file ".<stem>.morvane.XXXXXX", leaves 239).
TEST(SanitizeStem, KeepsLettersMarksAndNumbersAndCutsBetweenCharacters) {
    struct Case {
        std::optional<std::string> name, stem;
    };
    for (const Case& c : std::vector<Case>{
             {std::nullopt, std::nullopt},
             {"", std::nullopt},
             {" !.", std::nullopt},
             {"----", std::nullopt},
             {"My Song (B)", "My-Song--B"},
             {"../../etc/passwd", "etc-passwd"},
             {"_take_", "_take_"},
             {"a\tb\nc\x7f"
              "d\x01",
              "a-b-c-d"},
             {"a\xc2\x85"
              "b",
              "a-b"},            // NEL, a C1 control
             {"a\xffz", "a-z"},  // a byte that is not UTF-8 counts as one code point
             {"\xce\xa9mega2", "\xce\xa9mega2"},
             {"\xf0\x9d\x90\x80"
              "1",
              "\xf0\x9d\x90\x80"
              "1"},
             {"Cafe\xcc\x81", "Cafe\xcc\x81"},
             {"\xe2\x85\xa7_\xd9\xa3", "\xe2\x85\xa7_\xd9\xa3"},  // Ⅷ, Arabic-Indic 3
             {"\xe6\x9b\xb2 \xe5\x90\x8d", "\xe6\x9b\xb2-\xe5\x90\x8d"},
             {"a\xf0\x9f\x8e\xb5"
              "b",
              "a-b"},  // a🎵b
             // Heart + VS16: the variation selector is a mark and stays.
             {"a\xe2\x9d\xa4\xef\xb8\x8f"
              "b",
              "a-\xef\xb8\x8f"
              "b"},
             // Thumbs up + skin tone, man ZWJ woman: every pictograph, modifier and joiner is a "-".
             {"x\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd"
              "y\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9"
              "z",
              "x--y---z"},
             {acute + repeat(ideograph, 79), acute + repeat(ideograph, 79)},  // 80 characters, 239 bytes
             {jamoLV + repeat("a", 79), jamoLV + repeat("a", 79)},            // jamo L+V are one character
             {"a" + repeat("\xcc\x81", 130), std::nullopt},                   // one character of 261 bytes
         }) {
        EXPECT_EQ(sanitizeStem(c.name), c.stem) << c.name.value_or("(none)");
    }
}

// A name cut at 80 characters or 239 bytes keeps what fits beside a mark of the whole name ("-"
// and eight hex digits): names that differ only behind the cut get different stems, and the
// same name always the same one.
TEST(SanitizeStem, ACutNameEndsInAMarkOfTheWholeName) {
    const std::pair<std::string, std::string> cases[] = {
        {repeat("a", 100), repeat("a", 71)},
        {repeat("a", 70) + "-" + repeat("b", 20), repeat("a", 70) + "-"},  // the cut is not trimmed again
        {"---" + repeat("a", 85) + "-", repeat("a", 71)},
        {repeat(ideograph, 80), repeat(ideograph, 71)},  // 240 bytes
        {repeat(twoMarks, 81), repeat(twoMarks, 46)},
        {jamoVL + repeat("a", 79), jamoVL + repeat("a", 69)},  // V then L: two characters
    };
    std::set<std::string> stems;
    for (const auto& [name, kept] : cases) {
        auto stem = sanitizeStem(name);
        ASSERT_TRUE(stem) << name;
        EXPECT_EQ(stem->substr(0, kept.size()), kept) << name;
        const std::string mark = stem->substr(kept.size());
        EXPECT_TRUE(mark.size() == 9 && mark[0] == '-' &&
                    mark.find_first_not_of("0123456789abcdef", 1) == std::string::npos)
            << *stem;
        EXPECT_LE(stem->size(), 239u);
        EXPECT_EQ(sanitizeStem(name), stem);
        stems.insert(*stem);
        EXPECT_NE(sanitizeStem(name + "x"), stem) << name;
    }
    EXPECT_EQ(stems.size(), std::size(cases));
}

}  // namespace
}  // namespace nerix
