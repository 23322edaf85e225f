#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "base/result.h"
#include "platform/posix/accept_pacing.h"
#include "platform/posix/connection.h"

namespace nerix::platform {

// A TCP listener on 127.0.0.1, IPv4 only, on a port the system picks. Every descriptor it
// opens is close-on-exec. An accept that fails (for lack of descriptors, say) is retried
// after a short pause: the listener never stops for good.
class LoopbackListener {
public:
    using ReadyHandler = std::function<void(std::uint16_t port)>;
    using ConnectionHandler = std::function<void(std::shared_ptr<Connection>)>;
    // Runs when accept fails for lack of descriptors; returns whether it freed one (the accept is
    // then tried again at once; otherwise after a short pause).
    using StarvedHandler = std::function<bool()>;

    // Makes and binds the socket; fails with what could not be done.
    static Result<std::unique_ptr<LoopbackListener>> open(asio::io_context& context);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    // Starts listening and accepting, on the queue. `onReady` runs once, there, when the
    // listener is ready, with its port; a listener that cannot listen never reports ready.
    void start(ReadyHandler onReady, ConnectionHandler onConnection, StarvedHandler onStarved = {});

private:
    explicit LoopbackListener(asio::io_context& context);
    void armAccept();
    void acceptReady();
    void retryLater();

    asio::io_context& context_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer retryTimer_;
    ConnectionHandler onConnection_;
    StarvedHandler onStarved_;
    AcceptPacing pacing_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace nerix::platform
