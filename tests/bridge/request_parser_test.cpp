#include "bridge/request_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace nerix {
namespace {

using Outcome = ParseResult::Outcome;

// Feeds the bytes the way receives would, cut at `cut`: the first piece must not complete a
// request that needs the second, and the whole must give the same result as in one piece.
ParseResult parseSplitAt(const std::string& bytes, std::size_t cut) {
    ParseResult first = tryParseRequest(std::string_view(bytes).substr(0, cut));
    if (first.outcome != Outcome::Incomplete) return first;
    return tryParseRequest(bytes);
}

void expectSameAtEveryCut(const std::string& bytes) {
    ParseResult whole = tryParseRequest(bytes);
    ASSERT_EQ(whole.outcome, Outcome::Complete);
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
        ParseResult split = parseSplitAt(bytes, cut);
        ASSERT_EQ(split.outcome, Outcome::Complete) << "cut at " << cut;
        EXPECT_EQ(split.request.method, whole.request.method) << "cut at " << cut;
        EXPECT_EQ(split.request.path, whole.request.path) << "cut at " << cut;
        EXPECT_EQ(split.request.headers, whole.request.headers) << "cut at " << cut;
        EXPECT_EQ(split.request.body, whole.request.body) << "cut at " << cut;
    }
}

TEST(RequestParser, SplittingAtEveryOffsetNeverChangesTheRequest) {
    expectSameAtEveryCut("POST /compose HTTP/1.1\r\nHost: x\r\nX-Nerix-Token: abc=\r\n"
                         "Content-Length: 17\r\n\r\n{\"source\":\"C D\"}\n");
    expectSameAtEveryCut("GET /health HTTP/1.1\r\n\r\n");
    expectSameAtEveryCut("OPTIONS /x\r\n\r\n");
}

TEST(RequestParser, IncompleteUntilTheLastByteOfHeadAndBody) {
    std::string request = "POST /m HTTP/1.1\r\nContent-Length: 4\r\n\r\nabcd";
    for (std::size_t size = 0; size < request.size(); ++size)
        EXPECT_EQ(tryParseRequest(std::string_view(request).substr(0, size)).outcome, Outcome::Incomplete)
            << size;
    ParseResult done = tryParseRequest(request);
    ASSERT_EQ(done.outcome, Outcome::Complete);
    EXPECT_EQ(done.request.body, "abcd");
    EXPECT_EQ(done.consumed, request.size());
}

TEST(RequestParser, RequestLine) {
    auto parse = [](std::string line) { return tryParseRequest(line + "\r\n\r\n").request; };
    Request spaced = parse("GET  /health   HTTP/1.1");
    EXPECT_EQ(spaced.method, "GET");
    EXPECT_EQ(spaced.path, "/health");
    Request query = parse("get /a%20b?x=1#f HTTP/1.1");
    EXPECT_EQ(query.method, "get");
    EXPECT_EQ(query.path, "/a%20b?x=1#f");
    Request twoWords = parse("  POST /verify");
    EXPECT_EQ(twoWords.method, "POST");
    EXPECT_EQ(twoWords.path, "/verify");
}

TEST(RequestParser, MalformedHeadsGiveThePlaceholderWithoutWaitingForABody) {
    for (std::string bytes : {std::string("GET\r\n\r\n"), std::string("\r\n\r\n"),
                              std::string("\r\nGET / HTTP/1.1\r\n\r\n"), std::string("GET\t/health\r\n\r\n"),
                              std::string("   \r\n\r\n"),
                              std::string("GET /\xff HTTP/1.1\r\nContent-Length: 10\r\n\r\n"),
                              std::string("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n")}) {
        ParseResult result = tryParseRequest(bytes);
        ASSERT_EQ(result.outcome, Outcome::Complete) << bytes;
        EXPECT_EQ(result.request.method, "BAD");
        EXPECT_EQ(result.request.path, "/");
        EXPECT_TRUE(result.request.headers.empty());
        EXPECT_TRUE(result.request.body.empty());
    }
}

TEST(RequestParser, HeaderNamesAndValues) {
    Request r = tryParseRequest("GET / HTTP/1.1\r\n"
                                "  X-Nerix-TOKEN \t:  abc:def \t\r\n"
                                "no colon here\r\n"
                                "Dup: first\r\n"
                                "dup: second\r\n"
                                ": empty name\r\n"
                                "\xC3\x84rger: \xC2\xA0value\xE2\x80\x83\r\n"  // Ä, no-break space, em space
                                "\xC4\xB0\xF0\x90\x90\x80: x\r\n"  // dotted capital I, a 4-byte capital
                                "Lone: a\rb\nc\r\n\r\n")
                    .request;
    EXPECT_EQ(r.headers.at("x-nerix-token"), "abc:def");
    EXPECT_EQ(r.headers.at("dup"), "second");
    EXPECT_EQ(r.headers.at(""), "empty name");
    EXPECT_EQ(r.headers.at("\xC3\xA4rger"), "value");
    EXPECT_EQ(r.headers.at("lone"), "a\rb\nc");
    EXPECT_EQ(r.headers.at("i\xCC\x87\xF0\x90\x90\xA8"), "x");
    EXPECT_EQ(r.headers.count("no colon here"), 0u);
    EXPECT_EQ(r.headers.size(), 6u);
}

TEST(RequestParser, ContentLengthGrammar) {
    auto bodyOf = [](std::string value) {
        std::string bytes = "POST / HTTP/1.1\r\ncOnTeNt-LeNgTh:" + value + "\r\n\r\nhello world";
        ParseResult result = tryParseRequest(bytes);
        EXPECT_EQ(result.outcome, Outcome::Complete) << value;
        return result.request.body;
    };
    EXPECT_EQ(bodyOf("5"), "hello");
    EXPECT_EQ(bodyOf("+5"), "hello");
    EXPECT_EQ(bodyOf("  5  "), "hello");
    EXPECT_EQ(bodyOf("-0"), "");
    EXPECT_EQ(bodyOf("5x"), "");
    EXPECT_EQ(bodyOf(""), "");
    EXPECT_EQ(bodyOf("+"), "");
    EXPECT_EQ(bodyOf("1 1"), "");
    EXPECT_EQ(bodyOf("99999999999999999999"), "");  // overflow reads as 0
    EXPECT_EQ(bodyOf("0x5"), "");
    // Without the header the body is empty, whatever follows the head.
    EXPECT_EQ(tryParseRequest("POST / HTTP/1.1\r\n\r\nextra").request.body, "");
}

TEST(RequestParser, BytesBehindTheBodyAreLeftAlone) {
    std::string bytes = "POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET / HTTP/1.1\r\n\r\n";
    ParseResult result = tryParseRequest(bytes);
    ASSERT_EQ(result.outcome, Outcome::Complete);
    EXPECT_EQ(result.request.body, "abc");
    EXPECT_LT(result.consumed, bytes.size());
}

TEST(RequestParser, BodyBytesNeedNotBeUtf8) {
    std::string body("\xff\x00\xfe", 3);
    ParseResult result = tryParseRequest("POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\n" + body);
    ASSERT_EQ(result.outcome, Outcome::Complete);
    EXPECT_EQ(result.request.body, body);
}

TEST(RequestParser, SizeLimits) {
    // A head that fills the limit without its terminator is refused, not read forever.
    std::string longHead = "GET / HTTP/1.1\r\nX: " + std::string(kMaxHeadBytes, 'a');
    EXPECT_EQ(tryParseRequest(longHead).outcome, Outcome::TooLarge);
    EXPECT_EQ(tryParseRequest(std::string_view(longHead).substr(0, kMaxHeadBytes - 1)).outcome,
              Outcome::Incomplete);
    // A head that ends exactly at the limit is still fine.
    std::string exact = "GET / HTTP/1.1\r\nX: ";
    exact += std::string(kMaxHeadBytes - exact.size() - 4, 'b') + "\r\n\r\n";
    ASSERT_EQ(exact.size(), kMaxHeadBytes);
    EXPECT_EQ(tryParseRequest(exact).outcome, Outcome::Complete);

    // An announced body over the limit is refused at once; at the limit it is awaited.
    EXPECT_EQ(tryParseRequest("POST / HTTP/1.1\r\nContent-Length: " + std::to_string(kMaxBodyBytes + 1) +
                              "\r\n\r\n")
                  .outcome,
              Outcome::TooLarge);
    EXPECT_EQ(tryParseRequest("POST / HTTP/1.1\r\nContent-Length: " + std::to_string(kMaxBodyBytes) + "\r\n\r\n")
                  .outcome,
              Outcome::Incomplete);
}

}  // namespace
}  // namespace nerix
