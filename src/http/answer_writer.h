#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "http/response.h"

namespace nerix {

// The one place that writes an answer's bytes: the status line and the fixed head, the plain
// JSON body, and the chunks of a live answer. Nothing here touches a socket: each function
// returns the bytes (or the pieces, in order) that go out together in one send.

std::string_view reasonPhrase(int status);

// A whole answer: the head, then the compact JSON body (none for the preflight). A payload that
// cannot be written leaves the body empty; the status stays.
std::string writeAnswer(const Response& response);

// The head of a file's answer: the status line, its own header fields, and the fixed fields
// every answer carries. The body follows on its own.
std::string writeFileHead(const FileResponse& response);

// One of the tool's output texts in a job's plain answer: its member name and its JSON-escaped
// text (without quotes), in pieces that are moved into the answer, never copied.
struct EscapedOutput {
    std::string_view name;  // "stdout" or "stderr"
    std::vector<std::string> pieces;
};

// A job's plain answer: `fields` and `outputs` as the members of one JSON object, all in the
// order of their names (as writeAnswer orders them), behind the head. The pieces go out in
// order; the large ones are the outputs' own.
std::vector<std::string> writeJobAnswer(int status, const nlohmann::json& fields, std::vector<EscapedOutput> outputs);

// The media type of a live answer, which a request asks for by listing it in its Accept header.
inline constexpr std::string_view kLiveAnswerType = "application/x-ndjson";

// The head of a live answer: status 200, one JSON object per line, sent in chunks.
std::string liveAnswerHead();

// One chunk holding the line {"<stream>":"<text>"} for UTF-8 text given in parts: the chunk's
// size line, then the line and the chunk's end. Nothing when the text is empty.
std::vector<std::string> liveOutputChunk(std::string_view stream, std::string_view first, std::string_view second = {});

// The end of a live answer: the line {"status":N, ...} with every member of `fields`, in its
// own chunk, then the chunked body's last chunk.
std::string liveLastChunk(int status, const nlohmann::json& fields);

}  // namespace nerix
