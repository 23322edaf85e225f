#pragma once

#include <string>
#include <string_view>

#include "base/utf8.h"

namespace nerix {

// The text of one read for a live line: UTF-8, in two parts (either may be empty), valid until
// the stream is given more bytes.
struct LiveText {
    std::string_view first;
    std::string_view second;
};

// One output stream of a live answer: each read's bytes cut at character boundaries, bytes
// that are not UTF-8 as U+FFFD.
class LiveStream {
public:
    // The text of these bytes; empty when they all wait for the rest of a character.
    LiveText text(std::string_view bytes);
    // What is held back at the end, if anything.
    LiveText finish();

private:
    LiveText textOf(std::string_view first, std::string_view second);

    utf8::Cutter cutter_;
    std::string mended_[2];
};

}  // namespace nerix
