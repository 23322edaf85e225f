#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nerix::utf8 {

// A byte that continues a character (10xxxxxx).
constexpr bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the character a lead byte announces: 2 to 4, or 1 for ASCII and for bytes that
// cannot begin a character.
constexpr std::size_t sequenceLength(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 1;
}

// Whether `byte` may follow `lead` as the character's second byte (Unicode table 3-7: the
// ranges that keep out overlong forms, surrogates and code points past U+10FFFF). Later bytes
// are plain continuation bytes.
constexpr bool secondByteFits(unsigned char lead, unsigned char byte) {
    switch (lead) {
        case 0xE0: return byte >= 0xA0 && byte <= 0xBF;
        case 0xED: return byte >= 0x80 && byte <= 0x9F;
        case 0xF0: return byte >= 0x90 && byte <= 0xBF;
        case 0xF4: return byte >= 0x80 && byte <= 0x8F;
        default: return isContinuation(byte);
    }
}

// Where the character that ends just before `end` begins: walks back over continuation bytes
// (never before the start of `text`). `end` must be greater than 0.
constexpr std::size_t startOfCharacterBefore(std::string_view text, std::size_t end) {
    std::size_t start = end - 1;
    while (start > 0 && isContinuation(static_cast<unsigned char>(text[start]))) --start;
    return start;
}

// Whether all of `text` is well-formed UTF-8. Vectorised: tool output of many megabytes passes
// through it.
bool isValid(std::string_view text) noexcept;

// Cuts a byte stream at UTF-8 character boundaries: a character split across two reads is held
// back until the rest of it arrives. Bytes that are not UTF-8 are passed on as they are.
class Cutter {
public:
    // The bytes so far that end on a boundary, held-back bytes first: `first` and `second`, in
    // this order (either may be empty).
    void feed(std::string_view bytes, std::string_view& first, std::string_view& second);
    // The end of the stream: what is still held back (an unfinished character), if anything.
    std::string_view finish();

private:
    char held_[4] = {};
    char completed_[4] = {};  // a held-back character once its rest has arrived
    std::size_t heldSize_ = 0;
    std::size_t heldNeed_ = 0;  // the whole character's length
};

// Appends `bytes`, with each stretch that is not UTF-8 replaced by U+FFFD (one per maximal
// stretch that could begin a character, as web decoders do).
void appendReplacingInvalid(std::string& out, std::string_view bytes);

}  // namespace nerix::utf8
