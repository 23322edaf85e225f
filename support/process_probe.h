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

// The receive-queue column of /proc/net/tcp for the socket on local `port` in `state` ("0A"
// listening: the connections waiting to be accepted; "01" established: the bytes not yet
// read). -1 when there is no such socket.
inline int receiveQueue(std::uint16_t port, const std::string& wantedState) {
    std::ifstream in("/proc/net/tcp");
    std::string line, slot, local, remote, state, queues;
    std::getline(in, line);  // column titles
    while (in >> slot >> local >> remote >> state >> queues && std::getline(in, line))
        if (state == wantedState && std::stoul(local.substr(local.rfind(':') + 1), nullptr, 16) == port)
            return static_cast<int>(std::stoul(queues.substr(queues.find(':') + 1), nullptr, 16));
    return -1;
}

// The bytes on their way over the established connections of local `port`, either side: queued
// to be sent, or received and not yet read.
inline long bytesInFlight(std::uint16_t port) {
    std::ifstream in("/proc/net/tcp");
    std::string line, slot, local, remote, state, queues;
    std::getline(in, line);  // column titles
    auto portOf = [](const std::string& address) {
        return std::stoul(address.substr(address.rfind(':') + 1), nullptr, 16);
    };
    long total = 0;
    while (in >> slot >> local >> remote >> state >> queues && std::getline(in, line))
        if (state == "01" && (portOf(local) == port || portOf(remote) == port))
            total += std::stol(queues, nullptr, 16) + std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
    return total;
}

}  // namespace nerix::support
