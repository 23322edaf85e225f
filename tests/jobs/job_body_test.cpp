#include "jobs/job_body.h"

#include <gtest/gtest.h>

namespace nerix {
namespace {

using namespace std::string_literals;

// What a decoder made of a body, as one line: the arguments (or source, format and name)
// joined by "|", or the refusal's status and message.
std::string shown(const Response& r) { return std::to_string(r.status) + " " + r.json->value("error", "?"); }
std::string shown(const ComposeInput& in) { return in.source + "|" + in.format + "|" + in.name.value_or("-"); }
std::string shown(const std::vector<std::string>& args) {
    std::string line;
    for (const auto& a : args) line += (line.empty() ? "" : "|") + a;
    return line;
}
std::string shown(const MasterInput& in) { return shown(masterArguments(in)); }
template <typename Accepted>
std::string shown(const std::variant<Accepted, Response>& d) {
    return std::visit([](const auto& v) { return shown(v); }, d);
}

struct Case {
    std::string body, expected;
};

TEST(ComposeBody, RefusesOrTakesEachMember) {
    const std::string json = "400 invalid JSON", source = "400 missing 'source'", format = "400 invalid 'format'";
    for (const Case& c : std::vector<Case>{
             {"", json},
             {"[]", json},
             {"\"text\"", json},
             {"not json", json},
             {R"({"source":"a")", json},
             {"{} {}", json},
             {"{\"source\":\"\xff\"}", json},
             {"{\"source\":\"a\"}\0x"s, json},  // the parser would stop at the NUL
             {"{}", source},
             {R"({"source":""})", source},
             {R"({"source":5})", source},
             {R"({"Source":"a"})", source},
             {R"({"source":["a"]})", source},
             {R"({"format":"a/b"})", source},  // the source is checked first
             // The format names the output file: no "/" to leave the folder, no NUL to cut it short.
             {R"({"source":"x","format":"a/b"})", format},
             {R"({"source":"x","format":"\/..\/etc"})", format},
             {R"({"source":"x","format":"mid\u0000.sh"})", format},
             {R"({"source":"C4 q\n"})", "C4 q\n|mid|-"},
             {R"({"source":"x","name":"My Song","format":"xyz"})", "x|xyz|My Song"},
             {R"({"source":"x","name":7,"format":3})", "x|mid|-"},
             {R"({"source":"x","format":""})", "x||-"},
             {R"({"source":"x","format":".."})", "x|..|-"},
             {R"({"source":"a\u0000b"})", "a\0b|mid|-"s},  // file content, not a path
         }) {
        EXPECT_EQ(shown(decodeComposeBody(c.body)), c.expected) << c.body;
    }
}

TEST(MasterBody, RefusesWithOneMessageOrAddsTheOutputWhenItIsAString) {
    const std::string refused = "400 missing 'manifest' (path to .master.json)";
    for (const Case& c : std::vector<Case>{
             {"", refused},
             {"[{\"manifest\":\"m\"}]", refused},
             {"{}", refused},
             {R"({"manifest":3})", refused},
             {R"({"manifest":"m\u0000x"})", refused},
             {R"({"manifest":"m","output":"o\u0000"})", refused},
             {R"({"manifest":""})", "master|run|"},
             {R"({"manifest":"a b.master.json","output":5})", "master|run|a b.master.json"},
             {R"({"output":"","manifest":"m"})", "master|run|m|-o|"},
             {R"({"manifest":"m","output":"/tmp/o.wav","extra":[1]})", "master|run|m|-o|/tmp/o.wav"},
         }) {
        EXPECT_EQ(shown(decodeMasterBody(c.body)), c.expected) << c.body;
    }
}

TEST(VerifyBody, RefusesWithOneMessageOrPutsTheOptionsInAFixedOrder) {
    const std::string refused = "400 missing 'wav' or 'seed'";
    for (const Case& c : std::vector<Case>{
             {"not json", refused},
             {R"({"wav":"a.wav"})", refused},
             {R"({"seed":"7"})", refused},
             {R"({"wav":"a.wav","seed":7})", refused},
             {R"({"wav":"a\u0000.wav","seed":"7"})", refused},
             {R"({"wav":"a.wav","seed":"7\u0000"})", refused},
             {R"({"wav":"a.wav","seed":"7","carrier":"44\u00000"})", refused},
             {R"({"seed":"","wav":"x.wav"})", "master|verify|x.wav|--seed|"},
             {R"({"wav":"x.wav","seed":"s","nullTrials":200,"mixDb":-6.5,"carrier":440})",
              "master|verify|x.wav|--seed|s|--carrier|440|--mix-db|-6.5|--null-trials|200"},
             {R"({"wav":"x.wav","seed":"s","nullTrials":"200"})", "master|verify|x.wav|--seed|s|--null-trials|200"},
         }) {
        EXPECT_EQ(shown(decodeVerifyBody(c.body)), c.expected) << c.body;
    }
}

TEST(VerifyBody, AnOptionOfAnyJsonTypeIsOneArgument) {
    for (const Case& c : std::vector<Case>{
             {R"("440")", "440"},
             {"-12", "-12"},
             {"18446744073709551615", "18446744073709551615"},
             {"0.1", "0.1"},
             {"440.0", "440"},
             {"1e21", "1e+21"},
             {"null", "null"},
             {"true", "true"},
             {"false", "false"},
             {R"([1, "a/b", {"k" : null}, []])", R"([1,"a/b",{"k":null},[]])"},
             {R"({"q":"say \"hi\"\n","n":-6.5, "\\":0})", R"({"\\":0,"n":-6.5,"q":"say \"hi\"\u000a"})"},
             {R"(["\u0000\u001f "])", R"(["\u0000\u001f "])"},  // escaped, so a NUL cannot cut the argument short
         }) {
        EXPECT_EQ(shown(decodeVerifyBody(R"({"wav":"w","seed":"s","carrier":)" + c.body + "}")),
                  "master|verify|w|--seed|s|--carrier|" + c.expected)
            << c.body;
    }
    // Nested a million deep: written without exhausting the stack.
    std::string nested = std::string(1'000'000, '[') + std::string(1'000'000, ']');
    EXPECT_EQ(shown(decodeVerifyBody(R"({"wav":"w","seed":"s","mixDb":)" + nested + "}")),
              "master|verify|w|--seed|s|--mix-db|" + nested);
}

}  // namespace
}  // namespace nerix
