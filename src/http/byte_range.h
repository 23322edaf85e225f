#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace nerix {

// One byte range of a file, its first byte and how many bytes.
struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// What a Range header asks of a file of `size` bytes.
struct RangeAsked {
    enum class Kind { Whole, Part, Unsatisfiable } kind = Kind::Whole;
    ByteRange range;  // for Part
};

// Reads "bytes=first-last", "bytes=first-" or "bytes=-suffix". A header that is absent,
// malformed, of another unit or with several ranges is answered with the whole file, as a
// server may; a well-formed range that starts past the end (or a suffix of 0) is unsatisfiable.
// The last byte is clamped to the file's end.
RangeAsked parseRange(std::optional<std::string_view> header, std::uint64_t size);

}  // namespace nerix
