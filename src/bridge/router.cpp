#include "bridge/router.h"

#include <string>

#include "base/version.h"
#include "bridge/file_routes.h"
#include "bridge/token.h"
#include "jobs/job_endpoints.h"

namespace nerix {
namespace {

// A Host header, where there is one, names this machine's loopback as a page on it would:
// 127.0.0.1 or localhost, with or without our port. Any other name (a foreign page whose name was
// made to resolve to 127.0.0.1) is not served. Without the header the request is served.
bool hostIsOurs(const Request& request, std::uint16_t port) {
    auto host = request.headers.find("host");
    if (host == request.headers.end()) return true;
    if (request.repeated.contains("host")) return false;
    std::string name;
    name.reserve(host->second.size());
    for (char c : host->second) name += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    const std::string withPort = ":" + std::to_string(port);
    if (name.ends_with(withPort)) name.resize(name.size() - withPort.size());
    return name == "127.0.0.1" || name == "localhost";
}

// What needs no token: the preflight, health, and a file's URL (its random id grants it).
bool needsNoToken(const Request& request) {
    return request.method == "OPTIONS" || (request.method == "GET" && request.path == "/health") ||
           isFileRequest(request);
}

// The token header once, with exactly the token; sent twice it is refused whatever its values.
bool tokenPresented(const Request& request, std::string_view token) {
    auto presented = request.headers.find("x-nerix-token");
    return presented != request.headers.end() && !request.repeated.contains("x-nerix-token") &&
           tokenMatches(presented->second, token);
}

Response misdirected() { return errorResponse(421, "unknown Host"); }
Response tokenRefused() { return errorResponse(401, "missing or invalid X-Nerix-Token"); }

}  // namespace

std::variant<JobPointer, Response, FileResponse> dispatch(const Request& request, BridgeIdentity bridge) {
    if (!hostIsOurs(request, bridge.port)) return misdirected();
    // The browser's preflight carries no token; it must pass for the page's fetch to work.
    if (request.method == "OPTIONS") return Response{204, std::nullopt};
    if (request.method == "GET" && request.path == "/health")
        return Response{200, nlohmann::json{{"ok", true}, {"version", kBridgeApiVersion}}};
    if (isFileRequest(request)) {
        if (!bridge.files) return errorResponse(404, "no such file");
        auto answer = answerFileRequest(request, *bridge.files);
        if (auto* file = std::get_if<FileResponse>(&answer)) return std::move(*file);
        return std::get<Response>(std::move(answer));
    }

    if (!tokenPresented(request, bridge.token)) return tokenRefused();

    if (request.method == "POST" && request.path == "/files" && bridge.files)
        return grantFileUrl(request, *bridge.files, bridge.port);
    if (request.method == "POST")
        if (const JobEndpoint* endpoint = findJobEndpoint(request.path)) {
            auto accepted = endpoint->accept(request.body);
            if (auto* job = std::get_if<JobPointer>(&accepted)) return std::move(*job);
            return std::get<Response>(std::move(accepted));
        }
    return errorResponse(404, "no route for " + request.method + " " + request.path);
}

std::optional<Response> answerBeforeBody(const Request& head, BridgeIdentity bridge) {
    if (!hostIsOurs(head, bridge.port)) return misdirected();
    if (needsNoToken(head) || tokenPresented(head, bridge.token)) return std::nullopt;
    return tokenRefused();
}

Response requestTooLarge() { return errorResponse(413, "request too large"); }

Response badFraming() { return errorResponse(400, "invalid Content-Length"); }

}  // namespace nerix
