#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include <asio/steady_timer.hpp>

#include "base/result.h"
#include "bridge/file_grants.h"
#include "bridge/job_event.h"
#include "bridge/token.h"
#include "http/response.h"
#include "jobs/cli_command.h"

namespace nerix {

namespace platform {
class Connection;
class LoopbackListener;
class SerialQueue;
}  // namespace platform

struct Request;
struct ParseResult;
class JobQueue;

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

// How long a connection may take to send its request, and how many may be at it at once.
struct RequestLimits {
    std::chrono::milliseconds quiet{10'000};  // without a byte before the request is whole
    std::chrono::milliseconds whole{60'000};  // from accept until the request is whole
    std::size_t unfinished = 256;             // one more closes the oldest
    // Bytes held for unfinished requests of peers that presented the token, all together; past
    // it the oldest gives way. A peer without the token never gets past its head.
    std::size_t unfinishedBytes = 256 * 1024 * 1024;
};

// Things a test (or another host program) may put in place of the system's own.
struct BridgeOptions {
    RandomSource random;                        // default: the kernel's random source
    std::function<void(std::string_view)> log;  // default: standard error and syslog
    RequestLimits limits;
    std::chrono::milliseconds stopGrace{5000};            // a stopped tool's SIGTERM to its SIGKILL
    std::function<void(const JobEvent&)> jobEvents = {};  // default: nobody hears; runs on the queue thread
};

// The loopback HTTP bridge between the web interface and the command-line tool. Listens on
// 127.0.0.1 at a port the system picks; every connection carries one request and gets one
// answer. All network work runs, one step at a time, on the bridge's own queue thread; the jobs
// run beside it, one at a time, as children whose output the queue reads as it comes.
//
//   auto bridge = std::make_shared<NerixBridge>(nodePath, repoRoot);
//   bridge->start();                 // returns once listening, or after 2 s
//   bridge->port(); bridge->token();
class NerixBridge : public std::enable_shared_from_this<NerixBridge> {
public:
    // Throws NerixError ("NerixBridge", 1, "SecRandomCopyBytes failed") when the random source
    // fails, and NerixError ("NerixBridge", 2, ...) when the listener cannot be made.
    NerixBridge(std::string nodePath, std::string repoRoot, BridgeOptions options = {});
    ~NerixBridge();  // stops it first
    NerixBridge(const NerixBridge&) = delete;
    NerixBridge& operator=(const NerixBridge&) = delete;

    // Starts the listener on the queue, then waits, for at most 2 s, until it reports its port;
    // returns as soon as it has. Call once, on a bridge held by a shared_ptr.
    void start();

    // The owner's end: stops listening and closes every connection; waiting jobs are dropped and
    // a running tool and everything it started get SIGTERM, then SIGKILL after the grace (5 s),
    // and are gone before this returns. Idempotent; the destructor calls it. Call it from the
    // owner's thread. Were the process killed instead, the reaper would do the same on its own.
    void stop();

    std::uint16_t port() const { return port_.load(std::memory_order_acquire); }
    const std::string& token() const { return token_; }
    const std::string& nodePath() const { return command_.nodePath; }
    const std::string& repoRoot() const { return command_.repoRoot; }
    const std::string& cliEntry() const { return command_.cliEntry; }

    // The files the page may be given a URL for (POST /files): besides the files the jobs of
    // this launch write and those below the output folder, the ones its host grants here (the
    // user chose, dropped or opened them). Any thread.
    void grantFile(const std::string& path) { files_->grantFile(path); }
    // The URL below which `folder`'s files are served, as the page's own origin serves them
    // ("http://127.0.0.1:<port>/files/<id>"): the page's media plays from there. After start().
    Result<std::string> serveFolder(const std::string& folder);

private:
    // A connection whose request is not whole yet.
    struct Unfinished {
        std::shared_ptr<platform::Connection> connection;
        std::string accumulated;
        std::chrono::steady_clock::time_point accepted;
        std::chrono::steady_clock::time_point lastByte;
        std::size_t needed = 0;  // once the head has passed its checks: the whole request's bytes
    };
    using UnfinishedList = std::list<Unfinished>;

    void putLeftoversRight();
    void ready(std::uint16_t port);
    void accepted(std::shared_ptr<platform::Connection> connection);
    bool closeOldestUnfinished();
    void dropUnfinished(UnfinishedList::iterator entry);
    void boundUnfinishedBytes(UnfinishedList::iterator newest);
    void readRequest(UnfinishedList::iterator entry);
    void received(UnfinishedList::iterator entry, std::string_view bytes, bool isComplete, std::error_code error);
    void requestComplete(UnfinishedList::iterator entry, ParseResult& parsed);
    void armSweep();
    void sweepUnfinished();
    void send(const std::shared_ptr<platform::Connection>& connection, const Response& response, bool drainInput);

    std::string token_;
    std::atomic<std::uint16_t> port_{0};
    std::mutex readyMutex_;  // with readyChanged_, wakes start() when ready() sets the port
    std::condition_variable readyChanged_;
    CliCommand command_;
    std::function<void(std::string_view)> log_;
    RequestLimits limits_;
    std::chrono::milliseconds stopGrace_;
    bool stopped_ = false;
    std::unique_ptr<platform::SerialQueue> queue_;
    std::unique_ptr<platform::LoopbackListener> listener_;
    std::unique_ptr<FileGrants> files_;
    std::unique_ptr<JobQueue> jobs_;
    UnfinishedList unfinished_;
    std::size_t unfinishedBytes_ = 0;  // what unfinished_ holds, all together
    std::optional<asio::steady_timer> sweepTimer_;
    bool sweepArmed_ = false;
};

}  // namespace nerix
