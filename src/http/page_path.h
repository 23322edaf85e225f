#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace nerix {

// Percent-decodes a URI path. Nothing when an escape is not two hex digits.
std::optional<std::string> percentDecoded(std::string_view text);

// Whether `inner` is `outer` or below it, component by component; both canonical.
bool isInside(const std::filesystem::path& inner, const std::filesystem::path& outer);

// Which file of the web folder a request path (as in the URI, percent-encoded, without query or
// fragment) names. Only the file system's metadata is looked at; nothing is opened.
struct PagePath {
    enum class Kind {
        File,     // a regular file inside the folder
        Missing,  // no such file, and its name has an extension: a 404 the page sees
        Refused,  // a way out of the folder, or something that is not a regular file: 403
        Malformed,
    } kind = Kind::Missing;
    std::filesystem::path file;  // File: where it really is (links resolved), inside the folder
    std::uint64_t size = 0;      // File: its size
    std::string name;            // the decoded path below the folder, "assets/index.js", for the log
};

// "/" and a missing path with no extension (a client-side route such as "/mixes/3") are the
// folder's index.html. Refused without looking further: "." or ".." segments in any spelling,
// empty segments (doubled slashes), backslashes and NUL. Refused after looking: a path whose
// links lead outside the folder, a folder, a device, a pipe or a socket.
PagePath resolvePagePath(const std::filesystem::path& folder, std::string_view requestPath);

}  // namespace nerix
