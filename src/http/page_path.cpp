#include "http/page_path.h"

#include <algorithm>
#include <system_error>

namespace nerix {

namespace fs = std::filesystem;

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool hasExtension(std::string_view name) {
    const auto dot = name.rfind('.');
    return dot != std::string_view::npos && dot != 0 && dot + 1 < name.size();
}

// The file itself, once the path is known to be made of plain names.
PagePath look(const fs::path& root, const std::string& name) {
    std::error_code error;
    const fs::path real = fs::canonical(root / name, error);
    if (error) return PagePath{PagePath::Kind::Missing, {}, 0, name};
    if (!isInside(real, root)) return PagePath{PagePath::Kind::Refused, {}, 0, name};
    const fs::file_status status = fs::status(real, error);
    if (error || !fs::is_regular_file(status)) return PagePath{PagePath::Kind::Refused, {}, 0, name};
    const std::uint64_t size = fs::file_size(real, error);
    if (error) return PagePath{PagePath::Kind::Refused, {}, 0, name};
    return PagePath{PagePath::Kind::File, real, size, name};
}

}  // namespace

bool isInside(const fs::path& inner, const fs::path& outer) {
    auto i = inner.begin();
    for (auto o = outer.begin(); o != outer.end(); ++o, ++i)
        if (i == inner.end() || *i != *o) return false;
    return true;
}

std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

PagePath resolvePagePath(const fs::path& folder, std::string_view requestPath) {
    if (requestPath.empty() || requestPath.front() != '/') return PagePath{PagePath::Kind::Malformed, {}, 0, {}};
    // Checked before decoding too: "%5C" and "\" are the same way out on some readers.
    if (requestPath.find('\\') != std::string_view::npos) return PagePath{PagePath::Kind::Refused, {}, 0, {}};
    const auto decoded = percentDecoded(requestPath.substr(1));
    if (!decoded) return PagePath{PagePath::Kind::Malformed, {}, 0, {}};
    std::string text = *decoded;
    // A final "/" names the folder's page, as a client-side route does.
    if (!text.empty() && text.back() == '/') text.pop_back();
    std::size_t start = 0;
    while (!text.empty() && start <= text.size()) {
        const auto end = std::min(text.find('/', start), text.size());
        const std::string_view segment = std::string_view(text).substr(start, end - start);
        if (segment.empty() || segment == "." || segment == ".." ||
            segment.find_first_of(std::string_view("\\\0", 2)) != std::string_view::npos)
            return PagePath{PagePath::Kind::Refused, {}, 0, text};
        start = end + 1;
    }
    const std::string& name = text;

    std::error_code error;
    const fs::path root = fs::canonical(folder, error);
    if (error) return PagePath{PagePath::Kind::Missing, {}, 0, name.empty() ? "index.html" : name};
    if (!name.empty()) {
        PagePath found = look(root, name);
        if (found.kind != PagePath::Kind::Missing || hasExtension(name.substr(name.rfind('/') + 1))) return found;
    }
    // The page itself: for "/" and for a route the page resolves on its own.
    return look(root, "index.html");
}

}  // namespace nerix
