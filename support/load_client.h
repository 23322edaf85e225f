#pragma once

// A loopback HTTP load client for the benchmarks: one request per connection, either one
// connection after the other, or a fixed number of connections in flight at once (a new one
// opened as soon as one is answered). Every answer is read to the server's close and checked
// for its status line.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace nerix::support {

struct LoadResult {
    int answered = 0;  // answers with the expected status line
    int failed = 0;    // refused connections, resets, other answers
    double seconds = 0;
};

inline sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A connected loopback socket (blocking, close-on-exec), or -1.
inline int connectLoopback(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

inline bool goodAnswer(std::string_view answer, std::string_view statusLine) {
    return answer.substr(0, statusLine.size()) == statusLine;
}

// `count` requests, each on its own connection, one after the other.
inline LoadResult runSequential(std::uint16_t port, std::string_view request, std::string_view statusLine, int count) {
    LoadResult result;
    const sockaddr_in address = loopback(port);
    char buffer[4096];
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
        std::size_t got = 0;
        while (ok) {
            ssize_t n = ::recv(fd, buffer + got, sizeof buffer - got, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
            if (got == sizeof buffer) got = 0;  // only the status line matters
        }
        ok = ok && goodAnswer(std::string_view(buffer, got), statusLine);
        if (fd >= 0) ::close(fd);
        ok ? ++result.answered : ++result.failed;
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
}

// `count` requests with `inFlight` connections open at any time.
inline LoadResult runConcurrent(std::uint16_t port, std::string_view request, std::string_view statusLine, int count,
                                int inFlight) {
    struct Slot {
        int fd = -1;
        bool sent = false;
        std::string answer;
    };
    LoadResult result;
    const sockaddr_in address = loopback(port);
    int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<Slot> slots(static_cast<std::size_t>(inFlight));
    int opened = 0;

    auto open = [&](std::size_t index) {
        Slot& slot = slots[index];
        slot = Slot{};
        if (opened >= count) return;
        ++opened;
        slot.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        int rc = ::connect(slot.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (rc != 0 && errno != EINPROGRESS) {
            ::close(slot.fd);
            slot.fd = -1;
            ++result.failed;
            return;
        }
        epoll_event event{};
        event.events = EPOLLOUT | EPOLLIN;
        event.data.u64 = index;
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, slot.fd, &event);
    };
    auto finish = [&](std::size_t index, bool ok) {
        Slot& slot = slots[index];
        ::close(slot.fd);  // also takes it out of the epoll set
        ok&& goodAnswer(slot.answer, statusLine) ? ++result.answered : ++result.failed;
        slot.fd = -1;
    };

    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < slots.size(); ++i) open(i);
    std::vector<epoll_event> events(slots.size());
    char buffer[4096];
    while (result.answered + result.failed < count) {
        int ready = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 5000);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;  // nothing moved for seconds: the server is stuck
        for (int e = 0; e < ready; ++e) {
            std::size_t index = events[static_cast<std::size_t>(e)].data.u64;
            Slot& slot = slots[index];
            if (slot.fd < 0) continue;
            if (!slot.sent && (events[static_cast<std::size_t>(e)].events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(slot.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error != 0 || ::send(slot.fd, request.data(), request.size(), MSG_NOSIGNAL) !=
                                      static_cast<ssize_t>(request.size())) {
                    finish(index, false);
                    open(index);
                    continue;
                }
                slot.sent = true;
                epoll_event event{};
                event.events = EPOLLIN;
                event.data.u64 = index;
                ::epoll_ctl(epoll, EPOLL_CTL_MOD, slot.fd, &event);
                continue;
            }
            for (;;) {
                ssize_t n = ::recv(slot.fd, buffer, sizeof buffer, 0);
                if (n > 0) {
                    if (slot.answer.size() < 64) slot.answer.append(buffer, static_cast<std::size_t>(n));
                    continue;
                }
                if (n < 0 && errno == EINTR) continue;
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
                finish(index, n == 0);
                open(index);
                break;
            }
        }
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (auto& slot : slots)
        if (slot.fd >= 0) ::close(slot.fd);
    ::close(epoll);
    return result;
}

}  // namespace nerix::support
