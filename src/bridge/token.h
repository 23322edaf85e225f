#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace nerix {

// Fills a buffer with cryptographically secure random bytes; 0 on success.
using RandomSource = std::function<int(void* buffer, std::size_t size)>;

// Standard Base64 (RFC 4648 alphabet, "=" fill, no line breaks).
std::string base64Encode(std::string_view bytes);

// The access token: Base64 of 32 fresh random bytes (44 characters). Fails when the random
// source does.
Result<std::string> makeToken(const RandomSource& random);

// Compares a presented token with the bridge's without revealing, through timing, how much of
// it matched.
bool tokenMatches(std::string_view presented, std::string_view expected);

}  // namespace nerix
