#pragma once

// The windowless bridge program as a separate process, for tests that load it, starve it or
// watch it from outside: its pid, port and token, its open descriptors and its children.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace nerix::test {

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

// Number of descriptors a process holds open.
inline int openDescriptors(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return -1;
    int count = 0;
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
    return count;
}

// The lowest descriptor limit that leaves a process exactly `spare` free descriptor numbers
// (a limit bounds the numbers, not the count: a high descriptor it inherited takes no room).
inline int limitLeavingSpare(pid_t pid, int spare) {
    std::vector<bool> used;
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return -1;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        auto fd = static_cast<std::size_t>(std::stoul(entry->d_name));
        if (fd >= used.size()) used.resize(fd + 1);
        used[fd] = true;
    }
    ::closedir(dir);
    int limit = 0;
    for (int free = 0; free < spare; ++limit)
        if (static_cast<std::size_t>(limit) >= used.size() || !used[static_cast<std::size_t>(limit)]) ++free;
    return limit;
}

struct ProcessState {
    pid_t pid;
    char state;  // R, S, Z, ...
};

// The children of a process, with their states (Z: ended but not yet reaped).
inline std::vector<ProcessState> childrenOf(pid_t parent) {
    std::vector<ProcessState> children;
    DIR* proc = ::opendir("/proc");
    if (!proc) return children;
    while (dirent* entry = ::readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        std::ifstream in(std::string("/proc/") + entry->d_name + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // "pid (name) state ppid ...": the name may hold spaces and parentheses.
        auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 1));
        char state = 0;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent) children.push_back({static_cast<pid_t>(std::stol(entry->d_name)), state});
    }
    ::closedir(proc);
    return children;
}

// The receive-queue column of /proc/net/tcp for the socket on local `port` in `state` ("0A"
// listening: the connections waiting to be accepted; "01" established: the bytes not yet
// read). -1 when there is no such socket.
inline int receiveQueue(std::uint16_t port, const std::string& wantedState) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);  // column titles
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        if (state != wantedState) continue;
        auto colon = local.rfind(':');
        if (colon == std::string::npos || std::stoul(local.substr(colon + 1), nullptr, 16) != port) continue;
        auto split = queues.find(':');
        return static_cast<int>(std::stoul(queues.substr(split + 1), nullptr, 16));
    }
    return -1;
}

// Connections waiting in a listening socket's accept queue.
inline int acceptQueueLength(std::uint16_t port) { return receiveQueue(port, "0A"); }

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
        std::string path = program();
        std::vector<std::string> args{path, nodePath, repoRoot};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int rc = ::posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (keepErrors) ::close(err[1]);
        err_ = err[0];
        if (rc != 0) {
            ::close(out[0]);
            throw std::runtime_error("could not start " + path);
        }
        // Kept open for the bridge's lifetime, so that its standard output never breaks.
        out_ = out[0];
        std::string line;
        char c;
        while (::read(out_, &c, 1) == 1 && c != '\n') line += c;
        announcement_ = nlohmann::json::parse(line, nullptr, false);
        if (announcement_.is_discarded() || !announcement_.contains("port"))
            throw std::runtime_error("no listening line: " + line);
        port_ = announcement_["port"].get<std::uint16_t>();
        token_ = announcement_["token"].get<std::string>();
    }

    ~BridgeProcess() {
        stop();
        if (out_ >= 0) ::close(out_);
        if (err_ >= 0) ::close(err_);
    }

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
    BridgeProcess(const BridgeProcess&) = delete;
    BridgeProcess& operator=(const BridgeProcess&) = delete;

    pid_t pid() const { return pid_; }
    std::uint16_t port() const { return port_; }
    const std::string& token() const { return token_; }
    const nlohmann::json& announcement() const { return announcement_; }  // its first output line

    // Its standard error to the end, with `keepErrors`: read after stop().
    std::string errors() {
        std::string text;
        char buffer[4096];
        for (ssize_t n; err_ >= 0 && (n = ::read(err_, buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }

    // Still running. A bridge found ended is reaped here and counts as gone from then on.
    bool running() {
        if (pid_ <= 0) return false;
        if (::waitpid(pid_, nullptr, WNOHANG) == 0) return true;
        pid_ = -1;
        return false;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    std::uint16_t port_ = 0;
    nlohmann::json announcement_;
    std::string token_;
};

}  // namespace nerix::test
