// The windowless bridge program, as a web developer or a benchmark runs it.
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "jobs/job_endpoint_fixture.h"
#include "support/bridge_process.h"
#include "support/loopback_client.h"

namespace nerix {
namespace {

// One line on standard output says where it listens; the log line on standard error never
// holds the token; SIGTERM and SIGINT stop it cleanly.
TEST(BridgeProgram, PrintsWhereItListensServesAndStopsOnSignal) {
    for (int signal : {SIGTERM, SIGINT}) {
        test::BridgeProcess bridge("/usr/bin/node", "/tmp", /*keepErrors=*/true);
        const std::string port = std::to_string(bridge.port());
        EXPECT_NE(bridge.port(), 0);
        EXPECT_EQ(bridge.token().size(), 44u);
        EXPECT_EQ(bridge.announcement(), (nlohmann::json{{"port", bridge.port()},
                                                         {"origin", "http://127.0.0.1:" + port},
                                                         {"token", bridge.token()}}));
        EXPECT_EQ(test::roundTrip(bridge.port(), "GET /health HTTP/1.1\r\n\r\n").status, 200);
        EXPECT_EQ(test::roundTrip(bridge.port(), test::post("/nowhere", bridge.token(), "")).status, 404);
        EXPECT_EQ(bridge.stop(signal), 0);
        EXPECT_EQ(bridge.errors(), "NerixBridge listening on 127.0.0.1:" + port + "\n");
    }
}

using BridgeProgramUsage = test::ScratchTest;

TEST_F(BridgeProgramUsage, MissingArgumentsGiveUsageOnStandardErrorAndStatusTwo) {
    std::string command = test::BridgeProcess::program() + " /usr/bin/node >" + root + "/out 2>" + root + "/err";
    int status = std::system(command.c_str());
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_EQ(test::contentOf(root + "/out"), "");
    EXPECT_THAT(test::contentOf(root + "/err"), ::testing::HasSubstr("usage: vantorel-bridge NODE_PATH REPO_ROOT"));
}

}  // namespace
}  // namespace nerix
