#include "http/content_types.h"

#include <array>
#include <cctype>
#include <utility>

namespace nerix {

namespace {

// What bundlers emit and audio interfaces load; a module script or a stylesheet of any other
// type is refused by the engine, and WebAssembly streaming insists on application/wasm.
constexpr std::array<std::pair<std::string_view, std::string_view>, 36> kTypes{{
    {"html", "text/html; charset=utf-8"},
    {"htm", "text/html; charset=utf-8"},
    {"js", "text/javascript; charset=utf-8"},
    {"mjs", "text/javascript; charset=utf-8"},
    {"cjs", "text/javascript; charset=utf-8"},
    {"css", "text/css; charset=utf-8"},
    {"json", "application/json"},
    {"map", "application/json"},
    {"webmanifest", "application/manifest+json"},
    {"wasm", "application/wasm"},
    {"txt", "text/plain; charset=utf-8"},
    {"csv", "text/csv; charset=utf-8"},
    {"xml", "application/xml"},
    {"svg", "image/svg+xml"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"webp", "image/webp"},
    {"avif", "image/avif"},
    {"ico", "image/x-icon"},
    {"woff", "font/woff"},
    {"woff2", "font/woff2"},
    {"ttf", "font/ttf"},
    {"otf", "font/otf"},
    {"wav", "audio/wav"},
    {"mp3", "audio/mpeg"},
    {"ogg", "audio/ogg"},
    {"oga", "audio/ogg"},
    {"opus", "audio/ogg"},
    {"flac", "audio/flac"},
    {"m4a", "audio/mp4"},
    {"mid", "audio/midi"},
    {"midi", "audio/midi"},
    {"mp4", "video/mp4"},
    {"webm", "video/webm"},
}};

}  // namespace

std::string contentTypeFor(std::string_view fileName) {
    const auto slash = fileName.rfind('/');
    if (slash != std::string_view::npos) fileName.remove_prefix(slash + 1);
    const auto dot = fileName.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return "application/octet-stream";
    std::string extension;
    for (char c : fileName.substr(dot + 1)) extension += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto& [name, type] : kTypes)
        if (name == extension) return std::string(type);
    return "application/octet-stream";
}

}  // namespace nerix
