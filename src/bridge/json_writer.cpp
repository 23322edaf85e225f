#include "bridge/json_writer.h"

#include <array>
#include <charconv>
#include <cmath>

#include <simdjson.h>

namespace nerix {
namespace {

// For each byte: 0 when it is copied as it is, else the character after the backslash
// ('u' for the \u00XX form).
constexpr std::array<char, 256> makeEscapeTable() {
    std::array<char, 256> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = 'u';
    table['\b'] = 'b';
    table['\f'] = 'f';
    table['\n'] = 'n';
    table['\r'] = 'r';
    table['\t'] = 't';
    table['"'] = '"';
    table['\\'] = '\\';
    table['/'] = '/';
    return table;
}
constexpr auto kEscape = makeEscapeTable();

// Copies runs of plain bytes whole; tool output of many megabytes passes through here.
void appendString(std::string& out, const std::string& text) {
    out += '"';
    const char* data = text.data();
    std::size_t size = text.size();
    std::size_t runStart = 0;
    for (std::size_t i = 0; i < size; ++i) {
        char escape = kEscape[static_cast<unsigned char>(data[i])];
        if (escape == 0) continue;
        out.append(data + runStart, i - runStart);
        out += '\\';
        out += escape;
        if (escape == 'u') {
            static constexpr char kHex[] = "0123456789abcdef";
            auto c = static_cast<unsigned char>(data[i]);
            out += "00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
        runStart = i + 1;
    }
    out.append(data + runStart, size - runStart);
    out += '"';
}

std::size_t estimateSize(const nlohmann::json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::string:
            return value.get_ref<const std::string&>().size() + 16;
        case nlohmann::json::value_t::object: {
            std::size_t total = 2;
            for (const auto& [key, member] : value.items()) total += key.size() + 4 + estimateSize(member);
            return total;
        }
        case nlohmann::json::value_t::array: {
            std::size_t total = 2;
            for (const auto& member : value) total += 1 + estimateSize(member);
            return total;
        }
        default:
            return 24;
    }
}

bool append(std::string& out, const nlohmann::json& value) {
    using Type = nlohmann::json::value_t;
    switch (value.type()) {
        case Type::null:
            out += "null";
            return true;
        case Type::boolean:
            out += value.get<bool>() ? "true" : "false";
            return true;
        case Type::number_integer:
        case Type::number_unsigned: {
            char digits[24];
            auto [end, ec] = value.type() == Type::number_integer
                                 ? std::to_chars(digits, digits + sizeof digits, value.get<std::int64_t>())
                                 : std::to_chars(digits, digits + sizeof digits, value.get<std::uint64_t>());
            if (ec != std::errc()) return false;
            out.append(digits, end);
            return true;
        }
        case Type::number_float: {
            double number = value.get<double>();
            if (!std::isfinite(number)) return false;
            char digits[32];
            auto [end, ec] = std::to_chars(digits, digits + sizeof digits, number);
            if (ec != std::errc()) return false;
            out.append(digits, end);
            return true;
        }
        case Type::string: {
            const auto& text = value.get_ref<const std::string&>();
            if (!simdjson::validate_utf8(text.data(), text.size())) return false;
            appendString(out, text);
            return true;
        }
        case Type::array: {
            out += '[';
            bool first = true;
            for (const auto& member : value) {
                if (!first) out += ',';
                first = false;
                if (!append(out, member)) return false;
            }
            out += ']';
            return true;
        }
        case Type::object: {
            out += '{';
            bool first = true;
            for (const auto& [key, member] : value.items()) {
                if (!first) out += ',';
                first = false;
                if (!simdjson::validate_utf8(key.data(), key.size())) return false;
                appendString(out, key);
                out += ':';
                if (!append(out, member)) return false;
            }
            out += '}';
            return true;
        }
        default:  // binary and discarded values have no JSON text
            return false;
    }
}

}  // namespace

std::optional<std::string> writeJson(const nlohmann::json& value) {
    try {
        std::string out;
        out.reserve(estimateSize(value));
        if (!append(out, value)) return std::nullopt;
        return out;
    } catch (...) {  // out of memory: answer with an empty body rather than unwind
        return std::nullopt;
    }
}

}  // namespace nerix
