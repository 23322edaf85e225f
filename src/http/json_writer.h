#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace nerix {

// Compact JSON text (RFC 8259) with every "/" written as "\/". Empty when the value cannot be
// written (a string that is not valid UTF-8, a number that is not finite). Never throws.
std::optional<std::string> writeJson(const nlohmann::json& value);

}  // namespace nerix
