#include "http/json_writer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/utf8.h"

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

// How many bytes each byte's escape adds to it.
constexpr std::array<std::uint8_t, 256> makeExtraTable() {
    std::array<std::uint8_t, 256> table{};
    for (int c = 0; c < 256; ++c) table[c] = kEscape[c] == 0 ? 0 : kEscape[c] == 'u' ? 5 : 1;
    return table;
}
constexpr auto kExtra = makeExtraTable();

// Room a string's writer may use past its text: it stores whole 16-byte blocks.
constexpr std::size_t kBlock = 16;

#if defined(__SSE2__)
// Tool output of many megabytes is mostly plain bytes: these pass over 16 at a time.

// One bit per byte of the block that needs a backslash: below 0x20, '"', '\\' or '/'.
inline unsigned escapeMask(__m128i block) {
    __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(block, _mm_set1_epi8(0x1F)), block);
    __m128i quote = _mm_cmpeq_epi8(block, _mm_set1_epi8('"'));
    __m128i backslash = _mm_cmpeq_epi8(block, _mm_set1_epi8('\\'));
    __m128i solidus = _mm_cmpeq_epi8(block, _mm_set1_epi8('/'));
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(control, quote), _mm_or_si128(backslash, solidus))));
}

// One bit per byte of the block below 0x20.
inline unsigned controlMask(__m128i block) {
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(block, _mm_set1_epi8(0x1F)), block)));
}

// Set bits of a 16-bit mask, without relying on a popcount instruction.
inline std::size_t bitCount(unsigned mask) {
    mask = mask - ((mask >> 1) & 0x5555u);
    mask = (mask & 0x3333u) + ((mask >> 2) & 0x3333u);
    mask = (mask + (mask >> 4)) & 0x0F0Fu;
    return (mask + (mask >> 8)) & 0x1Fu;
}
#endif

// How many bytes the escapes of [data, data + size) add.
std::size_t escapeExtra(const unsigned char* data, std::size_t size) {
    std::size_t extra = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + kBlock <= size; i += kBlock) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        unsigned mask = escapeMask(block);
        if (mask == 0) continue;
        // Every escape adds one byte; the \u00XX form of a control character four more.
        extra += bitCount(mask);
        for (unsigned control = controlMask(block); control != 0; control &= control - 1)
            extra += kExtra[data[i + static_cast<unsigned>(__builtin_ctz(control))]] - 1u;
    }
#endif
    for (; i < size; ++i) extra += kExtra[data[i]];
    return extra;
}

// The length of the string's JSON text, quotes included.
std::size_t escapedSize(const std::string& text) {
    return text.size() + escapeExtra(reinterpret_cast<const unsigned char*>(text.data()), text.size()) + 2;
}

char* writeEscape(char* out, unsigned char c) {
    static constexpr char kHex[] = "0123456789abcdef";
    char escape = kEscape[c];
    *out++ = '\\';
    *out++ = escape;
    if (escape == 'u') {
        *out++ = '0';
        *out++ = '0';
        *out++ = kHex[c >> 4];
        *out++ = kHex[c & 0xF];
    }
    return out;
}

// Writes the JSON form of [in, end) at `out`, which has room for it and kBlock bytes more.
char* writeEscaped(char* out, const unsigned char* in, const unsigned char* end) {
#if defined(__SSE2__)
    // A block without a byte to escape is stored whole. In one with such bytes, each run of
    // plain bytes before an escape is stored as a whole block too; the escape then overwrites
    // what followed the run. The loop reads at most 32 bytes ahead.
    while (end - in >= static_cast<std::ptrdiff_t>(2 * kBlock)) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        unsigned mask = escapeMask(block);
        if (mask == 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), block);
            in += kBlock;
            out += kBlock;
            continue;
        }
        unsigned from = 0;
        do {
            auto at = static_cast<unsigned>(__builtin_ctz(mask));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + from)));
            out += at - from;
            out = writeEscape(out, in[at]);
            from = at + 1;
            mask &= mask - 1;
        } while (mask != 0);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + from)));
        out += kBlock - from;
        in += kBlock;
    }
#endif
    for (; in < end; ++in) {
        if (kEscape[*in] == 0)
            *out++ = static_cast<char>(*in);
        else
            out = writeEscape(out, *in);
    }
    return out;
}

// Writes a string piece by piece through a scratch area that stays in the cache: the answer's
// buffer, sized beforehand, then takes each piece with one plain copy and is never cleared.
void appendEscapedText(std::string& out, std::string_view text) {
    constexpr std::size_t kPiece = 16 * 1024;
    constexpr std::size_t kSmall = 256;
    // Room for the worst case of a piece, where every byte becomes \u00XX, and the last
    // block's store. Keys and short texts use the stack; a long text takes its own area.
    const std::size_t largestPiece = std::min(kPiece, text.size());
    char small[kSmall * 6 + kBlock];
    std::unique_ptr<char[]> large;
    char* scratch = small;
    if (largestPiece > kSmall) {
        large = std::make_unique_for_overwrite<char[]>(largestPiece * 6 + kBlock);
        scratch = large.get();
    }

    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = in + text.size();
    while (in < end) {
        std::size_t piece = std::min<std::size_t>(kPiece, static_cast<std::size_t>(end - in));
        char* written = writeEscaped(scratch, in, in + piece);
        out.append(scratch, static_cast<std::size_t>(written - scratch));
        in += piece;
    }
}

void appendString(std::string& out, const std::string& text) {
    out += '"';
    appendEscapedText(out, text);
    out += '"';
}

std::size_t estimateSize(const nlohmann::json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::string: return escapedSize(value.get_ref<const std::string&>());
        case nlohmann::json::value_t::object: {
            std::size_t total = 2;
            for (const auto& [key, member] : value.items()) total += escapedSize(key) + 2 + estimateSize(member);
            return total;
        }
        case nlohmann::json::value_t::array: {
            std::size_t total = 2;
            for (const auto& member : value) total += 1 + estimateSize(member);
            return total;
        }
        default: return 24;
    }
}

bool append(std::string& out, const nlohmann::json& value);

bool appendInteger(std::string& out, const nlohmann::json& value) {
    char digits[24];
    auto [end, ec] = value.type() == nlohmann::json::value_t::number_integer
                         ? std::to_chars(digits, digits + sizeof digits, value.get<std::int64_t>())
                         : std::to_chars(digits, digits + sizeof digits, value.get<std::uint64_t>());
    if (ec != std::errc()) return false;
    out.append(digits, end);
    return true;
}

bool appendFloat(std::string& out, double number) {
    if (!std::isfinite(number)) return false;
    char digits[32];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, number);
    if (ec != std::errc()) return false;
    out.append(digits, end);
    return true;
}

bool appendText(std::string& out, const std::string& text) {
    if (!utf8::isValid(text)) return false;
    appendString(out, text);
    return true;
}

bool appendArray(std::string& out, const nlohmann::json& value) {
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

bool appendObject(std::string& out, const nlohmann::json& value) {
    out += '{';
    bool first = true;
    for (const auto& [key, member] : value.items()) {
        if (!first) out += ',';
        first = false;
        if (!appendText(out, key)) return false;
        out += ':';
        if (!append(out, member)) return false;
    }
    out += '}';
    return true;
}

// Writes the value's JSON text; false when it has none.
bool append(std::string& out, const nlohmann::json& value) {
    using Type = nlohmann::json::value_t;
    switch (value.type()) {
        case Type::null: out += "null"; return true;
        case Type::boolean: out += value.get<bool>() ? "true" : "false"; return true;
        case Type::number_integer:
        case Type::number_unsigned: return appendInteger(out, value);
        case Type::number_float: return appendFloat(out, value.get<double>());
        case Type::string: return appendText(out, value.get_ref<const std::string&>());
        case Type::array: return appendArray(out, value);
        case Type::object: return appendObject(out, value);
        default:  // binary and discarded values have no JSON text
            return false;
    }
}

}  // namespace

void appendJsonEscaped(std::string& out, std::string_view utf8) { appendEscapedText(out, utf8); }

Result<std::string> writeJson(const nlohmann::json& value) {
    std::string out;
    out.reserve(estimateSize(value));
    if (!append(out, value))
        return fail("the value has no JSON text (text that is not UTF-8, or a number that is not finite)");
    return out;
}

}  // namespace nerix
