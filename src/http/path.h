#pragma once

#include <string>
#include <string_view>

namespace nerix {

// Joins a path component the way the tool's paths are joined: exactly one "/" between.
std::string appendPathComponent(std::string_view base, std::string_view component);

}  // namespace nerix
