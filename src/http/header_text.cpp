#include "http/header_text.h"

#include <charconv>
#include <cstdint>

#include <utf8proc.h>

#include "base/utf8.h"

namespace nerix {
namespace {

bool isTrimmed(utf8proc_int32_t cp) { return cp == '\t' || utf8proc_category(cp) == UTF8PROC_CATEGORY_ZS; }

// Decodes the code point that starts at `pos`; returns its length, or 0 when the bytes are
// not a valid code point (the head was checked as UTF-8 before, so that does not happen).
std::size_t decodeAt(std::string_view text, std::size_t pos, utf8proc_int32_t& cp) {
    auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + pos),
                              static_cast<utf8proc_ssize_t>(text.size() - pos), &cp);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

}  // namespace

std::string_view trimHeaderText(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        utf8proc_int32_t cp;
        std::size_t n = decodeAt(text, begin, cp);
        if (n == 0 || !isTrimmed(cp)) break;
        begin += n;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = utf8::startOfCharacterBefore(text, end);
        utf8proc_int32_t cp;
        if (decodeAt(text, start, cp) != end - start || !isTrimmed(cp)) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::string lowerCaseText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        auto c = static_cast<unsigned char>(text[pos]);
        if (c < 0x80) {  // ASCII: the common case for header names
            out += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
            ++pos;
            continue;
        }
        utf8proc_int32_t cp;
        std::size_t n = decodeAt(text, pos, cp);
        if (n == 0) {  // not reached for checked heads; keep the byte as it is
            out += text[pos++];
            continue;
        }
        // The one unconditional lower case that is longer than one code point.
        if (cp == 0x0130) {
            out += "i\xCC\x87";
            pos += n;
            continue;
        }
        utf8proc_uint8_t encoded[4];
        auto len = utf8proc_encode_char(utf8proc_tolower(cp), encoded);
        out.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(len));
        pos += n;
    }
    return out;
}

ContentLength parseContentLength(std::string_view text) {
    const bool negative = text.starts_with('-');
    if (negative) text.remove_prefix(1);
    if (text.empty()) return {};
    for (char c : text)
        if (c < '0' || c > '9') return {};
    if (negative) return {ContentLength::Kind::Negative, 0};
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return {ContentLength::Kind::Huge, 0};
    return {ContentLength::Kind::Length, value};
}

}  // namespace nerix
