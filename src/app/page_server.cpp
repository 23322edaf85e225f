#include "app/page_server.h"

#include "app/page_origin.h"
#include "http/content_types.h"
#include "http/file_answer.h"
#include "http/page_path.h"

namespace nerix {

namespace {

PageAnswer textAnswer(int status, std::string text) {
    PageAnswer answer;
    answer.status = status;
    answer.contentType = "text/plain; charset=utf-8";
    answer.text = std::move(text);
    answer.headers = {{"Content-Type", answer.contentType},
                      {"Content-Length", std::to_string(answer.text.size())},
                      {"Cache-Control", "no-cache"}};
    return answer;
}

// Who asked, as the log names it: the page's file below the folder, "index.html" for the page
// itself and its client-side routes, and for a request that does not say (WebKit sends no
// Referer to a scheme of the application's own): the main page.
std::string askedBy(std::optional<std::string_view> referer) {
    if (!referer) return "index.html";
    std::string_view text = *referer;
    const std::string prefix = std::string(kPageOrigin) + "/";
    if (text.substr(0, prefix.size()) != prefix) return "index.html";
    text.remove_prefix(prefix.size());
    text = text.substr(0, text.find_first_of("?#"));
    const auto decoded = percentDecoded(text);
    if (!decoded || decoded->empty()) return "index.html";
    const auto last = decoded->substr(decoded->rfind('/') + 1);
    return last.find('.') == std::string::npos ? "index.html" : *decoded;
}

bool isScriptOrStylesheet(std::string_view name) {
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos) return false;
    const std::string_view extension = name.substr(dot + 1);
    return extension == "js" || extension == "mjs" || extension == "css";
}

}  // namespace

void PageServer::setFolder(std::filesystem::path folder) {
    folder_ = std::move(folder);
    missing_.clear();
    firstMissingScript_.clear();
}

PageAnswer PageServer::answer(std::string_view method, std::string_view path, std::optional<std::string_view> range,
                              std::optional<std::string_view> referer) {
    const bool head = method == "HEAD";
    if (method != "GET" && !head) {
        PageAnswer refused = textAnswer(405, "Method not allowed\n");
        refused.headers.emplace_back("Allow", "GET, HEAD");
        return refused;
    }
    if (path.substr(0, kReservedPrefix.size()) == kReservedPrefix) return textAnswer(404, "Not found\n");
    const PagePath found = resolvePagePath(folder_, path);
    switch (found.kind) {
        case PagePath::Kind::Malformed: return textAnswer(400, "Bad request\n");
        case PagePath::Kind::Refused: return textAnswer(403, "Forbidden\n");
        case PagePath::Kind::Missing: {
            PageAnswer missing = textAnswer(404, "Not found: " + found.name + "\n");
            if (missing_.insert(found.name).second) {
                missing.logLine = "web interface " + folder_.string() + ": no file " + found.name + ", asked for by " +
                                  askedBy(referer);
                if (firstMissingScript_.empty() && isScriptOrStylesheet(found.name)) firstMissingScript_ = found.name;
            }
            return missing;
        }
        case PagePath::Kind::File: break;
    }
    PageAnswer answer;
    answer.contentType = contentTypeFor(found.file.filename().string());
    FileAnswerHead fileHead = fileAnswerHead(answer.contentType, found.size, range);
    answer.status = fileHead.status;
    answer.headers = std::move(fileHead.headers);
    answer.headers.emplace_back("Cache-Control", "no-cache");
    if (answer.status == 416) {
        answer.contentType = "text/plain; charset=utf-8";
        return answer;
    }
    if (!head) {
        answer.file = found.file;
        answer.offset = fileHead.span.offset;
        answer.length = fileHead.span.length;
    }
    return answer;
}

}  // namespace nerix
