// POST /compose over real loopback sockets, with a tool that records what it was given.
#include <chrono>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "jobs/job_endpoint_fixture.h"
#include "platform/posix/files.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;
using test::entriesOf;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

using ComposeTest = test::JobEndpointTest;

std::int64_t nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TEST_F(ComposeTest, OnlyASourceRendersUnderAStemFromTheClock) {
    saveAndSet("RECORD_TOOL_STDOUT", "wrote 1 track\n");
    saveAndSet("RECORD_TOOL_STDERR", "a warning\n");
    const std::string source = "tempo 96\nbar 1: C4 q, E4 q \xE2\x99\xAA caf\xC3\xA9";  // no line end

    std::int64_t before = nowSeconds();
    auto answer = postJob("/compose", nlohmann::json{{"source", source}}.dump());
    std::int64_t after = nowSeconds();

    ASSERT_EQ(answer.status, 200) << answer.body;
    nlohmann::json body = bodyOf(answer);
    const std::string outputDir = home + "/Music/Nerix";
    std::string outputPath = body.value("outputPath", "");
    ASSERT_THAT(outputPath, StartsWith(outputDir + "/untitled-"));
    std::string stem = outputPath.substr(outputDir.size() + 1);
    ASSERT_TRUE(stem.ends_with(".mid")) << stem;
    stem.resize(stem.size() - 4);
    std::int64_t seconds = std::stoll(stem.substr(9));
    EXPECT_EQ(stem, "untitled-" + std::to_string(seconds));
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);

    // The success object carries no stderr; the slashes of the path go out escaped.
    EXPECT_EQ(body, (nlohmann::json{{"ok", true}, {"outputPath", outputPath}, {"stdout", "wrote 1 track\n"}}));
    EXPECT_NE(answer.body.find("\\/Music\\/Nerix\\/"), std::string::npos) << answer.body;

    EXPECT_THAT(toolArgs(), ElementsAre("compose", "build", runtime + "/" + stem + ".morvane", "-o", outputPath));
    EXPECT_EQ(record()["source"], source) << "the source file holds the text as UTF-8, nothing added";
    EXPECT_TRUE(fs::is_directory(outputDir));
    EXPECT_THAT(entriesOf(runtime), IsEmpty()) << "the source file is gone after the run";
}

std::string ideographs(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += "\xe6\xbc\xa2";
    return text;
}

TEST_F(ComposeTest, NameAndFormatAreUsedUnchanged) {
    struct Case {
        nlohmann::json extra;
        std::string stem, outputName;
    };
    const std::string music = home + "/Music/Nerix/";
    for (const Case& c : std::vector<Case>{
             {{{"name", "My Song"}, {"format", "xyz"}}, "My-Song", "My-Song.xyz"},
             {{{"name", "My Song"}, {"format", ""}}, "My-Song", "My-Song."},
             {{{"name", std::string("a\0b", 3)}, {"format", ".."}}, "a-b", "a-b..."},
             // 85 ideographs: the stem keeps 79 so that the source's side file name fits.
             {{{"name", ideographs(85)}, {"format", "wav"}}, ideographs(79), ideographs(79) + ".wav"},
         }) {
        fs::remove(recordPath());
        nlohmann::json request = c.extra;
        request["source"] = "C4";
        auto answer = postJob("/compose", request.dump());
        ASSERT_EQ(answer.status, 200) << request.dump() << " " << answer.body;
        EXPECT_EQ(bodyOf(answer)["outputPath"], music + c.outputName);
        EXPECT_THAT(toolArgs(),
                    ElementsAre("compose", "build", runtime + "/" + c.stem + ".morvane", "-o", music + c.outputName));
        EXPECT_THAT(entriesOf(runtime), IsEmpty());
    }
}

TEST_F(ComposeTest, FoldersThatCannotBeUsedAreAnsweredBeforeTheToolRuns) {
    // Root may write anywhere, so each folder is made unusable by a file in its place.
    struct Case {
        std::string blocked, envName, error;
    };
    for (const Case& c : std::vector<Case>{{"/home/Music", "", "could not create output dir: "},
                                           {"/runtime-file", "XDG_RUNTIME_DIR", "could not write source: "}}) {
        std::ofstream(root + c.blocked) << "not a folder";
        if (!c.envName.empty()) saveAndSet(c.envName, root + c.blocked);
        auto answer = postJob("/compose", R"({"source":"C4","name":"song"})");
        EXPECT_EQ(answer.status, 500);
        nlohmann::json body = bodyOf(answer);
        ASSERT_EQ(body.size(), 1u) << answer.body;
        EXPECT_THAT(body.value("error", ""), StartsWith(c.error));
        EXPECT_GT(body.value("error", "").size(), c.error.size()) << "the system's reason follows";
        EXPECT_FALSE(toolRan());
        EXPECT_THAT(entriesOf(runtime), IsEmpty());
        fs::remove(root + c.blocked);
    }
}

TEST_F(ComposeTest, AFailingToolGivesItsExitCodeAndBothStreams) {
    saveAndSet("RECORD_TOOL_EXIT", "3");
    saveAndSet("RECORD_TOOL_STDOUT", "parsed 4 bars");
    saveAndSet("RECORD_TOOL_STDERR", "bar 5: unknown note H4");
    auto answer = postJob("/compose", R"({"source":"C4","name":"song"})");
    EXPECT_EQ(answer.status, 500);
    EXPECT_EQ(bodyOf(answer), (nlohmann::json{{"error", "compose failed"},
                                               {"exitCode", 3},
                                               {"stdout", "parsed 4 bars"},
                                               {"stderr", "bar 5: unknown note H4"}}));
    EXPECT_EQ(record()["source"], "C4") << "the file existed while the tool ran";
    EXPECT_THAT(entriesOf(runtime), IsEmpty()) << "and is gone after a failed run too";
}

TEST_F(ComposeTest, WithoutARuntimeFolderTheSourceGoesToAPrivateFolder) {
    saveAndSet("XDG_RUNTIME_DIR", std::nullopt);
    fs::create_directories(root + "/tmp");
    saveAndSet("TMPDIR", root + "/tmp");

    auto answer = postJob("/compose", R"({"source":"C4","name":"song"})");
    ASSERT_EQ(answer.status, 200) << answer.body;
    platform::TemporaryFolder temporary = platform::userTemporaryFolder();  // its mode: files_test
    ASSERT_THAT(temporary.path, StartsWith(root + "/tmp/"));
    EXPECT_THAT(toolArgs(), ElementsAre("compose", "build", temporary.path + "/song.morvane", "-o", ::testing::_));
    EXPECT_EQ(record()["source"], "C4");
    EXPECT_THAT(entriesOf(temporary.path), IsEmpty());
}

// Jobs run one at a time in arrival order, beside the queue: while one runs, everything else is
// answered at once, and a waiting compose job has written nothing yet.
TEST_F(ComposeTest, JobsWaitTheirTurnWhileEverythingElseIsAnswered) {
    std::string release = root + "/release";
    saveAndSet("RECORD_TOOL_WAIT_FOR", release);

    test::LoopbackClient first(bridge->port());
    first.send(test::post("/compose", bridge->token(), R"({"source":"C4","name":"song"})"));
    ASSERT_TRUE(test::waitUntil([&] { return toolRan(); })) << "the tool never started";
    test::LoopbackClient second(bridge->port());
    second.send(test::post("/compose", bridge->token(), R"({"source":"D4","name":"later"})"));

    EXPECT_EQ(test::roundTrip(bridge->port(), "GET /health HTTP/1.1\r\n\r\n").status, 200);
    EXPECT_EQ(test::roundTrip(bridge->port(), "OPTIONS /compose HTTP/1.1\r\n\r\n").status, 204);
    EXPECT_EQ(postJob("/compose", "{}").status, 400);
    EXPECT_EQ(test::roundTrip(bridge->port(), test::post("/master", "", "{}")).status, 401);
    EXPECT_THAT(entriesOf(runtime), ElementsAre("song.morvane"));

    std::ofstream(release) << "go";
    EXPECT_EQ(test::parseAnswer(first.readAll()).status, 200);
    EXPECT_EQ(test::parseAnswer(second.readAll()).status, 200);
    EXPECT_EQ(record()["source"], "D4") << "the second job ran after the first";
    EXPECT_THAT(entriesOf(runtime), IsEmpty());
}

}  // namespace
}  // namespace nerix
