#include "bridge/job_output.h"

#include <algorithm>
#include <cstdio>

#include <simdjson.h>

#include "http/json_writer.h"
#include "platform/posix/memory.h"

namespace nerix {
namespace {

constexpr std::size_t kPieceSize = 8 * 1024 * 1024;
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length a lead byte announces; 1 for ASCII and for bytes that cannot begin a character.
std::size_t announcedLength(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 1;
}

// The allowed range of the byte after a lead byte (Unicode table 3-7); later bytes are plain
// continuation bytes.
bool secondByteFits(unsigned char lead, unsigned char byte) {
    switch (lead) {
        case 0xE0: return byte >= 0xA0 && byte <= 0xBF;
        case 0xED: return byte >= 0x80 && byte <= 0x9F;
        case 0xF0: return byte >= 0x90 && byte <= 0xBF;
        case 0xF4: return byte >= 0x80 && byte <= 0x8F;
        default: return isContinuation(byte);
    }
}

bool isUtf8(std::string_view bytes) { return simdjson::validate_utf8(bytes.data(), bytes.size()); }

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
        std::size_t need = announcedLength(byte);
        if (need > back) cut = bytes.size() - back;
        break;
    }
    second = bytes.substr(0, cut);
    std::string_view rest = bytes.substr(cut);
    std::copy(rest.begin(), rest.end(), held_);
    heldSize_ = rest.size();
    heldNeed_ = heldSize_ ? announcedLength(static_cast<unsigned char>(rest.front())) : 0;
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
        std::size_t need = announcedLength(data[i]);
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

void EscapedStream::add(std::string_view bytes) {
    if (!valid_) return;
    std::string_view first, second;
    cutter_.feed(bytes, first, second);
    addWhole(first);
    addWhole(second);
}

void EscapedStream::addWhole(std::string_view bytes) {
    if (!valid_ || bytes.empty()) return;
    if (!isUtf8(bytes)) {
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

std::string LiveStream::line(std::string_view bytes) {
    std::string_view first, second;
    cutter_.feed(bytes, first, second);
    return lineOf(first, second);
}

std::string LiveStream::finish() { return lineOf(cutter_.finish(), {}); }

std::string LiveStream::lineOf(std::string_view first, std::string_view second) {
    if (first.empty() && second.empty()) return {};
    std::string line;
    line.reserve(first.size() + second.size() + (first.size() + second.size()) / 8 + 32);
    line += "{\"";
    line += name_;
    line += "\":\"";
    for (std::string_view part : {first, second}) {
        if (isUtf8(part)) {
            appendJsonEscaped(line, part);
        } else {
            std::string mended;
            appendReplacingInvalid(mended, part);
            appendJsonEscaped(line, mended);
        }
    }
    line += "\"}\n";
    return line;
}

std::string chunkHead(std::size_t size) {
    char head[24];
    int length = std::snprintf(head, sizeof head, "%zx\r\n", size);
    return std::string(head, static_cast<std::size_t>(length));
}

}  // namespace nerix
