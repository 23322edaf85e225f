// POST /verify over real loopback sockets, with a tool that records what it was given.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "jobs/job_endpoint_fixture.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;
using test::JobEndpointTest;
using ::testing::ElementsAre;
using ::testing::StartsWith;

using VerifyTest = JobEndpointTest;

TEST_F(VerifyTest, EveryUnusableBodyGetsTheSameRefusalAndRunsNothing) {
    for (std::string body : {"", R"({"wav":"a.wav","seed":42})", R"({"wav":"a.wav","seed":"42","carrier":"4\u00000"})"}) {
        auto answer = postJob("/verify", body);
        EXPECT_EQ(answer.status, 400) << body;
        EXPECT_EQ(bodyOf(answer), (nlohmann::json{{"error", "missing 'wav' or 'seed'"}})) << body;
    }
    EXPECT_FALSE(toolRan());
}

TEST_F(VerifyTest, OptionsComeInAFixedOrderWithTheirValueTexts) {
    struct Case {
        std::string body;
        std::vector<std::string> args;
    };
    for (const Case& c : std::vector<Case>{
             {R"({"wav":"take 1.wav","seed":"42"})", {"master", "verify", "take 1.wav", "--seed", "42"}},
             {R"({"nullTrials":200,"mixDb":-6.5,"carrier":440,"wav":"t.wav","seed":"7"})",
              {"master", "verify", "t.wav", "--seed", "7", "--carrier", "440", "--mix-db", "-6.5", "--null-trials",
               "200"}},
             {R"({"wav":"t.wav","seed":"7","carrier":"440","mixDb":null})",
              {"master", "verify", "t.wav", "--seed", "7", "--carrier", "440", "--mix-db", "null"}},
             {R"({"wav":"t.wav","seed":"7","nullTrials":[1, {"a" : true}]})",
              {"master", "verify", "t.wav", "--seed", "7", "--null-trials", R"([1,{"a":true}])"}},
         }) {
        fs::remove(recordPath());
        auto answer = postJob("/verify", c.body);
        EXPECT_EQ(answer.status, 200) << c.body;
        EXPECT_EQ(toolArgs(), c.args) << c.body;
    }
}

TEST_F(VerifyTest, BothOutcomesCarryOkAndBothStreamsOnly) {
    saveAndSet("RECORD_TOOL_STDOUT", "watermark found");
    saveAndSet("RECORD_TOOL_STDERR", "null trials: 200/200");
    auto passed = postJob("/verify", R"({"wav":"t.wav","seed":"7"})");
    EXPECT_EQ(passed.status, 200);
    EXPECT_EQ(bodyOf(passed),
              (nlohmann::json{{"ok", true}, {"stdout", "watermark found"}, {"stderr", "null trials: 200/200"}}));

    saveAndSet("RECORD_TOOL_EXIT", "1");
    saveAndSet("RECORD_TOOL_STDOUT", "no watermark");
    auto failed = postJob("/verify", R"({"wav":"t.wav","seed":"7"})");
    EXPECT_EQ(failed.status, 500);
    EXPECT_EQ(bodyOf(failed),
              (nlohmann::json{{"ok", false}, {"stdout", "no watermark"}, {"stderr", "null trials: 200/200"}}));
}

TEST_F(VerifyTest, AMissingNodeExecutable) {
    startBridge(root + "/no/such/node");
    auto answer = postJob("/verify", R"({"wav":"t.wav","seed":"7"})");
    EXPECT_EQ(answer.status, 500);
    nlohmann::json body = bodyOf(answer);
    EXPECT_EQ(body.size(), 3u) << answer.body;
    EXPECT_EQ(body["ok"], false);
    EXPECT_EQ(body["stdout"], "");
    EXPECT_THAT(body.value("stderr", ""), StartsWith("spawn failed: "));
}

}  // namespace
}  // namespace nerix
