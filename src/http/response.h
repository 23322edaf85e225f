#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace nerix {

// What a request is answered with: a status and, except for the preflight, one JSON object.
// Routing and the job handlers produce it; only the connection code puts it on the wire.
struct Response {
    int status = 200;
    std::optional<nlohmann::json> json;
};

// A file's answer: its status and header fields (Content-Type and Content-Length among them),
// and the span of the file that is its body, read from disk as it is sent (none for HEAD).
struct FileResponse {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::filesystem::path file;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

inline Response errorResponse(int status, std::string message) {
    return Response{status, nlohmann::json{{"error", std::move(message)}}};
}

}  // namespace nerix
