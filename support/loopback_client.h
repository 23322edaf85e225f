#pragma once

// A blocking HTTP/1.1 client for tests: one connection, bytes sent in chosen pieces, the whole
// answer read until the server closes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nerix::support {

class LoopbackClient {
public:
    explicit LoopbackClient(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (fd_ < 0) throw std::runtime_error("socket failed");
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close();
            throw std::runtime_error("connect failed");
        }
    }
    ~LoopbackClient() { close(); }
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0) throw std::runtime_error("send failed");
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }
    void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // Everything the server sends until it closes (or the deadline passes).
    std::string readAll(std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
        return readUntil({}, deadline);
    }

    // Reads until what has arrived holds `text` (an empty one: never), the server closes or the
    // deadline passes.
    std::string readUntil(std::string_view text, std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
        std::string out;
        const auto end = std::chrono::steady_clock::now() + deadline;
        char buffer[65536];
        while (text.empty() || out.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }

    // True when the server has closed without sending anything more within the deadline.
    bool closedWithoutData(std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
        pollfd p{fd_, POLLIN, 0};
        char c;
        return ::poll(&p, 1, static_cast<int>(deadline.count())) > 0 && ::recv(fd_, &c, 1, MSG_PEEK) <= 0;
    }

    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

struct ParsedAnswer {
    int status = 0;
    std::string statusLine;
    std::vector<std::string> headerLines;  // in order, without CR LF
    std::map<std::string, std::string> headers;
    std::string body;
};

inline ParsedAnswer parseAnswer(const std::string& raw) {
    ParsedAnswer answer;
    const auto headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string::npos) return answer;
    answer.body = raw.substr(headEnd + 4);
    for (std::size_t start = 0, end; (end = raw.find("\r\n", start)) <= headEnd; start = end + 2) {
        std::string line = raw.substr(start, end - start);
        if (start == 0) {
            answer.statusLine = line;
            if (line.size() >= 12) answer.status = std::stoi(line.substr(9, 3));
            continue;
        }
        answer.headerLines.push_back(line);
        if (auto colon = line.find(": "); colon != std::string::npos)
            answer.headers[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return answer;
}

// One request on a fresh connection; the whole answer.
inline ParsedAnswer roundTrip(std::uint16_t port, std::string_view request) {
    LoopbackClient client(port);
    client.send(request);
    return parseAnswer(client.readAll());
}

inline std::string post(std::string_view path, std::string_view token, std::string_view body) {
    std::string request = "POST " + std::string(path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!token.empty()) request += "X-Nerix-Token: " + std::string(token) + "\r\n";
    return request + "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           std::string(body);
}

}  // namespace nerix::support
