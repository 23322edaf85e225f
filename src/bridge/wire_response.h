#pragma once

#include <string>
#include <string_view>

#include "http/response.h"

namespace nerix {

// A response as it goes on the wire: the head and the body, sent together in one write.
struct WireResponse {
    std::string head;
    std::string body;
};

std::string_view reasonPhrase(int status);

// Frames a response: status line, the fixed header block, then the compact JSON body (empty
// without a payload, and empty when the payload cannot be written).
WireResponse frameResponse(const Response& response);

// The head of an answer whose JSON body of `contentLength` bytes follows.
std::string responseHead(int status, std::size_t contentLength);

// The head of a live answer: status 200, one JSON object per line, sent in chunks.
std::string liveResponseHead();

}  // namespace nerix
