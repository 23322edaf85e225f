#include "app/page_files.h"

#include "http/page_path.h"

#include <optional>
#include <utility>

namespace nerix {

namespace {

// "file:///a%20b" -> "/a b"; none for a URI of another host or with a broken escape or a NUL.
std::optional<std::string> fileUriPath(const std::string& uri) {
    const std::string rest = uri.substr(7);
    if (!rest.starts_with('/')) return std::nullopt;
    std::optional<std::string> path = percentDecoded(rest);
    if (path && path->find('\0') != std::string::npos) return std::nullopt;
    return path;
}

}  // namespace

std::vector<std::string> OpenedFiles::arrive(const std::vector<std::string>& paths) {
    if (listening_) return paths;
    kept_.insert(kept_.end(), paths.begin(), paths.end());
    return {};
}

std::vector<std::string> OpenedFiles::pageListens() {
    listening_ = true;
    return std::exchange(kept_, {});
}

std::vector<std::string> absolutePaths(const std::vector<std::string>& arguments, const std::filesystem::path& folder) {
    std::vector<std::string> out;
    for (const std::string& argument : arguments) {
        if (argument.empty()) continue;
        std::filesystem::path path = argument;
        if (argument.starts_with("file://")) {
            auto local = fileUriPath(argument);
            if (!local) continue;
            path = *local;
        }
        if (path.is_relative()) path = folder / path;
        out.push_back(path.lexically_normal().string());
    }
    return out;
}

}  // namespace nerix
