#include "platform/posix/connection.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <cerrno>
#include <utility>

#include <asio/post.hpp>

namespace nerix::platform {
namespace {

using namespace std::chrono_literals;

// How long a closing connection keeps reading what its peer still sends.
constexpr auto kLingerTime = 2s;

std::error_code lastError() { return {errno, std::system_category()}; }

}  // namespace

Connection::Connection(asio::io_context& context, int fd) : context_(context), fd_(fd) {}

Connection::~Connection() {
    if (!socket_ && state_ != State::Closed) ::close(fd_);
}

Result<asio::ip::tcp::socket*> Connection::registered() {
    if (!socket_) {
        socket_.emplace(context_);
        std::error_code ec;
        socket_->assign(asio::ip::tcp::v4(), fd_, ec);
        if (ec) {  // cannot be watched: give it back to the plain close path
            socket_.reset();
            return fail("could not watch the connection: " + ec.message(), ec.value());
        }
    }
    return &*socket_;
}

void Connection::receive(ReceiveHandler handler) {
    if (state_ == State::Closed) return;
    pending_ = std::move(handler);
    readLoop();
}

void Connection::watchForClose(std::function<void()> onGone) {
    onGone_ = std::move(onGone);
    readLoop();
}

// Someone wants what the peer sends: a receive is armed, or it is read and dropped while the
// peer is watched for its leaving or while the connection lingers.
bool Connection::wantsBytes() const {
    return state_ != State::Closed && (pending_ || onGone_ || state_ == State::Lingering);
}

// The one receive loop. A handler that arms the next receive from inside it is served by the
// loop, not by recursion, so a body of many receives never deepens the stack.
void Connection::readLoop() {
    if (inReadLoop_ || readWaitArmed_) return;
    auto self = shared_from_this();
    inReadLoop_ = true;
    // One buffer serves every connection: all reads happen on the queue thread and the bytes
    // are handed on before the next read.
    static thread_local char buffer[kMaxReceive];
    while (wantsBytes()) {
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            armReadWait();
            break;
        }
        if (pending_) {
            auto handler = std::exchange(pending_, nullptr);
            std::string_view bytes(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
            handler(bytes, n == 0, n < 0 ? lastError() : std::error_code());
        } else if (n <= 0) {
            peerGone();  // the peer has closed, or reading failed
        }
    }
    inReadLoop_ = false;
}

// Nothing to read now: wait until there is, or hand on why that cannot be done.
void Connection::armReadWait() {
    auto failed = [this](std::error_code error) {
        if (auto handler = std::exchange(pending_, nullptr))
            handler({}, false, error);
        else
            peerGone();
    };
    auto socket = registered();
    if (!socket) {
        failed({socket.error().code, std::system_category()});
        return;
    }
    readWaitArmed_ = true;
    (*socket)->async_wait(asio::socket_base::wait_read, [self = shared_from_this(), failed](std::error_code ec) {
        self->readWaitArmed_ = false;
        if (!self->wantsBytes()) return;
        if (ec)
            failed(ec);
        else
            self->readLoop();
    });
}

void Connection::write(std::vector<std::string> pieces) {
    if (state_ != State::Open) return;
    const bool idle = out_.empty();
    queue(std::move(pieces));
    if (idle) flush();
}

void Connection::sendAndClose(std::vector<std::string> pieces, bool drainInput) {
    if (state_ != State::Open) return;
    const bool idle = out_.empty();
    queue(std::move(pieces));
    state_ = drainInput ? State::Draining : State::Closing;
    pending_ = nullptr;
    if (idle) flush();
}

void Connection::queue(std::vector<std::string> pieces) {
    for (auto& piece : pieces) {
        if (piece.empty()) continue;
        queued_ += piece.size();
        out_.push_back(std::move(piece));
    }
}

void Connection::whenDrained(std::size_t below, std::function<void()> onDrained) {
    drainedBelow_ = below;
    onDrained_ = std::move(onDrained);
}

// Sends what is queued, waits for room where the socket takes no more, then tells whoever
// waits for the queue to drain and, once all is sent, closes as sendAndClose asked.
void Connection::flush() {
    if (state_ == State::Closed) return;
    switch (sendQueued()) {
        case SendState::Blocked: armWriteWait(); return;
        case SendState::Failed: peerGone(); return;
        case SendState::Sent: break;
    }
    if (onDrained_ && queued_ < drainedBelow_) {
        asio::post(context_, [onDrained = std::move(onDrained_)] { onDrained(); });
        onDrained_ = nullptr;
    }
    if (state_ == State::Closing) closeNow();
    if (state_ == State::Draining) linger();
}

// As many sendmsg calls as the socket takes, each with every queued piece (up to 64).
Connection::SendState Connection::sendQueued() {
    constexpr std::size_t kMaxParts = 64;
    while (outFront_ < out_.size()) {
        iovec parts[kMaxParts];
        std::size_t count = 0;
        for (std::size_t i = outFront_; i < out_.size() && count < kMaxParts; ++i, ++count) {
            std::size_t skip = i == outFront_ ? written_ : 0;
            parts[count] = {out_[i].data() + skip, out_[i].size() - skip};
        }
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = static_cast<decltype(message.msg_iovlen)>(count);
        // MSG_NOSIGNAL: a peer that has gone away must not raise SIGPIPE in this process.
        // MSG_MORE when the connection closes after these bytes: the tail of the answer waits
        // for the close and leaves with the end of stream in one segment, so the peer wakes
        // once for both.
        const bool closing = state_ == State::Closing || state_ == State::Draining;
        ssize_t n = ::sendmsg(fd_, &message, MSG_NOSIGNAL | (closing ? MSG_MORE : 0));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return SendState::Blocked;
        if (n < 0) return SendState::Failed;  // the peer is gone: nothing more to do for it
        release(static_cast<std::size_t>(n));
    }
    out_.clear();
    outFront_ = 0;
    return SendState::Sent;
}

// Each piece is let go as soon as it is sent: a large answer shrinks while it goes out.
void Connection::release(std::size_t sent) {
    queued_ -= sent;
    while (sent > 0) {
        std::size_t left = out_[outFront_].size() - written_;
        if (sent < left) {
            written_ += sent;
            return;
        }
        sent -= left;
        std::string().swap(out_[outFront_++]);
        written_ = 0;
    }
}

// Bytes are queued exactly while this wait is armed, so a write into a non-empty queue leaves
// the sending to it.
void Connection::armWriteWait() {
    auto socket = registered();
    if (!socket) {
        peerGone();
        return;
    }
    (*socket)->async_wait(asio::socket_base::wait_write, [self = shared_from_this()](std::error_code ec) {
        if (self->state_ == State::Closed) return;
        if (ec)
            self->peerGone();
        else
            self->flush();
    });
}

// Everything is sent, and request bytes may still be unread: a close now would turn into a
// reset that can cost the peer its answer. So our FIN goes out first, and what the peer still
// sends is read and dropped until it closes or the linger time is up.
void Connection::linger() {
    state_ = State::Lingering;
    onGone_ = nullptr;
    ::shutdown(fd_, SHUT_WR);
    lingerTimer_.emplace(context_, kLingerTime);
    lingerTimer_->async_wait([self = shared_from_this()](std::error_code ec) {
        if (!ec) self->closeNow();
    });
    readLoop();
}

// The peer has left (or cannot be reached): whoever watches hears of it, and the connection
// closes.
void Connection::peerGone() {
    if (auto onGone = std::exchange(onGone_, nullptr)) asio::post(context_, std::move(onGone));
    closeNow();
}

void Connection::cancel() {
    onGone_ = nullptr;
    closeNow();
}

void Connection::closeNow() {
    if (state_ == State::Closed) return;
    state_ = State::Closed;
    pending_ = nullptr;
    onDrained_ = nullptr;
    out_.clear();
    outFront_ = 0;
    queued_ = 0;
    if (lingerTimer_) lingerTimer_->cancel();
    if (socket_) {
        std::error_code ignored;
        socket_->close(ignored);
    } else {
        ::close(fd_);
    }
}

}  // namespace nerix::platform
