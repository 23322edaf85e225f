#include "http/request_parser.h"

#include <optional>
#include <vector>

#include "base/utf8.h"
#include "http/header_text.h"

namespace nerix {
namespace {

constexpr std::string_view kHeadTerminator = "\r\n\r\n";
constexpr std::string_view kLineSeparator = "\r\n";

ParseResult complete(Request request, std::size_t consumed) {
    ParseResult result;
    result.outcome = ParseResult::Outcome::Complete;
    result.request = std::move(request);
    result.consumed = consumed;
    return result;
}

ParseResult malformed(std::size_t consumed) { return complete(malformedRequest(), consumed); }

ParseResult refused(ParseResult::Outcome outcome) {
    ParseResult result;
    result.outcome = outcome;
    return result;
}

ParseResult tooLarge() { return refused(ParseResult::Outcome::TooLarge); }

// Splits the request line at runs of spaces into at most three pieces; the third is the
// unsplit rest and is not needed. Returns false with fewer than two pieces.
bool splitRequestLine(std::string_view line, std::string& method, std::string& path) {
    auto skipSpaces = [&](std::size_t pos) {
        while (pos < line.size() && line[pos] == ' ') ++pos;
        return pos;
    };
    std::size_t methodStart = skipSpaces(0);
    std::size_t methodEnd = line.find(' ', methodStart);
    if (methodStart >= line.size() || methodEnd == std::string_view::npos) return false;
    std::size_t pathStart = skipSpaces(methodEnd);
    if (pathStart >= line.size()) return false;
    std::size_t pathEnd = line.find(' ', pathStart);
    if (pathEnd == std::string_view::npos) pathEnd = line.size();
    method.assign(line.substr(methodStart, methodEnd - methodStart));
    path.assign(line.substr(pathStart, pathEnd - pathStart));
    return true;
}

// The head is whole but the body is not: the head alone, to be judged before the body is read.
ParseResult awaitingBody(Request request, std::size_t bodyStart, std::size_t bodyLength) {
    ParseResult awaiting;
    awaiting.request = std::move(request);
    awaiting.headComplete = true;
    awaiting.consumed = bodyStart;
    awaiting.bodyLength = bodyLength;
    return awaiting;
}

// Reads the header lines after the request line (which ends at `lineEnd`) into the request.
// A later line with the same name replaces the earlier value, and the name is noted as
// repeated. Returns every Content-Length value: two that differ leave the body's length to a
// guess.
std::vector<std::string_view> readHeaderLines(std::string_view head, std::size_t lineEnd, Request& request) {
    std::vector<std::string_view> lengths;
    while (lineEnd != std::string_view::npos) {
        std::size_t lineStart = lineEnd + kLineSeparator.size();
        lineEnd = head.find(kLineSeparator, lineStart);
        std::string_view line =
            head.substr(lineStart, lineEnd == std::string_view::npos ? std::string_view::npos : lineEnd - lineStart);
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string name = lowerCaseText(trimHeaderText(line.substr(0, colon)));
        std::string_view value = trimHeaderText(line.substr(colon + 1));
        if (name == "content-length") lengths.push_back(value);
        auto [entry, added] = request.headers.insert_or_assign(std::move(name), std::string(value));
        if (!added) request.repeated.insert(entry->first);
    }
    return lengths;
}

// What the head's Content-Length values say of the body: its length (0 without one), or the
// result that ends the parse instead.
struct Framing {
    std::size_t length = 0;
    std::optional<ParseResult> refusal;
};

Framing readFraming(const std::vector<std::string_view>& lengths, std::size_t bodyStart) {
    std::int64_t length = 0;
    if (!lengths.empty()) {
        ContentLength announced = parseContentLength(lengths.front());
        for (std::string_view other : lengths) {
            ContentLength next = parseContentLength(other);
            if (next.kind != announced.kind || next.value != announced.value)
                return {0, refused(ParseResult::Outcome::BadFraming)};
        }
        switch (announced.kind) {
            case ContentLength::Kind::Invalid: return {0, refused(ParseResult::Outcome::BadFraming)};
            // A negative length can never cut a body: the head is malformed.
            case ContentLength::Kind::Negative: return {0, malformed(bodyStart)};
            case ContentLength::Kind::Huge: return {0, tooLarge()};
            case ContentLength::Kind::Length: length = announced.value; break;
        }
    }
    if (length > kMaxBodyBytes) return {0, tooLarge()};
    return {static_cast<std::size_t>(length), std::nullopt};
}

}  // namespace

Request malformedRequest() { return Request{"BAD", "/", {}, {}, {}}; }

ParseResult tryParseRequest(std::string_view buffer) {
    // The head may not grow past its limit: look for the terminator only within it.
    std::string_view window = buffer.substr(0, kMaxHeadBytes);
    std::size_t headEnd = window.find(kHeadTerminator);
    if (headEnd == std::string_view::npos) return buffer.size() >= kMaxHeadBytes ? tooLarge() : ParseResult{};

    std::string_view head = buffer.substr(0, headEnd);
    std::size_t bodyStart = headEnd + kHeadTerminator.size();
    if (!utf8::isValid(head)) return malformed(bodyStart);

    std::size_t lineEnd = head.find(kLineSeparator);
    std::string_view requestLine = head.substr(0, lineEnd);
    Request request;
    if (!splitRequestLine(requestLine, request.method, request.path)) return malformed(bodyStart);

    Framing framing = readFraming(readHeaderLines(head, lineEnd, request), bodyStart);
    if (framing.refusal) return std::move(*framing.refusal);
    if (buffer.size() - bodyStart < framing.length) return awaitingBody(std::move(request), bodyStart, framing.length);
    request.body.assign(buffer.substr(bodyStart, framing.length));
    return complete(std::move(request), bodyStart + framing.length);
}

}  // namespace nerix
