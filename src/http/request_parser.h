#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "http/request.h"

namespace nerix {

// Limits that keep an unauthenticated local peer from growing a connection's buffer without bound.
inline constexpr std::size_t kMaxHeadBytes = 64 * 1024;            // head and its terminator
inline constexpr std::int64_t kMaxBodyBytes = 64LL * 1024 * 1024;  // announced Content-Length

struct ParseResult {
    enum class Outcome {
        Incomplete,  // read more
        Complete,    // `request` holds the request (the placeholder for a malformed head)
        TooLarge,    // head or announced body over the limits: answer 413
        BadFraming,  // the body's length cannot be told for sure: answer 400
    };
    Outcome outcome = Outcome::Incomplete;
    // Complete: the request. Incomplete with `headComplete`: the head alone (no body yet), so
    // that it can be judged before its body is read.
    Request request;
    bool headComplete = false;
    std::size_t consumed = 0;    // bytes of the buffer that the request took (head, terminator, body)
    std::size_t bodyLength = 0;  // with a whole head: the announced body's length
};

// Looks at everything received so far on a connection. Pure: no state between calls.
ParseResult tryParseRequest(std::string_view buffer);

// The request that stands for a malformed head: method "BAD", path "/", nothing else.
Request malformedRequest();

}  // namespace nerix
