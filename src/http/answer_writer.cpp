#include "http/answer_writer.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "http/json_writer.h"

namespace nerix {
namespace {

// Every answer allows the page's origin and closes the connection: one request per connection.
constexpr std::string_view kCorsAndClose =
    "\r\nAccess-Control-Allow-Origin: *"
    "\r\nAccess-Control-Allow-Headers: Content-Type, X-Nerix-Token"
    "\r\nAccess-Control-Allow-Methods: GET, POST, OPTIONS"
    "\r\nConnection: close";

void appendHead(std::string& out, int status, std::size_t contentLength) {
    out += "HTTP/1.1 ";
    out += std::to_string(status);
    out += ' ';
    out += reasonPhrase(status);
    out += "\r\nContent-Type: application/json\r\nContent-Length: ";
    out += std::to_string(contentLength);
    out += kCorsAndClose;
    out += "\r\n\r\n";
}

std::string chunkSizeLine(std::size_t size) {
    char line[24];
    int length = std::snprintf(line, sizeof line, "%zx\r\n", size);
    return std::string(line, static_cast<std::size_t>(length));
}

void appendKey(std::string& out, std::string_view name) {
    out += '"';
    appendJsonEscaped(out, name);
    out += "\":";
}

}  // namespace

std::string_view reasonPhrase(int status) {
    switch (status) {
        case 204: return "No Content";
        case 206: return "Partial Content";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 413: return "Payload Too Large";
        case 416: return "Range Not Satisfiable";
        case 421: return "Misdirected Request";
        case 500: return "Internal Server Error";
        default: return "OK";
    }
}

std::string writeAnswer(const Response& response) {
    std::string body;
    if (response.json) {
        if (auto text = writeJson(*response.json)) body = std::move(*text);
    }
    std::string answer;
    answer.reserve(256 + body.size());
    appendHead(answer, response.status, body.size());
    answer += body;
    return answer;
}

std::string writeFileHead(const FileResponse& response) {
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + ' ';
    head += reasonPhrase(response.status);
    for (const auto& [name, value] : response.headers) {
        head += "\r\n";
        head += name;
        head += ": ";
        head += value;
    }
    // A page that fetches a part of a file reads where the part lies.
    head += "\r\nAccess-Control-Expose-Headers: Content-Range, Accept-Ranges";
    head += kCorsAndClose;
    head += "\r\n\r\n";
    return head;
}

std::vector<std::string> writeJobAnswer(int status, const nlohmann::json& fields, std::vector<EscapedOutput> outputs) {
    std::sort(outputs.begin(), outputs.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    // The body's own small texts between the outputs' pieces; the head goes in front last,
    // once the length is known.
    std::vector<std::string> body(1, "{");
    bool first = true;
    auto separate = [&] {
        if (!first) body.back() += ',';
        first = false;
    };
    auto output = outputs.begin();
    auto writeOutputsBefore = [&](const std::string* name) {
        for (; output != outputs.end() && (!name || output->name < *name); ++output) {
            separate();
            appendKey(body.back(), output->name);
            body.back() += '"';
            for (auto& piece : output->pieces) body.push_back(std::move(piece));
            body.emplace_back("\"");
        }
    };
    for (const auto& [name, value] : fields.items()) {
        writeOutputsBefore(&name);
        auto text = writeJson(value);
        if (!text) {  // a member without JSON text: the answer keeps its status, with no body
            std::string head;
            appendHead(head, status, 0);
            return {std::move(head)};
        }
        separate();
        appendKey(body.back(), name);
        body.back() += *text;
    }
    writeOutputsBefore(nullptr);
    body.back() += '}';

    std::size_t length = 0;
    for (const auto& piece : body) length += piece.size();
    std::string head;
    head.reserve(256 + body.front().size());
    appendHead(head, status, length);
    body.front().insert(0, head);
    return body;
}

std::string liveAnswerHead() {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: ";
    head += kLiveAnswerType;
    head += kCorsAndClose;
    head += "\r\nTransfer-Encoding: chunked\r\n\r\n";
    return head;
}

std::vector<std::string> liveOutputChunk(std::string_view stream, std::string_view first, std::string_view second) {
    if (first.empty() && second.empty()) return {};
    std::string line;
    const std::size_t size = first.size() + second.size();
    line.reserve(size + size / 8 + 32);
    line += "{\"";
    line += stream;
    line += "\":\"";
    appendJsonEscaped(line, first);
    appendJsonEscaped(line, second);
    line += "\"}\n";
    std::string sizeLine = chunkSizeLine(line.size());
    line += "\r\n";
    return {std::move(sizeLine), std::move(line)};
}

std::string liveLastChunk(int status, const nlohmann::json& fields) {
    // The status first, then the members of the plain answer but the tool's output.
    std::string line = "{\"status\":" + std::to_string(status);
    auto members = writeJson(fields);
    if (members && members->size() > 2)
        line += "," + members->substr(1);
    else
        line += "}";
    line += "\n";
    return chunkSizeLine(line.size()) + line + "\r\n0\r\n\r\n";
}

}  // namespace nerix
