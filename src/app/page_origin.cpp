#include "app/page_origin.h"

#include <cctype>

namespace nerix {

std::string scriptAllowPattern() { return std::string(kPageOrigin) + "/*"; }

bool opensInBrowser(std::string_view uri, bool followedByUser) {
    if (!followedByUser) return false;
    auto colon = uri.find(':');
    if (colon == std::string_view::npos) return false;
    std::string scheme;
    for (char c : uri.substr(0, colon)) scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme == "http" || scheme == "https" || scheme == "mailto";
}

}  // namespace nerix
