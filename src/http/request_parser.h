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
    };
    Outcome outcome = Outcome::Incomplete;
    Request request;
    std::size_t consumed = 0;  // bytes of the buffer that the request took (head, terminator, body)
};

// Looks at everything received so far on a connection. Pure: no state between calls.
ParseResult tryParseRequest(std::string_view buffer);

// The request that stands for a malformed head: method "BAD", path "/", nothing else.
Request malformedRequest();

}  // namespace nerix
