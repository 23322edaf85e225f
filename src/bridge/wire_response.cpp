#include "bridge/wire_response.h"

#include "bridge/json_writer.h"

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

WireResponse frameResponse(const Response& response) {
    WireResponse wire;
    if (response.json) {
        if (auto text = writeJson(*response.json)) wire.body = std::move(*text);
    }
    std::string& head = wire.head;
    head.reserve(256);
    head += "HTTP/1.1 ";
    head += std::to_string(response.status);
    head += ' ';
    head += reasonPhrase(response.status);
    head += "\r\nContent-Type: application/json\r\nContent-Length: ";
    head += std::to_string(wire.body.size());
    head += "\r\nAccess-Control-Allow-Origin: *"
            "\r\nAccess-Control-Allow-Headers: Content-Type, X-Nerix-Token"
            "\r\nAccess-Control-Allow-Methods: GET, POST, OPTIONS"
            "\r\nConnection: close\r\n\r\n";
    return wire;
}

}  // namespace nerix
