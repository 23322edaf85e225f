#include "http/path.h"

namespace nerix {

std::string appendPathComponent(std::string_view base, std::string_view component) {
    std::string joined(base);
    while (joined.size() > 1 && joined.back() == '/') joined.pop_back();
    while (!component.empty() && component.front() == '/') component.remove_prefix(1);
    if (joined.empty()) return std::string(component);
    if (joined.back() != '/') joined += '/';
    joined += component;
    return joined;
}

}  // namespace nerix
