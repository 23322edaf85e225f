#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

namespace nerix::platform {

// One accepted TCP connection. Every call and every completion runs on the queue thread.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    // Gets at most kMaxReceive bytes (never zero unless the peer has finished sending or the
    // read failed).
    using ReceiveHandler = std::function<void(std::string_view bytes, bool isComplete, std::error_code)>;
    static constexpr std::size_t kMaxReceive = 64 * 1024;

    Connection(asio::io_context& context, int fd);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Arms one receive; the handler runs once, on the queue.
    void receive(ReceiveHandler handler);

    // Writes head then body, all of it, then closes the connection. With `drainInput` the
    // connection first finishes sending, then reads and drops what the peer still sends for a
    // short while, so that unread request bytes never turn the close into a reset that could
    // cost the peer its answer.
    void sendAndClose(std::string head, std::string body, bool drainInput);

    // Closes the connection at once. Nothing is sent.
    void cancel();

private:
    void drainReceives();
    void armReadWait();
    void writeSome();
    void startDraining();
    void drainInput();
    void closeNow();
    asio::ip::tcp::socket& registered();

    asio::io_context& context_;
    int fd_;
    std::optional<asio::ip::tcp::socket> socket_;  // made on first wait; owns fd_ from then on
    std::optional<asio::steady_timer> lingerTimer_;
    ReceiveHandler pending_;
    bool receiving_ = false;
    bool lingerAfterSend_ = false;
    std::string head_;
    std::string body_;
    std::size_t written_ = 0;
};

// A TCP listener on 127.0.0.1, IPv4 only, on a port the system picks. Every descriptor it
// opens is close-on-exec. An accept that fails (for lack of descriptors, say) is retried
// after a short pause: the listener never stops for good.
class LoopbackListener {
public:
    using ReadyHandler = std::function<void(std::uint16_t port)>;
    using ConnectionHandler = std::function<void(std::shared_ptr<Connection>)>;

    // Makes and binds the socket. Throws std::system_error when that fails.
    explicit LoopbackListener(asio::io_context& context);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    // Starts listening and accepting, on the queue. `onReady` runs once, there, when the
    // listener is ready, with its port; a listener that cannot listen never reports ready.
    void start(ReadyHandler onReady, ConnectionHandler onConnection);

private:
    void armAccept();
    void acceptReady();

    asio::io_context& context_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer retryTimer_;
    ConnectionHandler onConnection_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace nerix::platform
