#include "http/request.h"

#include "http/header_text.h"

namespace nerix {

bool Request::accepts(std::string_view mediaType) const {
    auto accept = headers.find("accept");
    if (accept == headers.end()) return false;
    std::string_view rest = accept->second;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (lowerCaseText(trimHeaderText(item.substr(0, item.find(';')))) == mediaType) return true;
    }
    return false;
}

}  // namespace nerix
