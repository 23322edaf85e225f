#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/byte_range.h"

namespace nerix {

// How a regular file of `size` bytes answers a GET whose Range field is `range`, as a web server
// does: 200 with the whole file, 206 with the part asked for and its Content-Range, or 416 with
// "bytes */size" and no body. The header fields are Content-Type, Content-Length, Accept-Ranges
// and, where it applies, Content-Range; `span` is the part of the file the body is.
struct FileAnswerHead {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    ByteRange span;
};

FileAnswerHead fileAnswerHead(std::string_view contentType, std::uint64_t size,
                              std::optional<std::string_view> range);

}  // namespace nerix
