// POST /master over real loopback sockets, with a tool that records what it was given.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "jobs/job_endpoint_fixture.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;
using test::JobEndpointTest;
using ::testing::ElementsAre;
using ::testing::StartsWith;

using MasterTest = JobEndpointTest;

const nlohmann::json kRefusal = {{"error", "missing 'manifest' (path to .master.json)"}};

TEST_F(MasterTest, EveryUnusableBodyGetsTheSameRefusalAndRunsNothing) {
    for (std::string body : {"", R"({"manifest":3})", R"({"manifest":"a\u0000.master.json"})"}) {
        auto answer = postJob("/master", body);
        EXPECT_EQ(answer.status, 400) << body;
        EXPECT_EQ(bodyOf(answer), kRefusal) << body;
    }
    EXPECT_FALSE(toolRan());
}

TEST_F(MasterTest, ArgumentsFollowTheBody) {
    struct Case {
        std::string body;
        std::vector<std::string> args;
    };
    for (const Case& c : std::vector<Case>{
             {R"({"manifest":""})", {"master", "run", ""}},
             {R"({"manifest":"album.master.json","output":12})", {"master", "run", "album.master.json"}},
             {R"({"output":"","manifest":"a b/c.master.json"})", {"master", "run", "a b/c.master.json", "-o", ""}},
         }) {
        fs::remove(recordPath());
        auto answer = postJob("/master", c.body);
        EXPECT_EQ(answer.status, 200) << c.body;
        EXPECT_EQ(toolArgs(), c.args) << c.body;
    }
}

TEST_F(MasterTest, SuccessDropsStandardError) {
    saveAndSet("RECORD_TOOL_STDOUT", "mastered to out/album.wav\n");
    saveAndSet("RECORD_TOOL_STDERR", "note: clipping avoided\n");
    auto answer = postJob("/master", R"({"manifest":"album.master.json","output":"out/album.wav"})");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(bodyOf(answer), (nlohmann::json{{"ok", true}, {"stdout", "mastered to out/album.wav\n"}}));
    EXPECT_THAT(toolArgs(), ElementsAre("master", "run", "album.master.json", "-o", "out/album.wav"));
}

TEST_F(MasterTest, AFailingToolGivesItsExitCodeAndBothStreams) {
    saveAndSet("RECORD_TOOL_EXIT", "2");
    saveAndSet("RECORD_TOOL_STDOUT", "reading manifest");
    saveAndSet("RECORD_TOOL_STDERR", "no such file: album.master.json");
    auto answer = postJob("/master", R"({"manifest":"album.master.json"})");
    EXPECT_EQ(answer.status, 500);
    EXPECT_EQ(bodyOf(answer), (nlohmann::json{{"error", "master failed"},
                                               {"exitCode", 2},
                                               {"stdout", "reading manifest"},
                                               {"stderr", "no such file: album.master.json"}}));
}

TEST_F(MasterTest, AMissingNodeExecutable) {
    startBridge(root + "/no/such/node");
    auto answer = postJob("/master", R"({"manifest":"album.master.json"})");
    EXPECT_EQ(answer.status, 500);
    nlohmann::json body = bodyOf(answer);
    EXPECT_EQ(body["error"], "master failed");
    EXPECT_EQ(body["exitCode"], -1);
    EXPECT_EQ(body["stdout"], "");
    EXPECT_THAT(body.value("stderr", ""), StartsWith("spawn failed: "));
}

}  // namespace
}  // namespace nerix
