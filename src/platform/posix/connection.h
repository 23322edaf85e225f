#pragma once

#include <cstddef>
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

    // Queues the pieces to send, in order, and writes what the socket takes now: they leave
    // together, in one send where the socket takes them all.
    void write(std::vector<std::string> pieces);
    // Writes the pieces as write does, then closes the connection once everything queued is
    // sent: an answer that the socket takes at once leaves in one send, with the end of the
    // stream. With `drainInput` it first sends its end of the stream, then reads and drops what
    // the peer still sends for a short while, so that unread request bytes never turn the close
    // into a reset that could cost the peer its answer.
    void sendAndClose(std::vector<std::string> pieces, bool drainInput);

    // Bytes queued and not yet taken by the socket.
    std::size_t queued() const { return queued_; }
    // Runs `onDrained` once, on the queue, as soon as fewer than `below` bytes are queued.
    void whenDrained(std::size_t below, std::function<void()> onDrained);

    // Closes the connection at once. Nothing is sent.
    void cancel();

private:
    // Where the connection is in its life; only Open takes more bytes to send.
    enum class State {
        Open,       // reading its request, or writing its answer
        Closing,    // closes once everything queued is sent
        Draining,   // once everything queued is sent, ends its side and lingers
        Lingering,  // its side is ended; what the peer still sends is read and dropped
        Closed,     // the descriptor is closed
    };
    enum class SendState { Sent, Blocked, Failed };

    int descriptor() const;
    Result<asio::ip::tcp::socket*> registered();
    void readLoop();
    bool wantsBytes() const;
    bool hand(std::ptrdiff_t received, std::error_code error);
    void armReadWait();
    void queue(std::vector<std::string> pieces);
    void flush();
    SendState sendQueued();
    void release(std::size_t sent);
    void armWriteWait();
    void linger();
    void peerGone();
    void closeNow();

    asio::io_context& context_;
    int fd_;
    std::optional<asio::ip::tcp::socket> socket_;  // made on first wait; owns fd_ from then on
    std::optional<asio::steady_timer> lingerTimer_;
    State state_ = State::Open;
    bool inReadLoop_ = false;  // a handler that arms the next receive is served by the loop
    bool readWaitArmed_ = false;
    ReceiveHandler pending_;
    std::function<void()> onGone_;
    std::function<void()> onDrained_;
    std::size_t drainedBelow_ = 0;
    std::vector<std::string> out_;  // out_[outFront_] on are still to send
    std::size_t outFront_ = 0;
    std::size_t written_ = 0;  // bytes of out_[outFront_] already sent
    std::size_t queued_ = 0;
};

// The one piece `bytes`, as the write calls take it.
inline std::vector<std::string> onePiece(std::string bytes) {
    std::vector<std::string> pieces;
    pieces.push_back(std::move(bytes));
    return pieces;
}

}  // namespace nerix::platform
