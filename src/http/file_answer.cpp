#include "http/file_answer.h"

namespace nerix {

FileAnswerHead fileAnswerHead(std::string_view contentType, std::uint64_t size,
                              std::optional<std::string_view> range) {
    FileAnswerHead head;
    const RangeAsked asked = parseRange(range, size);
    if (asked.kind == RangeAsked::Kind::Unsatisfiable) {
        head.status = 416;
        head.headers = {{"Content-Type", "text/plain; charset=utf-8"},
                        {"Content-Length", "0"},
                        {"Content-Range", "bytes */" + std::to_string(size)}};
        return head;
    }
    head.span = asked.kind == RangeAsked::Kind::Part ? asked.range : ByteRange{0, size};
    head.status = asked.kind == RangeAsked::Kind::Part ? 206 : 200;
    head.headers = {{"Content-Type", std::string(contentType)},
                    {"Content-Length", std::to_string(head.span.length)},
                    {"Accept-Ranges", "bytes"}};
    if (head.status == 206)
        head.headers.emplace_back("Content-Range", "bytes " + std::to_string(head.span.offset) + "-" +
                                                       std::to_string(head.span.offset + head.span.length - 1) +
                                                       "/" + std::to_string(size));
    return head;
}

}  // namespace nerix
