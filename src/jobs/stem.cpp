#include "jobs/stem.h"

#include <cstdint>
#include <cstdio>
#include <string_view>
#include <utility>

#include <utf8proc.h>

namespace nerix {
namespace {

constexpr std::size_t kMaxCharacters = 80;

// A file name holds at most 255 bytes. The longest name made from a stem is the side file of
// the atomic write of the source: "." + stem + ".morvane" + ".XXXXXX", 16 bytes around the
// stem; the outputs ("<stem>.mid", "<stem>.wav") are shorter. Without this cut 80 CJK
// ideographs (240 bytes) could not be written.
constexpr std::size_t kAroundStem = std::string_view(".").size() + std::string_view(".morvane.XXXXXX").size();
constexpr std::size_t kMaxBytes = 255 - kAroundStem;  // 239

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
        case UTF8PROC_CATEGORY_NO: return true;
        default: return false;
    }
}

// "-" and eight hex digits of the name's FNV-1a hash: the same name always gets the same mark.
constexpr std::size_t kMarkSize = 9;

std::string markOf(std::string_view name) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    char mark[kMarkSize + 1];
    std::snprintf(mark, sizeof mark, "-%08x", static_cast<unsigned>((hash >> 32) ^ hash));
    return mark;
}

// The stem of the trimmed code points: cut at the start of the character past `maxCharacters`
// or of the first character that passes `maxBytes`, whichever comes first; nothing is trimmed
// after it. Also whether anything was cut off.
std::pair<std::string, bool> cutStem(std::u32string_view kept, std::size_t maxCharacters, std::size_t maxBytes) {
    std::string stem;
    utf8proc_int32_t state = 0;
    std::size_t characters = 0;
    std::size_t characterStart = 0;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        auto codePoint = static_cast<utf8proc_int32_t>(kept[i]);
        bool startsCharacter =
            i == 0 || utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(kept[i - 1]), codePoint, &state);
        if (startsCharacter) {
            if (++characters > maxCharacters) return {stem, true};
            characterStart = stem.size();
        }
        utf8proc_uint8_t encoded[4];
        utf8proc_ssize_t length = utf8proc_encode_char(codePoint, encoded);
        stem.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(length));
        if (stem.size() > maxBytes) {
            stem.resize(characterStart);
            return {stem, true};
        }
    }
    return {stem, false};
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

    std::u32string_view trimmed = std::u32string_view(kept).substr(first, last - first + 1);
    auto [stem, cut] = cutStem(trimmed, kMaxCharacters, kMaxBytes);
    if (cut) {
        // Names that differ only behind the cut must not share a file: the cut stem makes room
        // for a mark of the whole name.
        stem = cutStem(trimmed, kMaxCharacters - kMarkSize, kMaxBytes - kMarkSize).first;
        if (!stem.empty()) stem += markOf(*name);
    }
    // A first character longer than the budget on its own (a letter under a hundred marks)
    // leaves nothing.
    if (stem.empty()) return std::nullopt;
    return stem;
}

}  // namespace nerix
