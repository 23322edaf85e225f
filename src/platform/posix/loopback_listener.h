#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "base/result.h"

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

    // Once the request is read: reads and drops whatever the peer still sends, and runs
    // `onGone` (once, on the queue) when the peer ends its side or the connection fails before
    // the answer is complete. The connection is then closed.
    void watchForClose(std::function<void()> onGone);

    // Queues bytes to send, in order, and writes what the socket takes now: the pieces given in
    // one call leave together, in one send where the socket takes them all.
    void write(std::string bytes);
    void write(std::vector<std::string> pieces);
    // Bytes queued and not yet taken by the socket.
    std::size_t queued() const { return queued_; }
    // Runs `onDrained` once, on the queue, as soon as fewer than `below` bytes are queued.
    void whenDrained(std::size_t below, std::function<void()> onDrained);

    // Closes the connection once everything queued is sent. With `drainInput` it first sends
    // its end of the stream, then reads and drops what the peer still sends for a short while,
    // so that unread request bytes never turn the close into a reset that could cost the peer
    // its answer.
    void finish(bool drainInput);

    // Writes the answer, all of it, then closes the connection, as finish does: an answer that
    // the socket takes at once leaves in one send.
    void sendAndClose(std::string answer, bool drainInput);
    void sendAndClose(std::vector<std::string> pieces, bool drainInput);

    // Closes the connection at once. Nothing is sent.
    void cancel();

private:
    void drainReceives();
    enum class SendState { Sent, Blocked, Failed };

    void armReadWait();
    void queue(std::string bytes);
    void flush();
    SendState sendQueued();
    void release(std::size_t sent);
    void armWriteWait();
    void closeOrLinger();
    void readAndDrop();
    void peerGone();
    void closeNow();
    Result<asio::ip::tcp::socket*> registered();

    asio::io_context& context_;
    int fd_;
    std::optional<asio::ip::tcp::socket> socket_;  // made on first wait; owns fd_ from then on
    std::optional<asio::steady_timer> lingerTimer_;
    ReceiveHandler pending_;
    bool receiving_ = false;
    bool reading_ = false;  // a read wait for the watch or the linger is armed
    bool writing_ = false;  // a write wait is armed
    bool finishing_ = false;
    bool lingerAfterSend_ = false;
    std::function<void()> onGone_;
    std::function<void()> onDrained_;
    std::size_t drainedBelow_ = 0;
    std::vector<std::string> out_;  // out_[outFront_] on are still to send
    std::size_t outFront_ = 0;
    std::size_t written_ = 0;  // bytes of out_[outFront_] already sent
    std::size_t queued_ = 0;
};

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
    bool probeForMore();
    void takenAlone();
    void deferAccepts(bool defer);

    asio::io_context& context_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer retryTimer_;
    ConnectionHandler onConnection_;
    StarvedHandler onStarved_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    int wakesWithoutProbe_ = 0;  // how many wake-ups the last fruitless look put off the next
    int skipProbes_ = 0;         // wake-ups still to go without a look
    bool deferring_ = false;     // connections are reported once their first bytes arrive
    int aloneInARow_ = 0;        // wake-ups in a row that found one connection, while deferring
};

}  // namespace nerix::platform
