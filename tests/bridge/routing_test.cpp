// The bridge without sockets: routing decisions, the token, and a job's output on its way into an
// answer (cut at character boundaries wherever the reads split it, escaped for a plain answer,
// empty when not UTF-8, or framed as live lines, bad bytes as U+FFFD).
#include <algorithm>
#include <array>
#include <set>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "base/version.h"
#include "bridge/escaped_stream.h"
#include "bridge/live_stream.h"
#include "bridge/router.h"
#include "bridge/token.h"
#include "http/answer_writer.h"
#include "http/json_writer.h"
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

const std::string kBad = "\xEF\xBF\xBD";  // U+FFFD

TEST(JobOutput, WhereverTheReadsSplitTheStreamTheTextIsTheSame) {
    const std::pair<std::string, std::string> samples[] = {
        // the bytes, the text the live lines carry
        {"plain \"ascii\" /\n\x01", "plain \"ascii\" /\n\x01"},
        {"a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z", "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z"},
        {"ab\200cd", "ab" + kBad + "cd"},                 // stray continuation byte
        {"ab\xe2\x82", "ab" + kBad},                      // cut short at the end
        {"\xe2\x82\141\xac", kBad + "a" + kBad},          // lead byte interrupted
        {"\xc0\xaf", kBad + kBad},                        // overlong "/"
        {"\xed\xa0\x80", kBad + kBad + kBad},             // surrogate
        {"\xf4\x90\x80\x80", kBad + kBad + kBad + kBad},  // beyond U+10FFFF
        {"\xf0\x9f\x98\x80\x80\x80", "\xf0\x9f\x98\x80" + kBad + kBad},
        {"x\xff\xf0\x9f\x98\x80\x80\x80\x80\x80", "x" + kBad + "\xf0\x9f\x98\x80" + kBad + kBad + kBad + kBad},
        // the first and last character of each lead byte's range (U+0080, U+07FF, U+0800,
        // U+D7FF, U+FFFF, U+10000, U+3FFFF, U+10FFFF) behind a bad byte, which makes the live
        // lines judge each of them; then just outside the ranges the second byte allows
        {"\xff\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf\xf0\x90\x80\x80\xf0\xbf\xbf\xbf\xf4\x8f\xbf\xbf",
         kBad + "\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf\xf0\x90\x80\x80\xf0\xbf\xbf\xbf\xf4\x8f\xbf\xbf"},
        {"\xe0\x9f\xbf\xc1\xbf\xf5\x80\xf0\x8f\xbf\xbf",
         kBad + kBad + kBad + kBad + kBad + kBad + kBad + kBad + kBad + kBad + kBad},
    };
    for (const auto& [bytes, expected] : samples) {
        const bool utf8 = expected == bytes;  // then the plain answer holds it escaped, else nothing
        std::string escaped;
        appendJsonEscaped(escaped, bytes);
        const std::string_view all = bytes;
        for (std::size_t i = 0; i <= bytes.size(); ++i)
            for (std::size_t j = i; j <= bytes.size(); ++j) {
                const std::string_view reads[] = {all.substr(0, i), all.substr(i, j - i), all.substr(j)};
                LiveStream live;
                EscapedStream plain;
                std::string text;
                // Each read's text as its live chunk carries it: the size line, then the line.
                auto take = [&](LiveText read) {
                    auto chunk = liveOutputChunk("stderr", read.first, read.second);
                    if (chunk.empty()) return;
                    ASSERT_EQ(chunk.size(), 2u);
                    const std::string& line = chunk[1];
                    ASSERT_TRUE(line.ends_with("}\n\r\n")) << line;
                    EXPECT_EQ(std::stoul(chunk[0], nullptr, 16), line.size() - 2) << chunk[0];
                    auto json = nlohmann::json::parse(line);
                    ASSERT_EQ(json.size(), 1u);
                    text += json.at("stderr").get<std::string>();
                };
                for (auto read : reads) {
                    take(live.text(read));
                    plain.add(read);
                }
                take(live.finish());
                plain.finish();
                std::string joined;
                for (const auto& piece : plain.take()) joined += piece;
                EXPECT_EQ(text, expected) << testing::PrintToString(bytes) << " split at " << i << ", " << j;
                EXPECT_EQ(joined, utf8 ? escaped : "") << testing::PrintToString(bytes) << " at " << i << ", " << j;
            }
    }
}

}  // namespace
}  // namespace nerix
