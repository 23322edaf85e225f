// Feeds arbitrary bytes to the request parser, as if they were everything a peer has sent on
// one connection, and checks what must hold for any input:
//   - a decision (complete or too large) never changes when more bytes arrive, and a complete
//     request is found again, unchanged, in exactly the bytes it consumed;
//   - one byte fewer than a complete request is still incomplete;
//   - a parsed request can always be answered: the router's answer is written as a head whose
//     Content-Length matches a body that reads back as the same JSON object.
// An input that starts with "~" is repeated until it passes the head limit, so that the limit
// itself is fuzzed without huge inputs.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "bridge/router.h"
#include "http/answer_writer.h"
#include "http/header_text.h"
#include "http/request_parser.h"

namespace {

using nerix::ParseResult;

void check(bool condition) {
    if (!condition) std::abort();
}

bool sameRequest(const nerix::Request& a, const nerix::Request& b) {
    return a.method == b.method && a.path == b.path && a.headers == b.headers && a.body == b.body;
}

std::string expand(std::string_view input) {
    if (input.size() < 2 || input.front() != '~') return std::string(input);
    input.remove_prefix(1);
    const std::size_t target = nerix::kMaxHeadBytes - 8 + static_cast<unsigned char>(input.front()) % 16;
    std::string out;
    out.reserve(target + input.size());
    while (out.size() < target) out.append(input);
    out.resize(target);
    return out;
}

void checkAnswer(const nerix::Request& request) {
    // A job whose body was accepted is run by the bridge; everything else is answered at once.
    static const std::string token = std::string(43, 'A') + "=";
    auto routed = nerix::dispatch(request, {token, 8080});
    if (std::holds_alternative<nerix::Job>(routed)) return;
    const nerix::Response& response = std::get<nerix::Response>(routed);
    const std::string answer = nerix::writeAnswer(response);
    const std::size_t headEnd = answer.find("\r\n\r\n");
    check(headEnd != std::string::npos);
    const std::string head = answer.substr(0, headEnd + 2);
    const std::string body = answer.substr(headEnd + 4);
    check(head.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n") != std::string::npos);
    if (!response.json) {
        check(body.empty());
        return;
    }
    // The answer must never lose its body: the head was valid UTF-8, so every text that the
    // router copies from it can be written.
    check(!body.empty());
    auto parsed = nlohmann::json::parse(body, nullptr, false);
    check(!parsed.is_discarded());
    check(parsed == *response.json);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = expand(std::string_view(reinterpret_cast<const char*>(data), size));
    const ParseResult full = nerix::tryParseRequest(input);

    switch (full.outcome) {
        case ParseResult::Outcome::Incomplete:
            check(input.size() < nerix::kMaxHeadBytes || input.find("\r\n\r\n") < nerix::kMaxHeadBytes);
            return 0;
        case ParseResult::Outcome::TooLarge:
        case ParseResult::Outcome::BadFraming: {
            // More bytes never undo the decision.
            check(nerix::tryParseRequest(input + "\r\n\r\nxyz").outcome == full.outcome);
            return 0;
        }
        case ParseResult::Outcome::Complete: break;
    }

    check(full.consumed > 0 && full.consumed <= input.size());
    const std::string_view exact = std::string_view(input).substr(0, full.consumed);
    const ParseResult again = nerix::tryParseRequest(exact);
    check(again.outcome == ParseResult::Outcome::Complete && again.consumed == full.consumed);
    check(sameRequest(again.request, full.request));
    check(nerix::tryParseRequest(exact.substr(0, exact.size() - 1)).outcome == ParseResult::Outcome::Incomplete);

    const nerix::Request& request = full.request;
    check(!request.method.empty() && request.method.find(' ') == std::string::npos);
    check(!request.path.empty() && request.path.find(' ') == std::string::npos);
    if (auto it = request.headers.find("content-length"); it != request.headers.end())
        check(request.body.size() == static_cast<std::size_t>(nerix::parseContentLength(it->second).value));
    else
        check(request.body.empty());
    checkAnswer(request);
    return 0;
}
