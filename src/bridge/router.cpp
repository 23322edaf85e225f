#include "bridge/router.h"

#include "base/version.h"
#include "bridge/token.h"

namespace nerix {
std::variant<Job, Response> dispatch(const Request& request, std::string_view token) {
    // The browser's preflight carries no token; it must pass for the page's fetch to work.
    if (request.method == "OPTIONS") return Response{204, std::nullopt};
    if (request.method == "GET" && request.path == "/health")
        return Response{200, nlohmann::json{{"ok", true}, {"version", kBridgeApiVersion}}};

    auto presented = request.headers.find("x-nerix-token");
    if (presented == request.headers.end() || !tokenMatches(presented->second, token))
        return errorResponse(401, "missing or invalid X-Nerix-Token");

    if (request.method == "POST") {
        if (request.path == "/compose") return handleCompose(request);
        if (request.path == "/master") return handleMaster(request);
        if (request.path == "/verify") return handleVerify(request);
    }
    return errorResponse(404, "no route for " + request.method + " " + request.path);
}

Response requestTooLarge() { return errorResponse(413, "request too large"); }

}  // namespace nerix
