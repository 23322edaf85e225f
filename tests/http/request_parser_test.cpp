#include "http/request_parser.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>

namespace nerix {
namespace {

using Outcome = ParseResult::Outcome;
using namespace std::string_literals;

// Fed the way receives would: no prefix completes a request that needs the rest.
TEST(RequestParser, IncompleteUntilTheLastByte) {
    for (std::string bytes : {"POST /compose HTTP/1.1\r\nHost: x\r\nX-Nerix-Token: abc=\r\n"
                              "Content-Length: 19\r\n\r\n{\"source\":\"C D E\"}\n"s,
                              "GET /health HTTP/1.1\r\n\r\n"s, "OPTIONS /x\r\n\r\n"s}) {
        ParseResult whole = tryParseRequest(bytes);
        ASSERT_EQ(whole.outcome, Outcome::Complete);
        EXPECT_EQ(whole.consumed, bytes.size());
        for (std::size_t cut = 0; cut < bytes.size(); ++cut)
            ASSERT_EQ(tryParseRequest(std::string_view(bytes).substr(0, cut)).outcome, Outcome::Incomplete) << cut;
    }
}

// Runs of spaces split the line; a head that is not UTF-8, has no path or a negative length is
// the placeholder BAD / at once, without waiting for a body.
TEST(RequestParser, RequestLine) {
    for (auto [bytes, expected] : std::vector<std::pair<std::string, std::string>>{
             {"GET  /health   HTTP/1.1\r\n\r\n", "GET /health"},
             {"get /a%20b?x=1#f HTTP/1.1\r\n\r\n", "get /a%20b?x=1#f"},
             {"  POST /verify\r\n\r\n", "POST /verify"},
             {"GET\r\n\r\n", "BAD /"},
             {"\r\n\r\n", "BAD /"},
             {"\r\nGET / HTTP/1.1\r\n\r\n", "BAD /"},
             {"GET\t/health\r\n\r\n", "BAD /"},
             {"   \r\n\r\n", "BAD /"},
             {"GET  \r\n\r\n", "BAD /"},
             {"GET /\xff HTTP/1.1\r\nContent-Length: 10\r\n\r\n", "BAD /"},
             {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", "BAD /"},
             {"POST / HTTP/1.1\r\nContent-Length: -9223372036854775808\r\n\r\n", "BAD /"},
             {"POST / HTTP/1.1\r\nContent-Length: -9223372036854775809\r\n\r\n", "BAD /"}}) {
        ParseResult result = tryParseRequest(bytes);
        ASSERT_EQ(result.outcome, Outcome::Complete) << bytes;
        EXPECT_EQ(result.request.method + " " + result.request.path, expected) << bytes;
        EXPECT_TRUE(expected != "BAD /" || (result.request.headers.empty() && result.request.body.empty())) << bytes;
    }
}

TEST(RequestParser, HeaderNamesAndValues) {
    Request r = tryParseRequest(
                    "GET / HTTP/1.1\r\n"
                    "  X-Nerix-TOKEN \t:  abc:def \t\r\n"
                    "no colon here\r\n"
                    "Dup: first\r\n"
                    "dup: second\r\n"
                    ": empty name\r\n"
                    "\xC3\x84rger: \xC2\xA0value\xE2\x80\x83\r\n"  // Ä, no-break space, em space
                    "\xC4\xB0\xF0\x90\x90\x80: x\r\n"              // dotted capital I, a 4-byte capital
                    "Lone: a\rb\nc\r\n"
                    "Zone-A: \t \r\n\r\n")
                    .request;
    EXPECT_EQ(r.headers, (std::map<std::string, std::string>{{"x-nerix-token", "abc:def"},
                                                             {"dup", "second"},
                                                             {"", "empty name"},
                                                             {"\xC3\xA4rger", "value"},
                                                             {"lone", "a\rb\nc"},
                                                             {"zone-a", ""},
                                                             {"i\xCC\x87\xF0\x90\x90\xA8", "x"}}));
}

// The body is exactly the announced bytes, UTF-8 or not; what follows is left alone. A length
// that is not plain digits, or two lengths that differ, leave the body to a guess: refused.
TEST(RequestParser, ContentLengthGrammar) {
    for (auto [lengths, body] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"5"}, "hello"},
             {{"  5  "}, "hello"},
             {{"5", "05"}, "hello"},
             {{"0"}, ""},
         }) {
        std::string head = "POST / HTTP/1.1\r\n";
        for (const auto& value : lengths) head += "cOnTeNt-LeNgTh:" + value + "\r\n";
        ParseResult result = tryParseRequest(head + "\r\nhello world");
        EXPECT_EQ(result.outcome, Outcome::Complete) << head;
        EXPECT_EQ(result.request.body, body) << head;
    }
    for (auto lengths : std::vector<std::vector<std::string>>{
             {"+29"}, {"5x"}, {""}, {"+"}, {"1 1"}, {"0x5"}, {"5, 5"}, {"5", "6"}, {"5", "+5"}, {"5", "-5"}}) {
        std::string head = "POST / HTTP/1.1\r\n";
        for (const auto& value : lengths) head += "Content-Length: " + value + "\r\n";
        EXPECT_EQ(tryParseRequest(head + "\r\n").outcome, Outcome::BadFraming) << head;
    }
    EXPECT_EQ(tryParseRequest("POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n").outcome,
              Outcome::TooLarge);
    EXPECT_EQ(tryParseRequest("POST / HTTP/1.1\r\n\r\nextra").request.body, "");
    std::string binary("\xff\x00\xfe", 3);
    std::string bytes = "POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\n" + binary + "GET / HTTP/1.1\r\n\r\n";
    ParseResult result = tryParseRequest(bytes);
    EXPECT_EQ(result.request.body, binary);
    EXPECT_EQ(result.consumed, bytes.find("GET"));
    // A head whose body has not come is handed over for a look: repeated names are told.
    ParseResult head = tryParseRequest(
        "POST / HTTP/1.1\r\nX-Nerix-Token: a\r\nx-nerix-token: b\r\n"
        "Content-Length: 9\r\n\r\nabc");
    EXPECT_EQ(head.outcome, Outcome::Incomplete);
    EXPECT_TRUE(head.headComplete);
    EXPECT_EQ(head.bodyLength, 9u);
    EXPECT_EQ(head.request.headers.at("x-nerix-token"), "b");
    EXPECT_EQ(head.request.repeated, std::set<std::string>{"x-nerix-token"});
}

TEST(RequestParser, SizeLimits) {
    // A head that fills the limit without its terminator is refused, not read forever.
    std::string longHead = "GET / HTTP/1.1\r\nX: " + std::string(kMaxHeadBytes, 'a');
    EXPECT_EQ(tryParseRequest(longHead).outcome, Outcome::TooLarge);
    EXPECT_EQ(tryParseRequest(std::string_view(longHead).substr(0, kMaxHeadBytes - 1)).outcome, Outcome::Incomplete);
    EXPECT_EQ(tryParseRequest(std::string_view(longHead).substr(0, kMaxHeadBytes)).outcome, Outcome::TooLarge);
    // A head that ends exactly at the limit is still fine.
    std::string exact = "GET / HTTP/1.1\r\nX: ";
    exact += std::string(kMaxHeadBytes - exact.size() - 4, 'b') + "\r\n\r\n";
    ASSERT_EQ(exact.size(), kMaxHeadBytes);
    EXPECT_EQ(tryParseRequest(exact).outcome, Outcome::Complete);

    // An announced body over the limit (64 MiB) is refused at once; at the limit it is awaited.
    auto announcing = [](std::size_t length) {
        return tryParseRequest("POST / HTTP/1.1\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n").outcome;
    };
    EXPECT_EQ(announcing((64u << 20) + 1), Outcome::TooLarge);
    EXPECT_EQ(announcing(64u << 20), Outcome::Incomplete);
}

// The live answer is asked for among other media types, with parameters, in any letter case,
// trimmed as the parser trims header text (a no-break space too); a type that only begins or
// ends like it is not it.
TEST(Request, AcceptsAMediaTypeItsAcceptHeaderLists) {
    const std::string type = "application/x-ndjson";
    for (auto [accept, expected] : std::vector<std::pair<std::optional<std::string>, bool>>{
             {std::nullopt, false},
             {"", false},
             {"application/x-ndjson", true},
             {"text/html, Application/X-NDJSON ;q=0.9", true},
             {"*/*,\t application/x-ndjson\t", true},
             {"text/html,application/x-ndjson", true},
             {"\u00a0application/x-ndjson\u00a0", true},
             {"application/x-ndjson2", false},
             {"xapplication/x-ndjson", false},
             {"application/json;x=application/x-ndjson", false},
         }) {
        Request request;
        if (accept) request.headers["accept"] = *accept;
        EXPECT_EQ(request.accepts(type), expected) << accept.value_or("(none)");
    }
}

}  // namespace
}  // namespace nerix
