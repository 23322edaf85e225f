// The bridge over real loopback sockets.
#include "bridge/nerix_bridge.h"

#include <dirent.h>
#include <fcntl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <regex>
#include <set>

#include "support/loopback_client.h"

namespace nerix {
namespace {

using test::roundTrip;
using test::LoopbackClient;
using test::parseAnswer;
using test::post;
using ::testing::ElementsAre;

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        BridgeOptions options;
        options.log = [this](std::string_view line) {
            std::lock_guard lock(logMutex);
            logLines.emplace_back(line);
        };
        bridge = std::make_shared<NerixBridge>("/nonexistent/node", "/nonexistent/repo", options);
        bridge->start();
        ASSERT_NE(bridge->port(), 0);
        port = bridge->port();
    }

    std::vector<std::string> loggedLines() {
        std::lock_guard lock(logMutex);
        return logLines;
    }

    std::shared_ptr<NerixBridge> bridge;
    std::uint16_t port = 0;
    std::mutex logMutex;
    std::vector<std::string> logLines;
};

const std::vector<std::string> kFixedHeaders = {
    "Content-Type: application/json",
    "Content-Length: 0",
    "Access-Control-Allow-Origin: *",
    "Access-Control-Allow-Headers: Content-Type, X-Nerix-Token",
    "Access-Control-Allow-Methods: GET, POST, OPTIONS",
    "Connection: close",
};

TEST_F(BridgeTest, StartsListeningAndSaysSoOnce) {
    roundTrip(port, "GET /health HTTP/1.1\r\n\r\n");  // served only after the ready step has logged
    EXPECT_THAT(loggedLines(), ElementsAre("NerixBridge listening on 127.0.0.1:" + std::to_string(port)));
}

TEST_F(BridgeTest, PreflightOnAnyPathWithoutToken) {
    for (std::string path : {"/compose", "/no/such/thing", "*"}) {
        auto answer = roundTrip(port, "OPTIONS " + path + " HTTP/1.1\r\nOrigin: null\r\n\r\n");
        EXPECT_EQ(answer.statusLine, "HTTP/1.1 204 No Content");
        EXPECT_EQ(answer.headerLines, kFixedHeaders);
        EXPECT_EQ(answer.body, "");
    }
}

TEST_F(BridgeTest, HealthWithoutToken) {
    auto answer = roundTrip(port, "GET /health HTTP/1.1\r\n\r\n");
    EXPECT_EQ(answer.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(nlohmann::json::parse(answer.body), (nlohmann::json{{"ok", true}, {"version", "0.2.0"}}));
    EXPECT_EQ(answer.headers["Content-Length"], std::to_string(answer.body.size()));
}

TEST_F(BridgeTest, RefusesMissingWrongOrMiscasedTokens) {
    std::string miscased = bridge->token();
    for (char& c : miscased)
        if (std::isalpha(static_cast<unsigned char>(c))) {
            c = static_cast<char>(std::isupper(static_cast<unsigned char>(c)) ? std::tolower(c) : std::toupper(c));
            break;
        }
    for (const std::string& request :
         {post("/compose", "", "{}"), post("/compose", "wrong", "{}"), post("/master", miscased, "{}"),
          post("/nowhere", "", ""), std::string("GET\r\n\r\n"), std::string("\xff\xfe / HTTP/1.1\r\n\r\n")}) {
        auto answer = roundTrip(port, request);
        EXPECT_EQ(answer.status, 401) << request;
        EXPECT_EQ(answer.body, R"({"error":"missing or invalid X-Nerix-Token"})");
    }
}

TEST_F(BridgeTest, TokenHeaderNameIsCaseBlind) {
    auto answer = roundTrip(port, "POST /a/b HTTP/1.1\r\nX-NERIX-TOKEN:   " + bridge->token() + "  \r\n\r\n");
    EXPECT_EQ(answer.status, 404);
    EXPECT_EQ(answer.body, R"({"error":"no route for POST \/a\/b"})");
}

TEST_F(BridgeTest, HeadTerminatorSplitAcrossReceives) {
    LoopbackClient client(port);
    client.send("GET /health HTTP/1.1\r\nHost: x\r\n\r");
    EXPECT_FALSE(client.closedWithoutData(std::chrono::milliseconds(100)));  // still waiting for us
    client.send("\n");
    EXPECT_EQ(parseAnswer(client.readAll()).status, 200);
}

TEST_F(BridgeTest, BodyArrivingOneByteAtATime) {
    std::string request = post("/nowhere", bridge->token(), std::string(300, 'x'));
    LoopbackClient client(port);
    for (char c : request) client.send(std::string(1, c));
    auto answer = parseAnswer(client.readAll());
    EXPECT_EQ(answer.status, 404);
}

TEST_F(BridgeTest, OneAnswerPerConnectionAndTrailingBytesIgnored) {
    LoopbackClient client(port);
    client.send("GET /health HTTP/1.1\r\n\r\nGET /health HTTP/1.1\r\n\r\nOPTIONS / HTTP/1.1\r\n\r\n");
    std::string raw = client.readAll();
    auto answer = parseAnswer(raw);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(raw.find("HTTP/1.1", 1), std::string::npos) << raw;

    // A second request on an answered connection gets nothing.
    LoopbackClient second(port);
    second.send("GET /health HTTP/1.1\r\n\r\n");
    EXPECT_EQ(parseAnswer(second.readAll()).status, 200);
    try {
        second.send("GET /health HTTP/1.1\r\n\r\n");
    } catch (const std::exception&) {
    }
    EXPECT_EQ(second.readAll(std::chrono::milliseconds(200)), "");
}

TEST_F(BridgeTest, RequestCompletedByTheEndOfTheStreamIsAnswered) {
    LoopbackClient client(port);
    client.send("GET /health HTTP/1.1\r\n\r\n");
    client.shutdownWrite();
    EXPECT_EQ(parseAnswer(client.readAll()).status, 200);
}

TEST_F(BridgeTest, PeerThatStopsEarlyGetsNoAnswer) {
    LoopbackClient client(port);
    client.send("POST /compose HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc");
    client.shutdownWrite();
    EXPECT_EQ(client.readAll(), "");
    // The bridge is none the worse for it.
    EXPECT_EQ(roundTrip(port, "GET /health HTTP/1.1\r\n\r\n").status, 200);
}

TEST_F(BridgeTest, OversizedRequestsAreRefusedWith413) {
    {
        LoopbackClient client(port);
        client.send("GET / HTTP/1.1\r\nX: " + std::string(70 * 1024, 'a'));
        auto answer = parseAnswer(client.readAll());
        EXPECT_EQ(answer.statusLine, "HTTP/1.1 413 Payload Too Large");
        EXPECT_EQ(answer.body, R"({"error":"request too large"})");
    }
    {
        // The answer arrives even while the peer is still sending its body.
        LoopbackClient client(port);
        client.send("POST /compose HTTP/1.1\r\nContent-Length: 100000000\r\n\r\n" + std::string(256 * 1024, 'z'));
        auto answer = parseAnswer(client.readAll());
        EXPECT_EQ(answer.status, 413);
    }
}

BridgeOptions quiet() {
    BridgeOptions options;
    options.log = [](std::string_view) {};
    return options;
}

TEST(BridgeConstruction, TokenIsFreshBase64OfThirtyTwoBytes) {
    std::set<std::string> tokens;
    const std::regex base64("^[A-Za-z0-9+/]{43}=$");
    for (int i = 0; i < 4; ++i) {
        NerixBridge bridge("/n", "/r", quiet());
        EXPECT_TRUE(std::regex_match(bridge.token(), base64)) << bridge.token();
        tokens.insert(bridge.token());
    }
    EXPECT_EQ(tokens.size(), 4u);
}

TEST(BridgeConstruction, CliEntryJoinsWithOneSlash) {
    NerixBridge plain("/usr/bin/node", "/opt/app", quiet());
    NerixBridge slashed("/usr/bin/node", "/opt/app/", quiet());
    EXPECT_EQ(plain.cliEntry(), "/opt/app/packages/cli/dist/index.js");
    EXPECT_EQ(slashed.cliEntry(), "/opt/app/packages/cli/dist/index.js");
    EXPECT_EQ(slashed.repoRoot(), "/opt/app/");
    EXPECT_EQ(plain.nodePath(), "/usr/bin/node");
    EXPECT_EQ(plain.port(), 0);  // not started
}

TEST(BridgeConstruction, RandomSourceFailure) {
    BridgeOptions options;
    options.random = [](void*, std::size_t) { return -1; };
    try {
        NerixBridge bridge("/n", "/r", options);
        FAIL() << "construction should fail";
    } catch (const NerixError& error) {
        EXPECT_EQ(error.domain(), "NerixBridge");
        EXPECT_EQ(error.code(), 1);
        EXPECT_EQ(error.description(), "SecRandomCopyBytes failed");
    }
}

// Unfinished requests are bounded: the oldest gives way to one too many, and a peer that is quiet
// for too long, or has not finished in all, is closed without an answer.
TEST(BridgeLimits, UnfinishedRequestsCannotHoldTheBridge) {
    BridgeOptions options = quiet();
    options.limits = RequestLimits{std::chrono::milliseconds(1000), std::chrono::milliseconds(2500), 3};
    auto bridge = std::make_shared<NerixBridge>("/n", "/r", options);
    bridge->start();
    ASSERT_NE(bridge->port(), 0);
    std::vector<std::unique_ptr<LoopbackClient>> peers;
    for (int i = 0; i < 4; ++i) {
        peers.push_back(std::make_unique<LoopbackClient>(bridge->port()));
        peers.back()->send("GET /health HTTP/1.1\r\n");
    }
    EXPECT_TRUE(peers[0]->closedWithoutData());
    peers[3]->send("\r\n");
    EXPECT_EQ(parseAnswer(peers[3]->readAll()).status, 200);

    LoopbackClient silent(bridge->port());
    LoopbackClient slow(bridge->port());
    bool slowClosed = false;
    for (int i = 0; i < 200 && !slowClosed; ++i) {
        slowClosed = slow.closedWithoutData(std::chrono::milliseconds(100));
        try {
            if (!slowClosed) slow.send("x");
        } catch (const std::exception&) {
        }
    }
    EXPECT_TRUE(slowClosed) << "a peer that trickles for ever";
    EXPECT_TRUE(silent.closedWithoutData(std::chrono::seconds(20))) << "a peer that sends nothing";
}

std::vector<int> socketsOnPort(std::uint16_t port) {
    std::vector<int> found;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dirent* entry = ::readdir(dir)) {
        int fd = std::atoi(entry->d_name);
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (fd > 2 && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
            address.sin_family == AF_INET && ntohs(address.sin_port) == port)
            found.push_back(fd);
    }
    ::closedir(dir);
    return found;
}

TEST_F(BridgeTest, EveryDescriptorIsCloseOnExec) {
    LoopbackClient pending(port);
    pending.send("GET /health HTTP/1.1\r\n");  // keeps one accepted connection open
    // Wait until the bridge holds the accepted connection: listener plus one server side.
    std::vector<int> fds;
    for (int i = 0; i < 500 && fds.size() < 2; ++i) {
        fds = socketsOnPort(port);
        if (fds.size() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_GE(fds.size(), 2u);
    for (int fd : fds) EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << "fd " << fd;
}

}  // namespace
}  // namespace nerix
