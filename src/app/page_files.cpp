#include "app/page_files.h"

#include <optional>
#include <utility>

namespace nerix {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "file:///a%20b" -> "/a b"; none for a URI of another host or with a broken escape or a NUL.
std::optional<std::string> fileUriPath(const std::string& uri) {
    const std::string rest = uri.substr(7);
    if (!rest.starts_with('/')) return std::nullopt;
    std::string path;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] != '%') {
            path += rest[i];
            continue;
        }
        const int high = i + 2 < rest.size() ? hexValue(rest[i + 1]) : -1;
        const int low = high >= 0 ? hexValue(rest[i + 2]) : -1;
        if (low < 0 || (high == 0 && low == 0)) return std::nullopt;
        path += static_cast<char>(high * 16 + low);
        i += 2;
    }
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
