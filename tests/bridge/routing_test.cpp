// Routing decisions and the token, without sockets.
#include <algorithm>
#include <array>
#include <set>

#include <gtest/gtest.h>

#include "base/version.h"
#include "bridge/router.h"
#include "bridge/token.h"
#include "platform/posix/random.h"

namespace nerix {
namespace {

const std::string kToken = "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWY=";

// Only preflight (any path) and GET /health pass without the token; everything else needs it
// exactly (no byte more, less or other) and once, and an unknown route names its method and
// path. A Host names our loopback (with our port or none) or the request is misdirected, before
// all else; without one it is served. A job would be a fault here.
TEST(Routing, WhatIsAnsweredAtOnce) {
    std::string lowered = kToken, flipped = kToken, firstFlipped = kToken;
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    flipped[43] = 'A';
    firstFlipped[0] ^= 1;
    const nlohmann::json refused{{"error", "missing or invalid X-Nerix-Token"}};
    const nlohmann::json misdirected{{"error", "unknown Host"}};
    const nlohmann::json noRoute{{"error", "no route for POST /nowhere"}};
    struct Case {
        std::string method, path;
        std::optional<std::string> token;  // the X-Nerix-Token header, when there is one
        int status;
        nlohmann::json body;                   // null: none
        std::optional<std::string> host = {};  // the Host header, when there is one
        std::set<std::string> repeated = {};   // headers sent more than once
    };
    const Case cases[] = {
        {"OPTIONS", "/no/such/route", {}, 204, nullptr},
        {"GET", "/health", {}, 200, {{"ok", true}, {"version", kBridgeApiVersion}}},
        {"POST", "/health", {}, 401, refused},
        {"GET", "/health/", {}, 401, refused},
        {"GET", "/health?x", {}, 401, refused},
        {"options", "/", {}, 401, refused},
        {"BAD", "/", {}, 401, refused},
        {"POST", "/compose", lowered, 401, refused},
        {"POST", "/nowhere", kToken + "x", 401, refused},
        {"POST", "/nowhere", "", 401, refused},
        {"POST", "/nowhere", kToken.substr(0, 43), 401, refused},
        {"POST", "/nowhere", flipped, 401, refused},
        {"POST", "/nowhere", firstFlipped, 401, refused},
        {"POST", "/health", kToken, 404, {{"error", "no route for POST /health"}}},
        {"GET", "/compose", kToken, 404, {{"error", "no route for GET /compose"}}},
        {"POST", "/nowhere", kToken, 401, refused, {}, {"x-nerix-token"}},
        {"POST", "/nowhere", kToken, 404, noRoute, {}, {"x-other"}},
        {"POST", "/nowhere", kToken, 404, noRoute, "127.0.0.1:4711"},
        {"POST", "/nowhere", kToken, 404, noRoute, "LocalHost"},
        {"GET", "/health", {}, 200, {{"ok", true}, {"version", kBridgeApiVersion}}, "localhost:4711"},
        {"POST", "/nowhere", kToken, 404, noRoute, "127.0.0.1"},
        {"OPTIONS", "/", {}, 421, misdirected, "rebound.example:4711"},
        {"GET", "/health", {}, 421, misdirected, "localhost:4712"},
        {"POST", "/nowhere", kToken, 421, misdirected, "127.0.0.2:4711"},
        {"POST", "/nowhere", kToken, 421, misdirected, ""},
        {"POST", "/nowhere", kToken, 421, misdirected, "localhost.:4711"},
        {"POST", "/nowhere", kToken, 421, misdirected, "127.0.0.1", {"host"}},
        {"POST", "/nowhere", {}, 421, misdirected, "evil.example"},
    };
    for (const auto& c : cases) {
        Request request{c.method, c.path, {}, "", c.repeated};
        if (c.token) request.headers["x-nerix-token"] = *c.token;
        if (c.host) request.headers["host"] = *c.host;
        const std::string what = c.method + " " + c.path + " Host " + c.host.value_or("(none)");
        auto routed = dispatch(request, {kToken, 4711});
        ASSERT_TRUE(std::holds_alternative<Response>(routed)) << what;
        const Response& answer = std::get<Response>(routed);
        EXPECT_EQ(answer.status, c.status) << what;
        EXPECT_EQ(answer.json.value_or(nullptr), c.body) << what;
        // The head alone refuses what needs no body to refuse; preflight and health wait for it.
        auto early = answerBeforeBody(request, {kToken, 4711});
        const bool decidedByHead = c.status == 401 || c.status == 421;
        EXPECT_EQ(early.has_value(), decidedByHead) << what;
        if (early && decidedByHead) {
            EXPECT_EQ(early->json.value_or(nullptr), c.body) << what;
        }
    }
}

// Every byte of a group and every bit of each six reach the text; the system source fills
// every byte it is asked for, down to the last.
TEST(Token, Base64OfThirtyTwoRandomBytes) {
    const std::pair<std::string, std::string> encoded[] = {{"", ""},
                                                           {"f", "Zg=="},
                                                           {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},
                                                           {"\xfb\xff", "+/8="},
                                                           {"foobar", "Zm9vYmFy"},
                                                           {"\xff\xff\xff", "////"}};
    for (const auto& [bytes, text] : encoded) EXPECT_EQ(base64Encode(bytes), text);
    auto token = makeToken([](void* buffer, std::size_t size) { return std::memset(buffer, 0xAB, size), 0; });
    ASSERT_TRUE(token);
    EXPECT_EQ(token->size(), 44u);
    EXPECT_EQ(token->substr(42), "s=");
    EXPECT_FALSE(makeToken([](void*, std::size_t) { return 5; }));
    std::array<unsigned char, 64> drawn{};
    for (auto& byte : drawn) ASSERT_EQ(platform::secureRandomBytes(&byte, 1), 0);
    EXPECT_NE(std::count(drawn.begin(), drawn.end(), 0), 64);
}

}  // namespace
}  // namespace nerix
