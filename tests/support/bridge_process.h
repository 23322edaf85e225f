#pragma once

// The windowless bridge program as a separate process, for tests that load it, starve it or
// watch it from outside: its pid, port and token, its open descriptors and its children.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "../../bench/process_stats.h"

extern char** environ;

namespace nerix::test {

// A process's children (reaped or not) and the processor time it has used.
using bench::childrenOf;
using bench::cpuSeconds;

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
    std::ifstream in("/proc/" + pid + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // "pid (name) state ppid ...": the name may hold spaces and parentheses.
    std::istringstream rest(stat.substr(stat.rfind(')') + 1));
    std::pair<char, pid_t> state{0, 0};
    rest >> state.first >> state.second;
    return state;
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

// `vantorel-bridge NODE_PATH REPO_ROOT`, started at construction and stopped with SIGTERM at
// destruction. With `keepErrors` its standard error is kept for errors() instead of shown.
class BridgeProcess {
public:
    static std::string program() { return VANTOREL_BINARY_DIR "/bundle/bin/vantorel-bridge"; }

    BridgeProcess(const std::string& nodePath, const std::string& repoRoot, bool keepErrors = false) {
        int out[2], err[2] = {-1, -1};
        if (::pipe2(out, O_CLOEXEC) != 0 || (keepErrors && ::pipe2(err, O_CLOEXEC) != 0))
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (keepErrors) posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::string path = program(), node = nodePath, repo = repoRoot;
        char* argv[] = {path.data(), node.data(), repo.data(), nullptr};
        int rc = ::posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (keepErrors) ::close(err[1]);
        // Kept open for the bridge's lifetime, so that its standard output never breaks.
        out_ = out[0];
        err_ = err[0];
        if (rc != 0) throw std::runtime_error("could not start " + path);
        std::string line;
        char c;
        while (::read(out_, &c, 1) == 1 && c != '\n') line += c;
        announcement_ = nlohmann::json::parse(line, nullptr, false);
        if (announcement_.is_discarded() || !announcement_.contains("port"))
            throw std::runtime_error("no listening line: " + line);
    }

    ~BridgeProcess() {
        stop();
        if (out_ >= 0) ::close(out_);
        if (err_ >= 0) ::close(err_);
    }
    BridgeProcess(const BridgeProcess&) = delete;
    BridgeProcess& operator=(const BridgeProcess&) = delete;

    // Stops the bridge with SIGTERM (or `signal`) and returns its wait status. In a sanitizer
    // build a report (or a leak found at exit) makes that status non-zero.
    int stop(int signal = SIGTERM) {
        int status = -1;
        if (pid_ > 0) {
            ::kill(pid_, signal);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        return status;
    }

    pid_t pid() const { return pid_; }
    std::uint16_t port() const { return announcement_["port"].get<std::uint16_t>(); }
    std::string token() const { return announcement_["token"].get<std::string>(); }
    const nlohmann::json& announcement() const { return announcement_; }  // its first output line

    // Its standard error to the end, with `keepErrors`: read after stop().
    std::string errors() {
        std::string text;
        char buffer[4096];
        for (ssize_t n; err_ >= 0 && (n = ::read(err_, buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    nlohmann::json announcement_;
};

}  // namespace nerix::test
