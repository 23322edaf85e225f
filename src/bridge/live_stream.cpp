#include "bridge/live_stream.h"

namespace nerix {

LiveText LiveStream::text(std::string_view bytes) {
    std::string_view first, second;
    cutter_.feed(bytes, first, second);
    return textOf(first, second);
}

LiveText LiveStream::finish() { return textOf(cutter_.finish(), {}); }

LiveText LiveStream::textOf(std::string_view first, std::string_view second) {
    std::string_view parts[2] = {first, second};
    for (int i = 0; i < 2; ++i) {
        if (utf8::isValid(parts[i])) continue;
        mended_[i].clear();
        utf8::appendReplacingInvalid(mended_[i], parts[i]);
        parts[i] = mended_[i];
    }
    return {parts[0], parts[1]};
}

}  // namespace nerix
