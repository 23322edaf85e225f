#include "http/byte_range.h"

#include <charconv>

namespace nerix {

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// Digits only, no sign, no overflow.
std::optional<std::uint64_t> number(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

RangeAsked parseRange(std::optional<std::string_view> header, std::uint64_t size) {
    const RangeAsked whole;
    if (!header) return whole;
    std::string_view text = trimmed(*header);
    if (text.substr(0, 6) != "bytes=") return whole;
    text = trimmed(text.substr(6));
    if (text.find(',') != std::string_view::npos) return whole;
    const auto dash = text.find('-');
    if (dash == std::string_view::npos) return whole;
    const std::string_view first = trimmed(text.substr(0, dash)), last = trimmed(text.substr(dash + 1));
    const RangeAsked unsatisfiable{RangeAsked::Kind::Unsatisfiable, {}};
    if (first.empty()) {
        const auto suffix = number(last);
        if (!suffix) return whole;
        if (*suffix == 0 || size == 0) return unsatisfiable;
        const std::uint64_t length = *suffix < size ? *suffix : size;
        return RangeAsked{RangeAsked::Kind::Part, {size - length, length}};
    }
    const auto start = number(first);
    if (!start) return whole;
    std::uint64_t end = size == 0 ? 0 : size - 1;
    if (!last.empty()) {
        const auto given = number(last);
        if (!given || *given < *start) return whole;
        if (*given < end) end = *given;
    }
    if (*start >= size) return unsatisfiable;
    return RangeAsked{RangeAsked::Kind::Part, {*start, end - *start + 1}};
}

}  // namespace nerix
