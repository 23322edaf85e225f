#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"

namespace nerix {

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

    utf8::Cutter cutter_;
    bool valid_ = true;
    std::vector<std::string> pieces_;
};

}  // namespace nerix
