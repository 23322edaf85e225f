#pragma once

#include <string>
#include <string_view>

#include "bridge/response.h"

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

}  // namespace nerix
