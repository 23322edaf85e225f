#include "jobs/stem.h"

#include <utf8proc.h>

namespace nerix {
namespace {

constexpr std::size_t kMaxCharacters = 80;

bool isAllowed(utf8proc_int32_t codePoint) {
    if (codePoint == '-' || codePoint == '_') return true;
    switch (utf8proc_category(codePoint)) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_MC:
    case UTF8PROC_CATEGORY_ME:
    case UTF8PROC_CATEGORY_ND:
    case UTF8PROC_CATEGORY_NL:
    case UTF8PROC_CATEGORY_NO:
        return true;
    default:
        return false;
    }
}

}  // namespace

std::optional<std::string> sanitizeStem(const std::optional<std::string>& name) {
    if (!name || name->empty()) return std::nullopt;

    // Code point by code point: keep the allowed ones, put one "-" for each other one.
    std::u32string kept;
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(name->data());
    auto remaining = static_cast<utf8proc_ssize_t>(name->size());
    while (remaining > 0) {
        utf8proc_int32_t codePoint = -1;
        utf8proc_ssize_t length = utf8proc_iterate(bytes, remaining, &codePoint);
        if (length <= 0) length = 1;  // an invalid byte is one code point that is not allowed
        kept.push_back(codePoint >= 0 && isAllowed(codePoint) ? static_cast<char32_t>(codePoint) : U'-');
        bytes += length;
        remaining -= length;
    }

    std::size_t first = kept.find_first_not_of(U'-');
    if (first == std::u32string::npos) return std::nullopt;
    std::size_t last = kept.find_last_not_of(U'-');

    // Cut after the trim, at the start of the 81st character; nothing is trimmed after it.
    std::string stem;
    utf8proc_int32_t state = 0;
    std::size_t characters = 0;
    for (std::size_t i = first; i <= last; ++i) {
        auto codePoint = static_cast<utf8proc_int32_t>(kept[i]);
        bool startsCharacter = i == first || utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(kept[i - 1]),
                                                                              codePoint, &state);
        if (startsCharacter && ++characters > kMaxCharacters) break;
        utf8proc_uint8_t encoded[4];
        utf8proc_ssize_t length = utf8proc_encode_char(codePoint, encoded);
        stem.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(length));
    }
    return stem;
}

}  // namespace nerix
