#include "bridge/token.h"

#include <array>

namespace nerix {

std::string base64Encode(std::string_view bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    auto byte = [&](std::size_t k) { return static_cast<unsigned>(static_cast<unsigned char>(bytes[k])); };
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned v = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += kAlphabet[v >> 6 & 63];
        out += kAlphabet[v & 63];
    }
    if (std::size_t rest = bytes.size() - i; rest > 0) {
        unsigned v = byte(i) << 16 | (rest == 2 ? byte(i + 1) << 8 : 0);
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += rest == 2 ? kAlphabet[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

Result<std::string> makeToken(const RandomSource& random) {
    std::array<char, 32> bytes{};
    if (int status = random(bytes.data(), bytes.size()); status != 0) return fail("the random source failed", status);
    std::string token = base64Encode(std::string_view(bytes.data(), bytes.size()));
    bytes.fill(0);
    return token;
}

bool tokenMatches(std::string_view presented, std::string_view expected) {
    // Walk the expected token whole whatever was presented; fold every difference, the
    // length included, into one value that is looked at once at the end.
    unsigned diff = presented.size() == expected.size() ? 0u : 1u;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        unsigned char p = i < presented.size() ? static_cast<unsigned char>(presented[i]) : 0;
        diff |= p ^ static_cast<unsigned char>(expected[i]);
    }
    return diff == 0;
}

}  // namespace nerix
