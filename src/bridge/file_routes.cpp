#include "bridge/file_routes.h"

#include <string>

#include "http/content_types.h"
#include "http/file_answer.h"

namespace nerix {

bool isFileRequest(const Request& request) {
    return (request.method == "GET" || request.method == "HEAD") &&
           request.path.substr(0, kFilesPrefix.size()) == kFilesPrefix;
}

std::variant<Response, FileResponse> answerFileRequest(const Request& request, const FileGrants& files) {
    const std::string path = request.path.substr(0, request.path.find_first_of("?#"));
    const PagePath found = files.resolve(path);
    switch (found.kind) {
        case PagePath::Kind::Malformed: return errorResponse(400, "malformed file URL");
        case PagePath::Kind::Refused: return errorResponse(403, "not a file of this folder");
        case PagePath::Kind::Missing: return errorResponse(404, "no such file");
        case PagePath::Kind::File: break;
    }
    std::optional<std::string_view> range;
    if (auto field = request.headers.find("range"); field != request.headers.end() && !request.repeated.contains("range"))
        range = field->second;
    FileAnswerHead head = fileAnswerHead(contentTypeFor(found.file.filename().string()), found.size, range);
    FileResponse response{head.status, std::move(head.headers), {}, 0, 0};
    response.headers.emplace_back("Cache-Control", "no-cache");
    if (request.method == "GET" && head.status != 416) {
        response.file = found.file;
        response.offset = head.span.offset;
        response.length = head.span.length;
    }
    return response;
}

Response grantFileUrl(const Request& request, FileGrants& files, std::uint16_t port) {
    const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
    if (!body.is_object() || !body.contains("path") || !body["path"].is_string())
        return errorResponse(400, "expected {\"path\": \"/absolute/path\"}");
    auto url = files.urlPathFor(body["path"].get<std::string>());
    if (!url) return errorResponse(url.error().code, url.error().message);
    return Response{200, nlohmann::json{{"url", "http://127.0.0.1:" + std::to_string(port) + *url}}};
}

}  // namespace nerix
