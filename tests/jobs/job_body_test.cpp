#include "jobs/job_body.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace nerix {
namespace {

using Args = std::vector<std::string>;
using ::testing::ElementsAre;

using namespace std::string_literals;

// The refusal's status and message, or a failure when the body was accepted.
template <typename Accepted>
std::pair<int, std::string> refusalOf(const std::variant<Accepted, Response>& decoded) {
    const auto* response = std::get_if<Response>(&decoded);
    if (response == nullptr || !response->json) return {0, "(accepted)"};
    return {response->status, response->json->value("error", "(no error member)")};
}

template <typename Accepted>
Accepted accepted(const std::variant<Accepted, Response>& decoded) {
    if (const auto* value = std::get_if<Accepted>(&decoded)) return *value;
    ADD_FAILURE() << "refused: " << refusalOf(decoded).second;
    return {};
}

TEST(ComposeBody, RefusesWhatIsNotAnObjectAsInvalidJson) {
    for (std::string body : {""s, "[]"s, "42"s, "\"text\""s, "not json"s, "{\"source\":\"a\""s, "{} {}"s,
                             "{\"source\":\"\xff\"}"s}) {
        EXPECT_EQ(refusalOf(decodeComposeBody(body)), std::make_pair(400, "invalid JSON"s)) << body;
    }
}

TEST(ComposeBody, RefusesASourceThatIsMissingEmptyOrNotAString) {
    for (std::string body : {"{}"s, R"({"source":""})"s, R"({"source":5})"s, R"({"source":null})"s,
                             R"({"Source":"a"})"s, R"({"source":["a"]})"s}) {
        EXPECT_EQ(refusalOf(decodeComposeBody(body)), std::make_pair(400, "missing 'source'"s)) << body;
    }
}

TEST(ComposeBody, TakesFormatAndNameOnlyWhenTheyAreStrings) {
    ComposeInput plain = accepted(decodeComposeBody(R"({"source":"C4 q\n"})"));
    EXPECT_EQ(plain.source, "C4 q\n");
    EXPECT_EQ(plain.format, "mid");
    EXPECT_EQ(plain.name, std::nullopt);

    ComposeInput named = accepted(decodeComposeBody(R"({"source":"x","name":"My Song","format":"xyz"})"));
    EXPECT_EQ(named.format, "xyz");
    EXPECT_EQ(named.name, "My Song");

    ComposeInput odd = accepted(decodeComposeBody(R"({"source":"x","name":7,"format":3})"));
    EXPECT_EQ(odd.format, "mid");
    EXPECT_EQ(odd.name, std::nullopt);

    EXPECT_EQ(accepted(decodeComposeBody(R"({"source":"x","format":""})")).format, "");
    EXPECT_EQ(accepted(decodeComposeBody(R"({"source":"x","format":".."})")).format, "..");
    // The source is file content, not a path: a NUL in it is kept.
    EXPECT_EQ(accepted(decodeComposeBody(R"({"source":"a\u0000b"})")).source, "a\0b"s);
}

TEST(ComposeBody, RefusesAFormatThatWouldLeaveTheOutputFolderOrCutTheName) {
    for (std::string body : {R"({"source":"x","format":"a/b"})"s, R"({"source":"x","format":"/"})"s,
                             R"({"source":"x","format":"\/..\/..\/etc"})"s, R"({"source":"x","format":"mid\u0000.sh"})"s}) {
        EXPECT_EQ(refusalOf(decodeComposeBody(body)), std::make_pair(400, "invalid 'format'"s)) << body;
    }
    // The source is checked first.
    EXPECT_EQ(refusalOf(decodeComposeBody(R"({"format":"a/b"})")), std::make_pair(400, "missing 'source'"s));
}

TEST(MasterBody, RefusesEveryUnusableBodyWithTheSameMessage) {
    for (std::string body : {""s, "[]"s, "[{\"manifest\":\"m\"}]"s, "manifest"s, "{}"s, R"({"manifest":3})"s,
                             R"({"manifest":null})"s, R"({"manifest":"m\u0000x"})"s,
                             R"({"manifest":"m","output":"o\u0000"})"s}) {
        EXPECT_EQ(refusalOf(decodeMasterBody(body)),
                  std::make_pair(400, "missing 'manifest' (path to .master.json)"s))
            << body;
    }
}

TEST(MasterBody, AddsTheOutputOnlyWhenItIsAString) {
    EXPECT_THAT(accepted(decodeMasterBody(R"({"manifest":""})")), ElementsAre("master", "run", ""));
    EXPECT_THAT(accepted(decodeMasterBody(R"({"manifest":"a b.master.json","output":5})")),
                ElementsAre("master", "run", "a b.master.json"));
    EXPECT_THAT(accepted(decodeMasterBody(R"({"output":"","manifest":"m"})")),
                ElementsAre("master", "run", "m", "-o", ""));
    EXPECT_THAT(accepted(decodeMasterBody(R"({"manifest":"m","output":"/tmp/o.wav","extra":[1]})")),
                ElementsAre("master", "run", "m", "-o", "/tmp/o.wav"));
}

TEST(VerifyBody, RefusesEveryUnusableBodyWithTheSameMessage) {
    for (std::string body : {""s, "[]"s, "not json"s, R"({"wav":"a.wav"})"s, R"({"seed":"7"})"s,
                             R"({"wav":"a.wav","seed":7})"s, R"({"wav":1,"seed":"7"})"s,
                             R"({"wav":"a\u0000.wav","seed":"7"})"s, R"({"wav":"a.wav","seed":"7\u0000"})"s,
                             R"({"wav":"a.wav","seed":"7","carrier":"44\u00000"})"s}) {
        EXPECT_EQ(refusalOf(decodeVerifyBody(body)), std::make_pair(400, "missing 'wav' or 'seed'"s)) << body;
    }
}

TEST(VerifyBody, OptionsFollowTheSeedInAFixedOrderWithTheirTexts) {
    EXPECT_THAT(accepted(decodeVerifyBody(R"({"seed":"","wav":"x.wav"})")),
                ElementsAre("master", "verify", "x.wav", "--seed", ""));
    EXPECT_THAT(accepted(decodeVerifyBody(R"({"wav":"x.wav","seed":"s","nullTrials":200,"mixDb":-6.5,"carrier":440})")),
                ElementsAre("master", "verify", "x.wav", "--seed", "s", "--carrier", "440", "--mix-db", "-6.5",
                            "--null-trials", "200"));
    EXPECT_THAT(accepted(decodeVerifyBody(R"({"wav":"x.wav","seed":"s","nullTrials":"200"})")),
                ElementsAre("master", "verify", "x.wav", "--seed", "s", "--null-trials", "200"));
}

TEST(VerifyBody, OptionTextsOfEveryJsonType) {
    auto textOf = [](const std::string& value) {
        Args args = accepted(decodeVerifyBody(R"({"wav":"w","seed":"s","carrier":)" + value + "}"));
        return args.size() == 7 ? args[6] : "(no option)"s;
    };
    EXPECT_EQ(textOf(R"("440")"), "440");
    EXPECT_EQ(textOf("440"), "440");
    EXPECT_EQ(textOf("-12"), "-12");
    EXPECT_EQ(textOf("18446744073709551615"), "18446744073709551615");
    EXPECT_EQ(textOf("0.1"), "0.1");
    EXPECT_EQ(textOf("440.0"), "440");
    EXPECT_EQ(textOf("1e21"), "1e+21");
    EXPECT_EQ(textOf("null"), "null");
    EXPECT_EQ(textOf("true"), "true");
    EXPECT_EQ(textOf("false"), "false");
    EXPECT_EQ(textOf(R"("")"), "");
    EXPECT_EQ(textOf(R"([1, "a/b", {"k" : null}, []])"), R"([1,"a/b",{"k":null},[]])");
    EXPECT_EQ(textOf(R"({"q":"say \"hi\"\n","n":-6.5})"), R"({"n":-6.5,"q":"say \"hi\"\u000a"})");
    // A NUL inside a nested string is escaped in the text, so it cannot cut the argument short.
    EXPECT_EQ(textOf(R"(["\u0000"])"), R"(["\u0000"])");
}

TEST(VerifyBody, DeeplyNestedOptionIsWrittenWithoutExhaustingTheStack) {
    constexpr std::size_t depth = 1'000'000;
    std::string nested = std::string(depth, '[') + std::string(depth, ']');
    Args args = accepted(decodeVerifyBody(R"({"wav":"w","seed":"s","mixDb":)" + nested + "}"));
    ASSERT_EQ(args.size(), 7u);
    EXPECT_EQ(args[6], nested);
}

}  // namespace
}  // namespace nerix
