#include "jobs/stem.h"

#include <vector>

#include <gtest/gtest.h>

namespace nerix {
namespace {

std::optional<std::string> stem(const std::string& name) { return sanitizeStem(name); }

std::string repeat(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

TEST(SanitizeStem, NamesThatLeaveNothingAreAbsent) {
    EXPECT_EQ(sanitizeStem(std::nullopt), std::nullopt);
    EXPECT_EQ(stem(""), std::nullopt);
    EXPECT_EQ(stem(" !."), std::nullopt);
    EXPECT_EQ(stem("----"), std::nullopt);
}

TEST(SanitizeStem, EachDisallowedCodePointBecomesOneDashAndOnlyDashesAreTrimmed) {
    EXPECT_EQ(stem("My Song (B)"), "My-Song--B");
    EXPECT_EQ(stem("../../etc/passwd"), "etc-passwd");
    EXPECT_EQ(stem("_take_"), "_take_");
    EXPECT_EQ(stem("-x-"), "x");
    EXPECT_EQ(stem("a\tb\nc\x7f" "d\x01"), "a-b-c-d");
    EXPECT_EQ(stem("a\xc2\x85" "b"), "a-b");  // NEL, a C1 control
    EXPECT_EQ(stem("a\xffz"), "a-z");           // a byte that is not UTF-8 counts as one code point
}

TEST(SanitizeStem, LettersMarksAndNumbersOfAnyScriptStay) {
    EXPECT_EQ(stem("\xce\xa9mega2"), "\xce\xa9mega2");                      // Ωmega2
    EXPECT_EQ(stem("\xf0\x9d\x90\x80" "1"), "\xf0\x9d\x90\x80" "1");          // a letter of 4 bytes
    EXPECT_EQ(stem("Cafe\xcc\x81"), "Cafe\xcc\x81");                        // e + combining acute
    EXPECT_EQ(stem("\xe2\x85\xa7_\xd9\xa3"), "\xe2\x85\xa7_\xd9\xa3");      // Roman numeral eight, Arabic-Indic three
    EXPECT_EQ(stem("\xe6\x9b\xb2 \xe5\x90\x8d"), "\xe6\x9b\xb2-\xe5\x90\x8d");  // ideographic words with a blank
}

TEST(SanitizeStem, EmojiAreJudgedCodePointByCodePoint) {
    EXPECT_EQ(stem("a\xf0\x9f\x8e\xb5" "b"), "a-b");  // a🎵b
    // Heart + VS16 between letters: the variation selector is a mark and stays.
    EXPECT_EQ(stem("a\xe2\x9d\xa4\xef\xb8\x8f" "b"), "a-\xef\xb8\x8f" "b");
    // Thumbs up + skin tone, then man ZWJ woman: every pictograph, modifier and joiner is a "-".
    EXPECT_EQ(stem("x\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd" "y\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9" "z"),
              "x--y---z");
}

TEST(SanitizeStem, TheCutKeepsEightyCharactersAndEveryFileNameWithinItsBytes) {
    // Every name made from the stem must fit in 255 bytes; the longest, the source's side file
    // ".<stem>.morvane.XXXXXX", leaves 239 for the stem. The cut falls between characters.
    // One character each, of 2, 3 and 5 bytes.
    const std::string acute = "\xc3\xa9", ideograph = "\xe6\xbc\xa2", twoMarks = "e\xcc\x81\xcc\xa3";
    struct Case {
        std::string name;
        std::optional<std::string> stem;
    };
    for (const Case& c : std::vector<Case>{
             {repeat("a", 100), repeat("a", 80)},
             {repeat("a", 79) + "-b", repeat("a", 79) + "-"},  // the cut is not trimmed again
             {"---" + repeat("a", 85), repeat("a", 80)},
             {acute + repeat(ideograph, 79), acute + repeat(ideograph, 79)},  // 80 characters, 239 bytes
             {repeat(ideograph, 80), repeat(ideograph, 79)},                  // 240 bytes
             {repeat(ideograph, 85), repeat(ideograph, 79)},
             {repeat(twoMarks, 81), repeat(twoMarks, 47)},
             {"a" + repeat("\xcc\x81", 130), std::nullopt},  // one character of 261 bytes
             // Where the name starts counts too: jamo L+V are one character, V then L two.
             {"\xe1\x84\x80\xe1\x85\xa1" + repeat("a", 79), "\xe1\x84\x80\xe1\x85\xa1" + repeat("a", 79)},
             {"\xe1\x85\xa1\xe1\x84\x80" + repeat("a", 79), "\xe1\x85\xa1\xe1\x84\x80" + repeat("a", 78)},
         }) {
        EXPECT_EQ(stem(c.name), c.stem) << c.name;
    }
}

}  // namespace
}  // namespace nerix
