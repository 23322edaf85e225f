// The bridge in this process over real loopback sockets: what each request is answered, how a
// request may arrive, and what the bridge holds; and the windowless bridge program, as a web
// developer or a benchmark runs it.
#include "bridge/nerix_bridge.h"

#include <fcntl.h>
#include <deque>

#include <gtest/gtest.h>

#include "base/version.h"
#include "common/scratch.h"
#include "support/loopback_client.h"
#include "support/process_probe.h"

namespace nerix {
namespace {

using namespace support;

const std::string kHealth = "GET /health HTTP/1.1\r\n\r\n";

const BridgeOptions kQuiet{.random = {}, .log = [](std::string_view) {}, .limits = {}};

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        bridge = std::make_shared<NerixBridge>("/nonexistent/node", "/nonexistent/repo", kQuiet);
        bridge->start();
        ASSERT_NE(port = bridge->port(), 0);
    }

    std::shared_ptr<NerixBridge> bridge;
    std::uint16_t port = 0;
};

// Preflight and health need no token; everything else needs the token under a header name of
// any case, and a request the parser refuses is answered 401 as well. The head lines come in a
// fixed order, the body is compact JSON with escaped slashes.
TEST_F(BridgeTest, EachRequestGetsItsAnswer) {
    const std::string refused = R"({"error":"missing or invalid X-Nerix-Token"})";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        // request, status, body
        {"OPTIONS /compose HTTP/1.1\r\nOrigin: null\r\n\r\n", "204 No Content", ""},
        {kHealth, "200 OK", R"({"ok":true,"version":")" + std::string(kBridgeApiVersion) + "\"}"},
        {post("/compose", "", "{}"), "401 Unauthorized", refused},
        {"\xff\xfe / HTTP/1.1\r\n\r\n", "401 Unauthorized", refused},
        {"POST /a/b HTTP/1.1\r\nX-NERIX-TOKEN:   " + bridge->token() + "  \r\n\r\n", "404 Not Found",
         R"({"error":"no route for POST \/a\/b"})"},
        {"GET / HTTP/1.1\r\nX: " + std::string(70 * 1024, 'a'), "413 Payload Too Large",
         R"({"error":"request too large"})"},
    };
    for (const auto& [request, status, body] : cases) {
        auto answer = roundTrip(port, request);
        EXPECT_EQ(answer.statusLine, "HTTP/1.1 " + status) << request.substr(0, 40);
        EXPECT_EQ(answer.body, body);
        EXPECT_EQ(answer.headerLines, (std::vector<std::string>{
                                          "Content-Type: application/json",
                                          "Content-Length: " + std::to_string(body.size()),
                                          "Access-Control-Allow-Origin: *",
                                          "Access-Control-Allow-Headers: Content-Type, X-Nerix-Token",
                                          "Access-Control-Allow-Methods: GET, POST, OPTIONS",
                                          "Connection: close",
                                      }));
    }
}

// A request is answered once only, even with another behind it, and the end of the peer's
// stream may complete it; a peer with the token that stops early gets nothing (one without it
// gets its 401 as soon as the head is in: load_integration_test); a peer still sending a body
// too large for any request gets its 413 at once.
TEST_F(BridgeTest, ARequestIsAnsweredOnceWhenWhole) {
    {
        LoopbackClient client(port);
        client.send(kHealth + kHealth + "OPTIONS / HTTP/1.1\r\n\r\n");
        client.shutdownWrite();
        std::string raw = client.readAll();
        EXPECT_EQ(parseAnswer(raw).status, 200);
        EXPECT_EQ(raw.find("HTTP/1.1", 1), std::string::npos) << raw;
    }
    {
        LoopbackClient client(port);
        client.send("POST /compose HTTP/1.1\r\nX-Nerix-Token: " + bridge->token() +
                    "\r\nContent-Length: 10\r\n\r\nabc");
        client.shutdownWrite();
        EXPECT_EQ(client.readAll(), "");
    }
    LoopbackClient client(port);
    client.send("POST /compose HTTP/1.1\r\nContent-Length: 100000000\r\n\r\n");
    for (int i = 0; i < 64; ++i) client.send(std::string(64 * 1024, 'z'));  // a reset would end this
    EXPECT_EQ(parseAnswer(client.readAll()).status, 413);
}

// A host without standard input hands descriptor 0 to the next connection: it is served like
// any other, and closed after.
TEST_F(BridgeTest, AConnectionOnDescriptorZero) {
    LoopbackClient client(port);
    const int savedIn = ::fcntl(0, F_DUPFD_CLOEXEC, 10);
    ::close(0);
    client.send(kHealth);
    EXPECT_EQ(parseAnswer(client.readAll()).status, 200);
    EXPECT_TRUE(waitFor([] { return ::fcntl(0, F_GETFD) == -1; })) << "descriptor 0 is still open";
    ::dup2(savedIn, 0), ::close(savedIn);
}

// No descriptor of the bridge (the listener, an accepted connection) may leak into a process
// its host starts.
TEST_F(BridgeTest, EveryDescriptorIsCloseOnExec) {
    LoopbackClient pending(port);
    pending.send("GET /health HTTP/1.1\r\n");  // keeps one accepted connection open
    std::vector<int> fds;
    ASSERT_TRUE(waitFor([&] {
        fds.clear();
        for (int fd : descriptorsOf(::getpid())) {
            sockaddr_in address{};
            socklen_t length = sizeof address;
            if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && length == sizeof address &&
                address.sin_family == AF_INET && ntohs(address.sin_port) == port)
                fds.push_back(fd);
        }
        return fds.size() >= 2;
    }));
    for (int fd : fds) EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << "fd " << fd;
}

// A peer that is quiet for too long, or has not finished in all, is closed without an answer.
// (The oldest unfinished request giving way to one too many: load_integration_test's flood.)
TEST(BridgeLimits, UnfinishedRequestsCannotHoldTheBridge) {
    BridgeOptions options = kQuiet;
    options.limits = RequestLimits{std::chrono::milliseconds(1000), std::chrono::milliseconds(2500), 3};
    auto bridge = std::make_shared<NerixBridge>("/n", "/r", options);
    bridge->start();
    ASSERT_NE(bridge->port(), 0);
    LoopbackClient silent(bridge->port()), slow(bridge->port());
    bool slowClosed = false;
    for (int i = 0; i < 200 && !slowClosed; ++i) try {
            if (!(slowClosed = slow.closedWithoutData(std::chrono::milliseconds(100)))) slow.send("x");
        } catch (const std::exception&) {}
    EXPECT_TRUE(slowClosed) << "a peer that trickles for ever";
    EXPECT_TRUE(silent.closedWithoutData(std::chrono::seconds(20))) << "a peer that sends nothing";
}

// One line on standard output says where it listens; the log line on standard error never
// holds the token; SIGTERM and SIGINT stop it cleanly; without its two arguments it says how it
// is used on standard error alone and ends with status 2.
TEST(BridgeProgram, PrintsWhereItListensServesAndStopsOnSignal) {
    for (int signal : {SIGTERM, SIGINT}) {
        BridgeProcess bridge("/usr/bin/node", "/tmp", /*keepErrors=*/true);
        const std::string port = std::to_string(bridge.port());
        EXPECT_NE(bridge.port(), 0);
        EXPECT_EQ(bridge.token().size(), 44u);
        EXPECT_EQ(bridge.announcement(),
                  (nlohmann::json{
                      {"port", bridge.port()}, {"origin", "http://127.0.0.1:" + port}, {"token", bridge.token()}}));
        EXPECT_EQ(roundTrip(bridge.port(), kHealth).status, 200);
        EXPECT_EQ(roundTrip(bridge.port(), post("/nowhere", bridge.token(), "")).status, 404);
        EXPECT_EQ(bridge.stop(signal), 0);
        EXPECT_EQ(bridge.errors(), "NerixBridge listening on 127.0.0.1:" + port + "\n");
    }
    // Standard error, the status, then standard output.
    const std::string usage = BridgeProcess::program() + " /usr/bin/node";
    EXPECT_EQ(test::capture(usage + " 2>&1 >/dev/null; echo $?; " + usage + " 2>/dev/null"),
              "usage: vantorel-bridge NODE_PATH REPO_ROOT\n2\n");
}

// Unfinished bodies are held up to 256 MiB all together: five peers with that much between them are each answered.
TEST_F(BridgeTest, UnfinishedBodiesAreHeldUpTo256MiBAllTogether) {
    const std::string request = post("/master", bridge->token(), std::string(256 * 1024 * 1024 / 5 - 200, 'x'));
    std::deque<LoopbackClient> peers;
    for (int i = 0; i < 5; ++i) peers.emplace_back(port).send(std::string_view(request).substr(0, request.size() - 1));
    ASSERT_TRUE(waitFor([&] { return bytesInFlight(port) == 0; }));  // all but each one's last byte read
    for (auto& peer : peers) EXPECT_EQ((peer.send("x"), parseAnswer(peer.readAll()).status), 400);
}

}  // namespace
}  // namespace nerix
