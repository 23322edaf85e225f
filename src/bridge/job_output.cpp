#include "bridge/job_output.h"

#include <algorithm>

#include "base/utf8.h"
#include "http/json_writer.h"
#include "platform/posix/memory.h"

namespace nerix {
namespace {

constexpr std::size_t kPieceSize = 8 * 1024 * 1024;
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

using utf8::isContinuation;
using utf8::sequenceLength;

}  // namespace

void Utf8Cutter::feed(std::string_view bytes, std::string_view& first, std::string_view& second) {
    first = {};
    second = {};
    // Complete the held-back character with the continuation bytes that follow it; anything
    // else ends it early (it is then not UTF-8, and said so later).
    if (heldSize_ > 0) {
        while (heldSize_ < heldNeed_ && !bytes.empty() && isContinuation(static_cast<unsigned char>(bytes.front()))) {
            held_[heldSize_++] = bytes.front();
            bytes.remove_prefix(1);
        }
        if (heldSize_ < heldNeed_ && bytes.empty()) return;
        std::copy(held_, held_ + heldSize_, completed_);
        first = std::string_view(completed_, heldSize_);
        heldSize_ = 0;
    }
    // A character that begins in the last three bytes and needs more than is there waits.
    std::size_t cut = bytes.size();
    for (std::size_t back = 1; back <= std::min<std::size_t>(3, bytes.size()); ++back) {
        auto byte = static_cast<unsigned char>(bytes[bytes.size() - back]);
        if (isContinuation(byte)) continue;
        std::size_t need = sequenceLength(byte);
        if (need > back) cut = bytes.size() - back;
        break;
    }
    second = bytes.substr(0, cut);
    std::string_view rest = bytes.substr(cut);
    std::copy(rest.begin(), rest.end(), held_);
    heldSize_ = rest.size();
    heldNeed_ = heldSize_ ? sequenceLength(static_cast<unsigned char>(rest.front())) : 0;
}

std::string_view Utf8Cutter::finish() {
    std::string_view rest(held_, heldSize_);
    heldSize_ = 0;
    return rest;
}

void appendReplacingInvalid(std::string& out, std::string_view bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t need = sequenceLength(data[i]);
        if (need == 1) {
            if (data[i] < 0x80)
                out += static_cast<char>(data[i]);
            else
                out.append(kReplacement);
            ++i;
            continue;
        }
        std::size_t got = 1;
        while (got < need && i + got < bytes.size() &&
               (got == 1 ? utf8::secondByteFits(data[i], data[i + got]) : isContinuation(data[i + got])))
            ++got;
        if (got == need)
            out.append(bytes.substr(i, need));
        else
            out.append(kReplacement);
        i += got;
    }
}

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
        appendReplacingInvalid(mended_[i], parts[i]);
        parts[i] = mended_[i];
    }
    return {parts[0], parts[1]};
}

}  // namespace nerix
