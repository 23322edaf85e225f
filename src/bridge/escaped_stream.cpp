#include "bridge/escaped_stream.h"

#include <algorithm>

#include "http/json_writer.h"
#include "platform/posix/memory.h"

namespace nerix {
namespace {

constexpr std::size_t kPieceSize = 8 * 1024 * 1024;

}  // namespace

void EscapedStream::add(std::string_view bytes) {
    if (!valid_) return;
    std::string_view first, second;
    cutter_.feed(bytes, first, second);
    addWhole(first);
    addWhole(second);
}

void EscapedStream::addWhole(std::string_view bytes) {
    if (!valid_ || bytes.empty()) return;
    if (!utf8::isValid(bytes)) {
        // Bad bytes are never replaced or passed on in a plain answer: the text is empty.
        valid_ = false;
        std::vector<std::string>().swap(pieces_);
        return;
    }
    // A new piece when the escaped bytes would likely not fit: a piece is never moved.
    const std::size_t room = bytes.size() + bytes.size() / 8 + 64;
    if (pieces_.empty() || pieces_.back().capacity() - pieces_.back().size() < room) {
        pieces_.emplace_back();
        pieces_.back().reserve(std::max(kPieceSize, room));
        // Fresh memory about to be filled: far fewer page faults in huge pages.
        platform::adviseHugePages(pieces_.back().data(), pieces_.back().capacity());
    }
    appendJsonEscaped(pieces_.back(), bytes);
}

void EscapedStream::finish() {
    if (!cutter_.finish().empty()) {
        valid_ = false;
        std::vector<std::string>().swap(pieces_);
    }
}

std::vector<std::string> EscapedStream::take() { return std::move(pieces_); }

}  // namespace nerix
