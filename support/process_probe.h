#pragma once

// The windowless bridge program as a separate process, for tests that load it, starve it or
// watch it from outside: its pid, port and token, its open descriptors and its children.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/bridge_process.h"
#include "support/process_stats.h"

namespace nerix::support {

// Waits for a condition, checking it often, up to a generous deadline that only a fault
// reaches. Returns whether the condition came true.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The numbers of the descriptors a process holds open.
inline std::vector<int> descriptorsOf(pid_t pid) {
    std::vector<int> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        fds.push_back(std::stoi(entry.path().filename()));
    return fds;
}
inline int openDescriptors(pid_t pid) { return static_cast<int>(descriptorsOf(pid).size()); }

// The lowest descriptor limit that leaves a process exactly `spare` free descriptor numbers
// (a limit bounds the numbers, not the count: a high descriptor it inherited takes no room).
inline int limitLeavingSpare(pid_t pid, int spare) {
    std::vector<bool> used(1 << 16);
    for (int fd : descriptorsOf(pid)) used.at(static_cast<std::size_t>(fd)) = true;
    int limit = 0;
    for (int free = 0; free < spare; ++limit) free += used[static_cast<std::size_t>(limit)] ? 0 : 1;
    return limit;
}

// A process's state letter (Z: ended, not yet reaped; 0: no such process) and its parent.
inline std::pair<char, pid_t> stateOf(const std::string& pid) {
    const std::string stat = procStat(pid);
    if (stat.empty()) return {0, 0};
    // "pid (name) state ppid ...": the name may hold spaces and parentheses.
    std::istringstream rest(stat.substr(stat.rfind(')') + 1));
    std::pair<char, pid_t> state{0, 0};
    rest >> state.first >> state.second;
    return state;
}

// Whether the process has ended: gone, or waiting to be reaped.
inline bool ended(pid_t pid) {
    const char state = stateOf(std::to_string(pid)).first;
    return state == 0 || state == 'Z';
}

// Whether a thread of the process is running or waiting for a processor (state R), rather than
// asleep on something.
inline bool anyThreadRunnable(pid_t pid) {
    const std::string process = std::to_string(pid);
    std::error_code error;  // a process that has gone has no threads
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + process + "/task", error))
        if (stateOf(process + "/task/" + entry.path().filename().string()).first == 'R') return true;
    return false;
}

// A TCP socket of this host as /proc/net/tcp lists it.
struct TcpSocket {
    std::string state;  // "0A" listening, "01" established
    unsigned long localPort = 0, remotePort = 0;
    long sendQueue = 0;     // bytes not yet acknowledged by the peer
    long receiveQueue = 0;  // established: bytes not yet read; listening: connections not yet accepted
};
inline std::vector<TcpSocket> tcpSockets() {
    std::ifstream in("/proc/net/tcp");
    std::string line, slot, local, remote, state, queues;
    std::getline(in, line);  // column titles
    auto portOf = [](const std::string& address) {
        return std::stoul(address.substr(address.rfind(':') + 1), nullptr, 16);
    };
    std::vector<TcpSocket> sockets;
    while (in >> slot >> local >> remote >> state >> queues && std::getline(in, line))
        sockets.push_back({state, portOf(local), portOf(remote), std::stol(queues, nullptr, 16),
                           std::stol(queues.substr(queues.find(':') + 1), nullptr, 16)});
    return sockets;
}

// The receive queue of the socket on local `port` in `state` ("0A" listening: the connections
// waiting to be accepted; "01" established: the bytes not yet read). -1 when there is no such
// socket.
inline int receiveQueue(std::uint16_t port, const std::string& wantedState) {
    for (const TcpSocket& socket : tcpSockets())
        if (socket.state == wantedState && socket.localPort == port) return static_cast<int>(socket.receiveQueue);
    return -1;
}

// The bytes on their way over the established connections of local `port`, either side: queued
// to be sent, or received and not yet read.
inline long bytesInFlight(std::uint16_t port) {
    long total = 0;
    for (const TcpSocket& socket : tcpSockets())
        if (socket.state == "01" && (socket.localPort == port || socket.remotePort == port))
            total += socket.sendQueue + socket.receiveQueue;
    return total;
}

}  // namespace nerix::support
