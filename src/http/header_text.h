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

// How a Content-Length value reads: plain ASCII digits are a length (Huge past the signed 64-bit
// range); "-" and digits are Negative; anything else (a "+", a space, a letter, nothing) is Invalid.
struct ContentLength {
    enum class Kind { Length, Huge, Negative, Invalid };
    Kind kind = Kind::Invalid;
    std::int64_t value = 0;  // Length only
};
ContentLength parseContentLength(std::string_view text);

}  // namespace nerix
