#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

#include "bridge/response.h"
#include "bridge/token.h"
#include "jobs/cli_runner.h"

namespace nerix {

namespace platform {
class Connection;
class LoopbackListener;
class SerialQueue;
}  // namespace platform

struct Request;

// The error a bridge's construction fails with: a domain, a code and a description.
class NerixError : public std::runtime_error {
public:
    NerixError(std::string domain, int code, std::string description);
    const std::string& domain() const { return domain_; }
    int code() const { return code_; }
    const std::string& description() const { return description_; }

private:
    std::string domain_;
    int code_;
    std::string description_;
};

// Things a test (or another host program) may put in place of the system's own.
struct BridgeOptions {
    RandomSource random;                          // default: the kernel's random source
    std::function<void(std::string_view)> log;    // default: standard error and syslog
};

// The loopback HTTP bridge between the web interface and the command-line tool. Listens on
// 127.0.0.1 at a port the system picks; every connection carries one request and gets one
// answer. All network and job work runs, one step at a time, on the bridge's own queue thread.
//
//   auto bridge = std::make_shared<NerixBridge>(nodePath, repoRoot);
//   bridge->start();                 // returns once listening, or after 2 s
//   bridge->port(); bridge->token();
class NerixBridge : public std::enable_shared_from_this<NerixBridge> {
public:
    // Throws NerixError ("NerixBridge", 1, "SecRandomCopyBytes failed") when the random source
    // fails, and NerixError ("NerixBridge", 2, ...) when the listener cannot be made.
    NerixBridge(std::string nodePath, std::string repoRoot, BridgeOptions options = {});
    ~NerixBridge();
    NerixBridge(const NerixBridge&) = delete;
    NerixBridge& operator=(const NerixBridge&) = delete;

    // Starts the listener on the queue, then waits, for at most 2 s, until it reports its port;
    // returns as soon as it has. Call once, on a bridge held by a shared_ptr.
    void start();

    std::uint16_t port() const { return port_.load(std::memory_order_acquire); }
    const std::string& token() const { return token_; }
    const std::string& nodePath() const { return command_.nodePath; }
    const std::string& repoRoot() const { return command_.repoRoot; }
    const std::string& cliEntry() const { return command_.cliEntry; }

private:
    void ready(std::uint16_t port);
    void readRequest(std::shared_ptr<platform::Connection> connection, std::string accumulated);
    void send(const std::shared_ptr<platform::Connection>& connection, Response response, bool drainInput);

    std::string token_;
    std::atomic<std::uint16_t> port_{0};
    std::mutex readyMutex_;  // with readyChanged_, wakes start() when ready() sets the port
    std::condition_variable readyChanged_;
    CliCommand command_;
    std::function<void(std::string_view)> log_;
    std::unique_ptr<platform::SerialQueue> queue_;
    std::unique_ptr<platform::LoopbackListener> listener_;
};

}  // namespace nerix
