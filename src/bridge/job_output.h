#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace nerix {

// Cuts a byte stream at UTF-8 character boundaries: a character split across two reads is held
// back until the rest of it arrives. Bytes that are not UTF-8 are passed on as they are.
class Utf8Cutter {
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

// One output stream of a plain answer, JSON-escaped as it arrives and kept in pieces of a few
// MiB, so that the answer is ready to send when the tool ends and is never copied once more.
// A stream that turns out not to be UTF-8 becomes the empty text.
class EscapedStream {
public:
    void add(std::string_view bytes);
    void finish();
    std::vector<std::string> take();

private:
    void addWhole(std::string_view bytes);

    Utf8Cutter cutter_;
    bool valid_ = true;
    std::vector<std::string> pieces_;
};

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

    Utf8Cutter cutter_;
    std::string mended_[2];
};

}  // namespace nerix
