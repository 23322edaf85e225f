#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nerix {

// Trims spaces, tabs and every other Unicode space separator (Zs) at both ends of UTF-8 text.
// CR and LF are not trimmed.
std::string_view trimHeaderText(std::string_view text);

// Unicode default lower case of UTF-8 text.
std::string lowerCaseText(std::string_view text);

// Reads a Content-Length value: an optional sign, one or more ASCII digits, nothing else,
// within the signed 64-bit range. Anything else reads as 0.
std::int64_t parseContentLength(std::string_view text);

}  // namespace nerix
