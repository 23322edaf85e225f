#include "bridge/wire_response.h"

#include "http/json_writer.h"

namespace nerix {

std::string_view reasonPhrase(int status) {
    switch (status) {
        case 204: return "No Content";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 404: return "Not Found";
        case 413: return "Payload Too Large";
        case 500: return "Internal Server Error";
        default: return "OK";
    }
}

namespace {
constexpr std::string_view kCorsAndClose =
    "\r\nAccess-Control-Allow-Origin: *"
    "\r\nAccess-Control-Allow-Headers: Content-Type, X-Nerix-Token"
    "\r\nAccess-Control-Allow-Methods: GET, POST, OPTIONS"
    "\r\nConnection: close";
}  // namespace

std::string responseHead(int status, std::size_t contentLength) {
    std::string head;
    head.reserve(256);
    head += "HTTP/1.1 ";
    head += std::to_string(status);
    head += ' ';
    head += reasonPhrase(status);
    head += "\r\nContent-Type: application/json\r\nContent-Length: ";
    head += std::to_string(contentLength);
    head += kCorsAndClose;
    head += "\r\n\r\n";
    return head;
}

std::string liveResponseHead() {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/x-ndjson";
    head += kCorsAndClose;
    head += "\r\nTransfer-Encoding: chunked\r\n\r\n";
    return head;
}

WireResponse frameResponse(const Response& response) {
    WireResponse wire;
    if (response.json) {
        if (auto text = writeJson(*response.json)) wire.body = std::move(*text);
    }
    wire.head = responseHead(response.status, wire.body.size());
    return wire;
}

}  // namespace nerix
