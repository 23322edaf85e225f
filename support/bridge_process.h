#pragma once

// The windowless bridge program in its own process, for benchmarks and tests that load it,
// starve it or watch it from outside.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

extern char** environ;

namespace nerix::support {

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

}  // namespace nerix::support
