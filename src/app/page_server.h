#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nerix {

// One answer of the page's origin, as a web server's: a status, its header fields and a body,
// either a text or a span of a file read as it is sent.
struct PageAnswer {
    int status = 200;
    std::string contentType;
    std::vector<std::pair<std::string, std::string>> headers;  // Content-Type and Content-Length included
    std::string text;
    std::filesystem::path file;  // when set, the body is `length` bytes of it from `offset`
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    // A file the page asked for and did not get, the first time it was asked for:
    // "web interface <folder>: no file <name>, asked for by <referrer>".
    std::optional<std::string> logLine;
};

// What the page's origin answers, on the main thread: the files of the web folder in use, and
// nothing at the paths below "/__vantorel/", which are the application's own.
class PageServer {
public:
    // The folder whose files are served from now on; the missing files noted so far are forgotten.
    void setFolder(std::filesystem::path folder);
    const std::filesystem::path& folder() const { return folder_; }

    // The answer to `method` on `path` (as in the URI, percent-encoded, no query), with the
    // request's Range and Referer fields when it had them. HEAD answers as GET with no body.
    PageAnswer answer(std::string_view method, std::string_view path, std::optional<std::string_view> range,
                      std::optional<std::string_view> referer);

    // The first of the page's scripts or stylesheets that was asked for and not there, below
    // the folder ("assets/index-x.js"); empty while there is none.
    const std::string& firstMissingScript() const { return firstMissingScript_; }

private:
    std::filesystem::path folder_;
    std::set<std::string, std::less<>> missing_;
    std::string firstMissingScript_;
};

// The path prefix the application keeps for itself: no folder's file is served below it.
inline constexpr std::string_view kReservedPrefix = "/__vantorel/";

}  // namespace nerix
