#pragma once

#include <optional>

#include <nlohmann/json.hpp>

namespace nerix {

// What a request is answered with: a status and, except for the preflight, one JSON object.
// Routing and the job handlers produce it; only the connection code puts it on the wire.
struct Response {
    int status = 200;
    std::optional<nlohmann::json> json;
};

inline Response errorResponse(int status, std::string message) {
    return Response{status, nlohmann::json{{"error", std::move(message)}}};
}

}  // namespace nerix
