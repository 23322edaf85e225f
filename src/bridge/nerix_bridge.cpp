#include "bridge/nerix_bridge.h"

#include <chrono>

#include "bridge/request_parser.h"
#include "bridge/router.h"
#include "bridge/wire_response.h"
#include "platform/posix/loopback_listener.h"
#include "platform/posix/random.h"
#include "platform/posix/serial_queue.h"
#include "platform/posix/system_log.h"

namespace nerix {

NerixError::NerixError(std::string domain, int code, std::string description)
    : std::runtime_error(domain + " error " + std::to_string(code) + ": " + description),
      domain_(std::move(domain)),
      code_(code),
      description_(std::move(description)) {}

NerixBridge::NerixBridge(std::string nodePath, std::string repoRoot, BridgeOptions options)
    : log_(options.log ? std::move(options.log) : platform::logLine) {
    queue_ = std::make_unique<platform::SerialQueue>();
    command_.cliEntry = appendPathComponent(repoRoot, "packages/cli/dist/index.js");
    command_.nodePath = std::move(nodePath);
    command_.repoRoot = std::move(repoRoot);

    RandomSource random = options.random ? std::move(options.random) : platform::secureRandomBytes;
    auto token = makeToken(random);
    if (!token) throw NerixError("NerixBridge", 1, "SecRandomCopyBytes failed");
    token_ = std::move(*token);

    try {
        listener_ = std::make_unique<platform::LoopbackListener>(queue_->context());
    } catch (const std::system_error& error) {
        throw NerixError("NerixBridge", 2, error.what());
    }
}

NerixBridge::~NerixBridge() {
    // Stop the queue first, so no callback runs while the listener goes away, and keep the
    // io_context until the listener is gone.
    queue_->stop();
    listener_.reset();
    queue_.reset();
}

void NerixBridge::start() {
    std::weak_ptr<NerixBridge> weak = weak_from_this();
    listener_->start(
        [weak](std::uint16_t port) {
            if (auto self = weak.lock()) self->ready(port);
        },
        [weak](std::shared_ptr<platform::Connection> connection) {
            auto self = weak.lock();
            if (!self) return;  // neither started nor cancelled: it closes with its last owner
            self->readRequest(std::move(connection), std::string());
        });
    queue_->start();

    // Woken by ready() as soon as the port is known, or given up after 2 s.
    std::unique_lock<std::mutex> lock(readyMutex_);
    readyChanged_.wait_for(lock, std::chrono::seconds(2), [this] { return port() != 0; });
}

void NerixBridge::ready(std::uint16_t port) {
    {
        // start() returns once the line is written, as its caller may read the log next.
        std::lock_guard<std::mutex> lock(readyMutex_);
        port_.store(port, std::memory_order_release);
        log_("NerixBridge listening on 127.0.0.1:" + std::to_string(port));
    }
    readyChanged_.notify_all();
}

void NerixBridge::readRequest(std::shared_ptr<platform::Connection> connection, std::string accumulated) {
    auto* raw = connection.get();
    std::weak_ptr<NerixBridge> weak = weak_from_this();
    // The connection keeps this handler until it runs, so the handler holds the connection
    // only weakly: a strong hold would keep both alive for ever if the bridge went away first.
    // Whoever runs the handler holds the connection meanwhile.
    std::weak_ptr<platform::Connection> weakConnection = connection;
    raw->receive([weak, weakConnection, accumulated = std::move(accumulated)](
                     std::string_view bytes, bool isComplete, std::error_code error) mutable {
        auto self = weak.lock();
        auto live = weakConnection.lock();
        if (!self || !live) return;
        accumulated.append(bytes);
        ParseResult parsed = tryParseRequest(accumulated);
        switch (parsed.outcome) {
            case ParseResult::Outcome::Complete: {
                // Bytes behind the request are never read; drain them on close so that they
                // cannot turn the close into a reset.
                bool extraBytes = accumulated.size() > parsed.consumed;
                std::string().swap(accumulated);
                self->send(live, dispatch(parsed.request, self->token_, self->command_), extraBytes);
                return;
            }
            case ParseResult::Outcome::TooLarge:
                // The peer may still be sending: answer, then drain while closing.
                std::string().swap(accumulated);
                self->send(live, requestTooLarge(), true);
                return;
            case ParseResult::Outcome::Incomplete:
                break;
        }
        if (!error && !isComplete)
            self->readRequest(std::move(live), std::move(accumulated));
        else
            live->cancel();  // the peer stopped before a whole request: no answer
    });
}

void NerixBridge::send(const std::shared_ptr<platform::Connection>& connection, Response response,
                       bool drainInput) {
    WireResponse wire = frameResponse(response);
    response.json.reset();  // a job's output need not be held twice while it is sent
    connection->sendAndClose(std::move(wire.head), std::move(wire.body), drainInput);
}

}  // namespace nerix
