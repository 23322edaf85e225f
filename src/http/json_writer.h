#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/result.h"

namespace nerix {

// Compact JSON text (RFC 8259) with every "/" written as "\/", object members in the order of
// their names. Fails when the value cannot be written (a string that is not valid UTF-8, a
// number that is not finite).
Result<std::string> writeJson(const nlohmann::json& value);

// Appends the inside of a JSON string (no quotes) for text that is known to be UTF-8, escaped
// exactly as writeJson escapes it, so that a long text can be written piece by piece.
void appendJsonEscaped(std::string& out, std::string_view utf8);

}  // namespace nerix
