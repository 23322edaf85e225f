// The windowless bridge program, as a web developer or a benchmark runs it.
#include <gtest/gtest.h>

#include "common/scratch.h"
#include "support/loopback_client.h"
#include "support/process_probe.h"

namespace nerix {
namespace {

// One line on standard output says where it listens; the log line on standard error never
// holds the token; SIGTERM and SIGINT stop it cleanly; without its two arguments it says how it
// is used on standard error alone and ends with status 2.
TEST(BridgeProgram, PrintsWhereItListensServesAndStopsOnSignal) {
    for (int signal : {SIGTERM, SIGINT}) {
        support::BridgeProcess bridge("/usr/bin/node", "/tmp", /*keepErrors=*/true);
        const std::string port = std::to_string(bridge.port());
        EXPECT_NE(bridge.port(), 0);
        EXPECT_EQ(bridge.token().size(), 44u);
        EXPECT_EQ(bridge.announcement(),
                  (nlohmann::json{
                      {"port", bridge.port()}, {"origin", "http://127.0.0.1:" + port}, {"token", bridge.token()}}));
        EXPECT_EQ(support::roundTrip(bridge.port(), "GET /health HTTP/1.1\r\n\r\n").status, 200);
        EXPECT_EQ(support::roundTrip(bridge.port(), support::post("/nowhere", bridge.token(), "")).status, 404);
        EXPECT_EQ(bridge.stop(signal), 0);
        EXPECT_EQ(bridge.errors(), "NerixBridge listening on 127.0.0.1:" + port + "\n");
    }
    // Standard error, the status, then standard output.
    const std::string usage = support::BridgeProcess::program() + " /usr/bin/node";
    EXPECT_EQ(test::capture(usage + " 2>&1 >/dev/null; echo $?; " + usage + " 2>/dev/null"),
              "usage: vantorel-bridge NODE_PATH REPO_ROOT\n2\n");
}

}  // namespace
}  // namespace nerix
