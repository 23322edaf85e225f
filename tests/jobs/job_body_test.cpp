// What a job is made of: the body decoded into its arguments, the endpoint that makes the job,
// the stem of its file's name, and the folder its output goes to.
#include "jobs/job_body.h"

#include <pwd.h>

#include <set>

#include <gtest/gtest.h>

#include "common/scratch.h"
#include "jobs/job_endpoints.h"
#include "jobs/output_dir.h"
#include "jobs/stem.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;
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

// Each path reads its own body into its own kind of job: the arguments, the answer's members
// on success and on failure, and the file it names (master's relative output counts from the
// tool's folder). Compose's arguments and file come from its files, made only when it runs.
TEST(JobEndpoints, EachPathMakesItsJobWithItsArgumentsAnswersAndFile) {
    struct Row {
        std::string path, body, arguments, succeeded, failed, written;
    };
    for (const Row& c : std::vector<Row>{
             {"/compose", R"({"source":"x"})", "compose|build||-o|", R"({"ok":true,"outputPath":""})",
              R"({"error":"compose failed","exitCode":3})", ""},
             {"/master", R"({"manifest":"m","output":"o.wav"})", "master|run|m|-o|o.wav", R"({"ok":true})",
              R"({"error":"master failed","exitCode":3})", "/repo/o.wav"},
             {"/master", R"({"manifest":"m","output":"/o.wav"})", "master|run|m|-o|/o.wav", R"({"ok":true})",
              R"({"error":"master failed","exitCode":3})", "/o.wav"},
             {"/master", R"({"manifest":"m"})", "master|run|m", R"({"ok":true})",
              R"({"error":"master failed","exitCode":3})", "(none)"},
             {"/verify", R"({"wav":"w","seed":"s"})", "master|verify|w|--seed|s", R"({"ok":true})", R"({"ok":false})",
              "(none)"},
         }) {
        const JobEndpoint* endpoint = findJobEndpoint(c.path);
        ASSERT_NE(endpoint, nullptr) << c.path;
        auto accepted = endpoint->accept(c.body);
        ASSERT_TRUE(std::holds_alternative<JobPointer>(accepted)) << c.body;
        const Job& job = *std::get<JobPointer>(accepted);
        EXPECT_EQ(shown(job.arguments()), c.arguments);
        const JobAnswer succeeded = job.answer(0), failed = job.answer(3);
        EXPECT_EQ(succeeded.status, 200);
        EXPECT_EQ(succeeded.fields.dump(), c.succeeded) << c.body;
        EXPECT_EQ(failed.status, 500);
        EXPECT_EQ(failed.fields.dump(), c.failed) << c.body;
        EXPECT_TRUE(failed.withStderr);
        EXPECT_EQ(succeeded.withStderr, c.path == "/verify");
        EXPECT_EQ(job.writtenFile("/repo").value_or("(none)"), c.written) << c.body;
    }
    for (const char* path : {"/", "/compose/", "/Compose", "/health", ""}) EXPECT_EQ(findJobEndpoint(path), nullptr);
    auto refused = findJobEndpoint("/verify")->accept(R"({"wav":"w"})");
    ASSERT_TRUE(std::holds_alternative<Response>(refused));
    EXPECT_EQ(std::get<Response>(refused).status, 400);
}

class OutputDirTest : public test::ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        saveAndSet("HOME", root);
        saveAndSet("XDG_CONFIG_HOME", std::nullopt);
    }
};

// The last valid music line of user-dirs.dirs decides, read afresh at every call.
TEST_F(OutputDirTest, TheMusicLineOfUserDirsOrMusicInTheHomeFolder) {
    EXPECT_EQ(userNerixOutputDir(), root + "/Music/Nerix");
    EXPECT_FALSE(fs::exists(root + "/Music")) << "nothing is created";
    struct Row {
        std::string userDirs, folder;
    };
    for (const Row& c : std::vector<Row>{
             {"# XDG_MUSIC_DIR=\"$HOME/Commented\"\nXDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\nXDG_MUSIC_DIR=\"Relative\"\n"
              "XDG_MUSIC_DIR=\"$HOME\"\nXDG_MUSIC_DIR=$HOME/Unquoted\nXDG_MUSIC_DIR \"$HOME/NoEquals\"\n",
              root + "/Music"},
             {"XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n \tXDG_MUSIC_DIR\t= \"$HOME/Musik\"\n", root + "/Musik"},
             {"XDG_MUSIC_DIR=\"/srv/shared \\\"tunes\\\"\"\n", "/srv/shared \"tunes\""},  // backslashes quote
             {"XDG_MUSIC_DIR=\"$HOME/Unended\\\n", root + "/Unended\\"},
             {"XDG_MUSIC_DIR=\"$HOME//Doubled/\"\n", root + "/Doubled"},
             {"XDG_MUSIC_DIR=\"$HOME/One\"\nXDG_MUSIC_DIR=\"$HOME/Two\"\nXDG_MUSIC_DIR=\"bad\"\n", root + "/Two"},
         }) {
        test::writeFile(root + "/.config/user-dirs.dirs", c.userDirs);
        EXPECT_EQ(userNerixOutputDir(), c.folder + "/Nerix") << c.userDirs;
    }

    // XDG_CONFIG_HOME is where user-dirs.dirs lives, when it is absolute.
    test::writeFile(root + "/elsewhere/user-dirs.dirs", "XDG_MUSIC_DIR=\"$HOME/FromXdg\"\n");
    saveAndSet("XDG_CONFIG_HOME", root + "/elsewhere");
    EXPECT_EQ(userNerixOutputDir(), root + "/FromXdg/Nerix");
    saveAndSet("XDG_CONFIG_HOME", "elsewhere");
    EXPECT_EQ(userNerixOutputDir(), root + "/Two/Nerix");

    // Without HOME, the account's own folder; "/" for an account without an entry.
    saveAndSet("HOME", std::nullopt);
    saveAndSet("XDG_CONFIG_HOME", root);
    EXPECT_EQ(userNerixOutputDir(), std::string(::getpwuid(::getuid())->pw_dir) + "/Music/Nerix");
    if (::getuid() == 0) {  // root may become an account nobody defined
        EXPECT_EXIT(
            {
                if (::setuid(3'999'999) != 0) std::exit(1);
                std::fprintf(stderr, "%s", userNerixOutputDir().c_str());
                std::exit(0);
            },
            ::testing::ExitedWithCode(0), "^/Music/Nerix$");
    }
}

std::string repeat(const std::string& piece, int times) { return times > 0 ? piece + repeat(piece, times - 1) : ""; }

// One character each, of 2, 3 and 5 bytes; Hangul jamo, L then V (one character) and V then L (two).
const std::string acute = "\xc3\xa9", ideograph = "\xe6\xbc\xa2", twoMarks = "e\xcc\x81\xcc\xa3";
const std::string jamoLV = "\xe1\x84\x80\xe1\x85\xa1", jamoVL = "\xe1\x85\xa1\xe1\x84\x80";

// Each code point that is not a letter, mark, number, "-" or "_" becomes one "-"; dashes are
// trimmed; then the cut keeps 80 characters and leaves every file name made from the stem
// within 255 bytes (the longest, the source's side file ".<stem>.morvane.XXXXXX", leaves 239).
TEST(SanitizeStem, KeepsLettersMarksAndNumbersAndCutsBetweenCharacters) {
    struct Row {
        std::optional<std::string> name, stem;
    };
    for (const Row& c : std::vector<Row>{
             {std::nullopt, std::nullopt},
             {"", std::nullopt},
             {" !.", std::nullopt},
             {"----", std::nullopt},
             {"My Song (B)", "My-Song--B"},
             {"../../etc/passwd", "etc-passwd"},
             {"_take_", "_take_"},
             {"a\tb\nc\177d\001", "a-b-c-d"},
             {"a\302\205b", "a-b"},  // NEL, a C1 control
             {"a\xffz", "a-z"},      // a byte that is not UTF-8 counts as one code point
             {"\xce\xa9mega2", "\xce\xa9mega2"},
             {"\xf0\x9d\x90\x80\061", "\xf0\x9d\x90\x80\061"},
             {"Cafe\xcc\x81", "Cafe\xcc\x81"},
             {"\xe2\x85\xa7_\xd9\xa3", "\xe2\x85\xa7_\xd9\xa3"},  // Ⅷ, Arabic-Indic 3
             {"\xe6\x9b\xb2 \xe5\x90\x8d", "\xe6\x9b\xb2-\xe5\x90\x8d"},
             {"a\xf0\x9f\x8e\xb5\142", "a-b"},  // a🎵b
             // Heart + VS16: the variation selector is a mark and stays.
             {"a\xe2\x9d\xa4\xef\xb8\x8f\142", "a-\xef\xb8\x8f\142"},
             // Thumbs up + skin tone, man ZWJ woman: every pictograph, modifier and joiner is a "-".
             {"x\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbdy\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9z", "x--y---z"},
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
    EXPECT_EQ(sanitizeStem(repeat("a", 100)), repeat("a", 71) + "-06df4dd5");  // FNV-1a: the same in every release
}

}  // namespace
}  // namespace nerix
