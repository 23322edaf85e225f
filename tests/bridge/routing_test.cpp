// Routing decisions and the wire form of answers, without sockets.
#include <algorithm>
#include <array>

#include <gtest/gtest.h>

#include "http/json_writer.h"
#include "bridge/router.h"
#include "bridge/token.h"
#include "bridge/wire_response.h"
#include "platform/posix/random.h"

namespace nerix {
namespace {

const std::string kToken = "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWY=";

// What the router answers at once; a job would be a fault in every case here.
Response dispatchNow(const Request& r) {
    auto routed = dispatch(r, kToken);
    EXPECT_TRUE(std::holds_alternative<Response>(routed)) << r.method << " " << r.path;
    return std::holds_alternative<Response>(routed) ? std::get<Response>(routed) : Response{};
}

Request request(std::string method, std::string path, std::map<std::string, std::string> headers = {}) {
    return Request{std::move(method), std::move(path), std::move(headers), ""};
}

TEST(Routing, PreflightAndHealthNeedNoToken) {
    Response preflight = dispatchNow(request("OPTIONS", "/no/such/route"));
    EXPECT_EQ(preflight.status, 204);
    EXPECT_FALSE(preflight.json);
    Response health = dispatchNow(request("GET", "/health"));
    EXPECT_EQ(health.status, 200);
    EXPECT_EQ(*health.json, (nlohmann::json{{"ok", true}, {"version", "0.2.0"}}));
}

TEST(Routing, EverythingElseNeedsTheExactToken) {
    const nlohmann::json refused{{"error", "missing or invalid X-Nerix-Token"}};
    std::string lowered = kToken;
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const Request& r : {request("POST", "/health"), request("GET", "/health/"), request("GET", "/health?x"),
                             request("options", "/"), request("POST", "/compose", {{"x-nerix-token", lowered}}),
                             request("POST", "/nowhere", {{"x-nerix-token", kToken + "x"}}),
                             request("POST", "/nowhere", {{"x-nerix-token", ""}}), request("BAD", "/")}) {
        Response answer = dispatchNow(r);
        EXPECT_EQ(answer.status, 401) << r.method << " " << r.path;
        EXPECT_EQ(*answer.json, refused);
    }
}

TEST(Routing, UnknownRoutesNameMethodAndPath) {
    Response answer = dispatchNow(request("POST", "/health", {{"x-nerix-token", kToken}}));
    EXPECT_EQ(answer.status, 404);
    EXPECT_EQ((*answer.json)["error"], "no route for POST /health");
    Response get = dispatchNow(request("GET", "/compose", {{"x-nerix-token", kToken}}));
    EXPECT_EQ((*get.json)["error"], "no route for GET /compose");
}

TEST(Token, ComparisonIsExact) {
    EXPECT_TRUE(tokenMatches(kToken, kToken));
    EXPECT_FALSE(tokenMatches("", kToken));
    EXPECT_FALSE(tokenMatches(kToken.substr(0, 43), kToken));
    EXPECT_FALSE(tokenMatches(kToken + "=", kToken));
    std::string flipped = kToken;
    flipped[43] = 'A';
    EXPECT_FALSE(tokenMatches(flipped, kToken));
}

TEST(Token, Base64OfThirtyTwoRandomBytes) {
    EXPECT_EQ(base64Encode(""), "");
    EXPECT_EQ(base64Encode("f"), "Zg==");
    EXPECT_EQ(base64Encode("fo"), "Zm8=");
    EXPECT_EQ(base64Encode("foo"), "Zm9v");
    EXPECT_EQ(base64Encode("\xfb\xff"), "+/8=");
    // Every byte of a group and every bit of each six reach the text.
    EXPECT_EQ(base64Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64Encode("\xff\xff\xff"), "////");
    auto token = makeToken([](void* buffer, std::size_t size) {
        std::memset(buffer, 0xAB, size);
        return 0;
    });
    ASSERT_TRUE(token);
    EXPECT_EQ(token->size(), 44u);
    EXPECT_EQ(token->substr(42), "s=");
    EXPECT_FALSE(makeToken([](void*, std::size_t) { return 5; }));

    // The system source fills every byte it is asked for, down to the last.
    std::array<unsigned char, 64> drawn{};
    for (auto& byte : drawn) ASSERT_EQ(platform::secureRandomBytes(&byte, 1), 0);
    EXPECT_NE(std::count(drawn.begin(), drawn.end(), 0), 64);
}

TEST(WireResponse, HeadLinesInOrder) {
    WireResponse wire = frameResponse(Response{204, std::nullopt});
    EXPECT_EQ(wire.head,
              "HTTP/1.1 204 No Content\r\nContent-Type: application/json\r\nContent-Length: 0\r\n"
              "Access-Control-Allow-Origin: *\r\nAccess-Control-Allow-Headers: Content-Type, X-Nerix-Token\r\n"
              "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(wire.body, "");
}

TEST(WireResponse, ReasonPhrases) {
    EXPECT_EQ(reasonPhrase(200), "OK");
    EXPECT_EQ(reasonPhrase(400), "Bad Request");
    EXPECT_EQ(reasonPhrase(401), "Unauthorized");
    EXPECT_EQ(reasonPhrase(404), "Not Found");
    EXPECT_EQ(reasonPhrase(413), "Payload Too Large");
    EXPECT_EQ(reasonPhrase(500), "Internal Server Error");
    EXPECT_EQ(reasonPhrase(302), "OK");
    WireResponse wire = frameResponse(errorResponse(500, "x"));
    EXPECT_EQ(wire.head.substr(0, wire.head.find("\r\n")), "HTTP/1.1 500 Internal Server Error");
}

TEST(WireResponse, BodyIsCompactJsonWithEscapedSlashes) {
    WireResponse wire = frameResponse(errorResponse(404, "no route for GET /a/b"));
    EXPECT_EQ(wire.body, R"({"error":"no route for GET \/a\/b"})");
    EXPECT_NE(wire.head.find("Content-Length: " + std::to_string(wire.body.size()) + "\r\n"), std::string::npos);
}

TEST(JsonWriter, EscapesAndRoundTrips) {
    nlohmann::json value{{"s", std::string("q\"b\\s/t\tn\nc\x01 \xC3\xA9 \xF0\x9F\x8E\xB5", 21)},
                         {"i", -42},
                         {"u", 18446744073709551615ull},
                         {"f", -6.5},
                         {"b", false},
                         {"n", nullptr},
                         {"a", {1, "x/y"}}};
    auto text = writeJson(value);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->find(' '), text->find("\xC3\xA9") - 1);  // the only space is inside the string
    EXPECT_EQ(text->find('/'), text->find("\\/") + 1);
    EXPECT_NE(text->find("\\u0001"), std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(*text), value);
}

TEST(JsonWriter, UnwritableValuesGiveNoText) {
    EXPECT_FALSE(writeJson(nlohmann::json{{"s", "\xff"}}));
    EXPECT_FALSE(writeJson(nlohmann::json{{"f", std::numeric_limits<double>::infinity()}}));
    // An unwritable payload still frames an answer: same status, empty body.
    WireResponse wire = frameResponse(Response{500, nlohmann::json{{"s", "\xc3"}}});
    EXPECT_EQ(wire.body, "");
    EXPECT_NE(wire.head.find("HTTP/1.1 500 "), std::string::npos);
    EXPECT_NE(wire.head.find("Content-Length: 0\r\n"), std::string::npos);
}

}  // namespace
}  // namespace nerix
