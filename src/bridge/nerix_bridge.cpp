#include "bridge/nerix_bridge.h"

#include <algorithm>
#include <chrono>
#include <future>

#include <asio/post.hpp>

#include "bridge/file_sender.h"
#include "bridge/job_queue.h"
#include "bridge/router.h"
#include "http/answer_writer.h"
#include "http/path.h"
#include "http/request_parser.h"
#include "jobs/output_dir.h"
#include "platform/posix/files.h"
#include "platform/posix/kept_file.h"
#include "platform/posix/loopback_listener.h"
#include "platform/posix/process.h"
#include "platform/posix/random.h"
#include "platform/posix/serial_queue.h"
#include "platform/posix/system_log.h"

namespace nerix {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

NerixError::NerixError(std::string domain, int code, std::string description)
    : std::runtime_error(domain + " error " + std::to_string(code) + ": " + description),
      domain_(std::move(domain)),
      code_(code),
      description_(std::move(description)) {}

NerixBridge::NerixBridge(std::string nodePath, std::string repoRoot, BridgeOptions options)
    : log_(options.log ? std::move(options.log) : platform::logLine),
      limits_(options.limits),
      stopGrace_(options.stopGrace) {
    queue_ = std::make_unique<platform::SerialQueue>();
    command_.cliEntry = appendPathComponent(repoRoot, "packages/cli/dist/index.js");
    command_.nodePath = std::move(nodePath);
    command_.repoRoot = std::move(repoRoot);

    RandomSource random = options.random ? std::move(options.random) : platform::secureRandomBytes;
    auto token = makeToken(random);
    if (!token) throw NerixError("NerixBridge", 1, "SecRandomCopyBytes failed");
    token_ = std::move(*token);
    files_ = std::make_unique<FileGrants>(std::move(random));
    files_->grantBelow(userNerixOutputDir());

    auto listener = platform::LoopbackListener::open(queue_->context());
    if (!listener) throw NerixError("NerixBridge", 2, listener.error().message);
    listener_ = std::move(*listener);
    jobs_ = std::make_unique<JobQueue>(
        queue_->context(),
        JobQueue::Settings{command_, stopGrace_, log_, std::move(options.jobEvents),
                           [files = files_.get()](const std::string& path) { files->grantFile(path); }});
    sweepTimer_.emplace(queue_->context());
}

NerixBridge::~NerixBridge() {
    stop();
    // The queue has stopped, so no callback runs while these go; the io_context stays until
    // the listener and every connection are gone.
    jobs_.reset();
    unfinished_.clear();
    sweepTimer_.reset();
    listener_.reset();
    queue_.reset();
}

void NerixBridge::stop() {
    if (stopped_) return;
    stopped_ = true;
    // The running tool, and everything it started, is stopped on the queue thread, which owns
    // the jobs; the reaper they run under was started from that thread and also hears its end.
    auto shutDown = [this] {
        jobs_->shutdown();
        for (auto& entry : unfinished_) entry.connection->cancel();
        unfinished_.clear();
        unfinishedBytes_ = 0;
    };
    if (!queue_->running() || queue_->onQueueThread()) {
        shutDown();
    } else {
        std::promise<void> done;
        asio::post(queue_->context(), [&] {
            shutDown();
            done.set_value();
        });
        done.get_future().wait();
    }
    queue_->stop();
}

void NerixBridge::start() {
    // A tool's exit code is part of its answer: a SIGCHLD ignored by whoever started this process
    // would have the kernel discard it.
    platform::keepChildExitStatuses();
    std::weak_ptr<NerixBridge> weak = weak_from_this();
    // Before any request: what a killed run left behind is put right.
    asio::post(queue_->context(), [weak] {
        if (auto self = weak.lock()) self->putLeftoversRight();
    });
    listener_->start(
        [weak](std::uint16_t port) {
            if (auto self = weak.lock()) self->ready(port);
        },
        [weak](std::shared_ptr<platform::Connection> connection) {
            auto self = weak.lock();
            if (!self) return;  // neither started nor cancelled: it closes with its last owner
            self->accepted(std::move(connection));
        },
        [weak] {
            auto self = weak.lock();
            return self && self->closeOldestUnfinished();
        });
    queue_->start();

    // Woken by ready() as soon as the port is known, or given up after 2 s.
    std::unique_lock<std::mutex> lock(readyMutex_);
    readyChanged_.wait_for(lock, std::chrono::seconds(2), [this] { return port() != 0; });
}

// A bridge or application killed during a run (and its reaper with it) leaves a kept-aside
// file and a private temporary folder; no live process holds them any more.
void NerixBridge::putLeftoversRight() {
    platform::removeAbandonedTemporaryFolders();
    for (const std::string& path : platform::restoreAbandoned(userNerixOutputDir()))
        log_("NerixBridge put back " + path + ", kept aside by a run that did not end");
}

Result<std::string> NerixBridge::serveFolder(const std::string& folder) {
    NERIX_TRY_ASSIGN(std::string path, files_->serveFolder(folder));
    return "http://127.0.0.1:" + std::to_string(port()) + path;
}

void NerixBridge::ready(std::uint16_t port) {
    {
        std::lock_guard<std::mutex> lock(readyMutex_);
        port_.store(port, std::memory_order_release);
    }
    readyChanged_.notify_all();
    // Written after start() is woken: a host may let go of the bridge as soon as start() returns,
    // even while this line is still being written.
    log_("NerixBridge listening on 127.0.0.1:" + std::to_string(port));
}

// Unfinished requests are bounded: a local peer without the token must not be able to hold the
// bridge's descriptors. The oldest gives way to the newest.
void NerixBridge::accepted(std::shared_ptr<platform::Connection> connection) {
    if (unfinished_.size() >= limits_.unfinished) closeOldestUnfinished();
    const auto now = Clock::now();
    unfinished_.push_back(Unfinished{std::move(connection), std::string(), now, now});
    readRequest(std::prev(unfinished_.end()));
    armSweep();
}

// The sweep runs about once a second while any request is unfinished, and not otherwise.
void NerixBridge::armSweep() {
    if (sweepArmed_ || unfinished_.empty()) return;
    sweepArmed_ = true;
    sweepTimer_->expires_after(std::min(limits_.quiet, std::chrono::milliseconds(1000)));
    sweepTimer_->async_wait([weak = weak_from_this()](std::error_code ec) {
        auto self = weak.lock();
        if (ec || !self) return;
        self->sweepArmed_ = false;
        self->sweepUnfinished();
    });
}

bool NerixBridge::closeOldestUnfinished() {
    if (unfinished_.empty()) return false;
    unfinished_.front().connection->cancel();
    dropUnfinished(unfinished_.begin());
    return true;
}

void NerixBridge::dropUnfinished(UnfinishedList::iterator entry) {
    unfinishedBytes_ -= entry->accumulated.size();
    unfinished_.erase(entry);
}

// The bodies being read are bounded all together, as the connections are: the oldest gives way.
void NerixBridge::boundUnfinishedBytes(UnfinishedList::iterator newest) {
    while (unfinishedBytes_ > limits_.unfinishedBytes && unfinished_.begin() != newest) closeOldestUnfinished();
}

// Closes, without an answer, the connections that have been quiet or slow for too long.
void NerixBridge::sweepUnfinished() {
    const auto now = Clock::now();
    for (auto entry = unfinished_.begin(); entry != unfinished_.end();) {
        if (now - entry->lastByte >= limits_.quiet || now - entry->accepted >= limits_.whole) {
            entry->connection->cancel();
            unfinishedBytes_ -= entry->accumulated.size();
            entry = unfinished_.erase(entry);
        } else {
            ++entry;
        }
    }
    armSweep();
}

void NerixBridge::readRequest(UnfinishedList::iterator entry) {
    std::weak_ptr<NerixBridge> weak = weak_from_this();
    // The entry holds the connection while its request is read; the connection holds this
    // handler until it runs, and a connection that is closed never runs it.
    entry->connection->receive([weak, entry](std::string_view bytes, bool isComplete, std::error_code error) {
        if (auto self = weak.lock()) self->received(entry, bytes, isComplete, error);
    });
}

void NerixBridge::received(UnfinishedList::iterator entry, std::string_view bytes, bool isComplete,
                           std::error_code error) {
    if (!bytes.empty()) entry->lastByte = Clock::now();
    entry->accumulated.append(bytes);
    unfinishedBytes_ += bytes.size();
    // A body still short of its length needs no new look at the head.
    if (entry->needed == 0 || entry->accumulated.size() >= entry->needed) {
        ParseResult parsed = tryParseRequest(entry->accumulated);
        if (parsed.outcome != ParseResult::Outcome::Incomplete) {
            requestComplete(entry, parsed);
            return;
        }
        if (parsed.headComplete) {
            // The head decides before any of the body is kept: a peer without the token, or
            // from a foreign page, is answered now and holds no memory for what it announced.
            if (auto answer = answerBeforeBody(parsed.request, {token_, port(), files_.get()})) {
                auto connection = std::move(entry->connection);
                dropUnfinished(entry);
                send(connection, *answer, true);
                return;
            }
            entry->needed = parsed.consumed + parsed.bodyLength;
            entry->accumulated.reserve(entry->needed);  // grown once, not doubled past the need
        }
    }
    if (!error && !isComplete) {
        boundUnfinishedBytes(entry);
        readRequest(entry);
        return;
    }
    entry->connection->cancel();  // the peer stopped before a whole request: no answer
    dropUnfinished(entry);
}

void NerixBridge::requestComplete(UnfinishedList::iterator entry, ParseResult& parsed) {
    auto connection = std::move(entry->connection);
    // Bytes behind the request are never read as a request; drain them on close so that they
    // cannot turn the close into a reset.
    const bool extraBytes = entry->accumulated.size() > parsed.consumed;
    dropUnfinished(entry);
    if (parsed.outcome == ParseResult::Outcome::TooLarge || parsed.outcome == ParseResult::Outcome::BadFraming) {
        // The peer may still be sending: answer, then drain while closing.
        send(connection, parsed.outcome == ParseResult::Outcome::TooLarge ? requestTooLarge() : badFraming(), true);
        return;
    }
    auto routed = dispatch(parsed.request, {token_, port(), files_.get()});
    if (auto* response = std::get_if<Response>(&routed)) {
        send(connection, *response, extraBytes);
        return;
    }
    if (auto* file = std::get_if<FileResponse>(&routed)) {
        sendFile(connection, *file, extraBytes);
        return;
    }
    jobs_->add(connection, std::move(std::get<JobPointer>(routed)), parsed.request.accepts(kLiveAnswerType),
               parsed.request.path);
}

void NerixBridge::send(const std::shared_ptr<platform::Connection>& connection, const Response& response,
                       bool drainInput) {
    connection->sendAndClose(platform::onePiece(writeAnswer(response)), drainInput);
}

}  // namespace nerix
