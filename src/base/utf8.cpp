#include "base/utf8.h"

#include <algorithm>

#include <simdjson.h>

namespace nerix::utf8 {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

bool isValid(std::string_view text) noexcept { return simdjson::validate_utf8(text.data(), text.size()); }

void Cutter::feed(std::string_view bytes, std::string_view& first, std::string_view& second) {
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

std::string_view Cutter::finish() {
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
               (got == 1 ? secondByteFits(data[i], data[i + got]) : isContinuation(data[i + got])))
            ++got;
        if (got == need)
            out.append(bytes.substr(i, need));
        else
            out.append(kReplacement);
        i += got;
    }
}

}  // namespace nerix::utf8
