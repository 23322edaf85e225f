// Routing decisions and the token, without sockets.
#include <algorithm>
#include <array>

#include <gtest/gtest.h>

#include "base/version.h"
#include "bridge/router.h"
#include "bridge/token.h"
#include "platform/posix/random.h"

namespace nerix {
namespace {

const std::string kToken = "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWY=";

// Only preflight (any path) and GET /health pass without the token; everything else needs it
// exactly (no byte more, less or other), and an unknown route names its method and path. A
// job would be a fault here.
TEST(Routing, WhatIsAnsweredAtOnce) {
    std::string lowered = kToken, flipped = kToken, firstFlipped = kToken;
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    flipped[43] = 'A';
    firstFlipped[0] ^= 1;
    const nlohmann::json refused{{"error", "missing or invalid X-Nerix-Token"}};
    struct Case {
        std::string method, path;
        std::optional<std::string> token;  // the X-Nerix-Token header, when there is one
        int status;
        nlohmann::json body;  // null: none
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
    };
    for (const auto& c : cases) {
        std::map<std::string, std::string> headers;
        if (c.token) headers["x-nerix-token"] = *c.token;
        auto routed = dispatch(Request{c.method, c.path, headers, ""}, kToken);
        ASSERT_TRUE(std::holds_alternative<Response>(routed)) << c.method << " " << c.path;
        const Response& answer = std::get<Response>(routed);
        EXPECT_EQ(answer.status, c.status) << c.method << " " << c.path;
        EXPECT_EQ(answer.json.value_or(nullptr), c.body) << c.method << " " << c.path;
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
