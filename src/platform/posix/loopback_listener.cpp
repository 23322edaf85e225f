#include "platform/posix/loopback_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include <asio/post.hpp>

namespace nerix::platform {
namespace {

using namespace std::chrono_literals;

// How long a failed accept (out of descriptors, say) waits before the listener tries again.
constexpr auto kAcceptRetryDelay = 50ms;
// Accepts taken in one go before the queue serves other work.
constexpr int kAcceptBatch = 64;
// At most this many wake-ups in a row take one connection without looking for another.
constexpr int kMaxWakesWithoutProbe = 8;
// Wake-ups in a row that each find one connection before connections are accepted early again.
constexpr int kAloneBeforeEarlyAccept = 64;
// How long a closing connection keeps reading what its peer still sends.
constexpr auto kLingerTime = 2s;

std::error_code lastError() { return {errno, std::system_category()}; }

}  // namespace

// ---- Connection ------------------------------------------------------------------------

Connection::Connection(asio::io_context& context, int fd) : context_(context), fd_(fd) {}

Connection::~Connection() {
    if (!socket_ && fd_ >= 0) ::close(fd_);
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
    pending_ = std::move(handler);
    // A handler that arms the next receive from inside this loop is served by the loop, not
    // by recursion, so a body of many receives never deepens the stack.
    if (!receiving_) drainReceives();
}

void Connection::drainReceives() {
    auto self = shared_from_this();
    receiving_ = true;
    // One scratch buffer serves every connection: all reads happen on the queue thread and the
    // bytes are handed on before the next read.
    static thread_local char scratch[kMaxReceive];
    while (pending_ && fd_ >= 0) {
        ssize_t n = ::recv(fd_, scratch, sizeof scratch, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            armReadWait();
            break;
        }
        auto handler = std::move(pending_);
        pending_ = nullptr;
        if (n > 0)
            handler(std::string_view(scratch, static_cast<std::size_t>(n)), false, {});
        else if (n == 0)
            handler({}, true, {});
        else
            handler({}, false, lastError());
    }
    receiving_ = false;
}

void Connection::armReadWait() {
    auto socket = registered();
    if (!socket) {
        auto handler = std::move(pending_);
        pending_ = nullptr;
        handler({}, false, {socket.error().code, std::system_category()});
        return;
    }
    (*socket)->async_wait(asio::socket_base::wait_read, [self = shared_from_this()](std::error_code ec) {
        if (!self->pending_) return;
        if (ec) {
            auto handler = std::move(self->pending_);
            self->pending_ = nullptr;
            handler({}, false, ec);
            return;
        }
        self->drainReceives();
    });
}

void Connection::watchForClose(std::function<void()> onGone) {
    onGone_ = std::move(onGone);
    readAndDrop();
}

void Connection::write(std::string bytes) {
    if (fd_ < 0 || bytes.empty()) return;
    queue(std::move(bytes));
    if (!writing_) flush();
}

void Connection::write(std::vector<std::string> pieces) {
    if (fd_ < 0) return;
    for (auto& piece : pieces) queue(std::move(piece));
    if (!writing_) flush();
}

void Connection::queue(std::string bytes) {
    if (bytes.empty()) return;
    queued_ += bytes.size();
    out_.push_back(std::move(bytes));
}

void Connection::whenDrained(std::size_t below, std::function<void()> onDrained) {
    drainedBelow_ = below;
    onDrained_ = std::move(onDrained);
}

void Connection::finish(bool drainInput) {
    finishing_ = true;
    lingerAfterSend_ = drainInput;
    pending_ = nullptr;
    if (!writing_) flush();
}

void Connection::sendAndClose(std::string answer, bool drainInput) {
    if (fd_ < 0) return;
    queue(std::move(answer));
    finish(drainInput);
}

void Connection::sendAndClose(std::vector<std::string> pieces, bool drainInput) {
    if (fd_ < 0) return;
    for (auto& piece : pieces) queue(std::move(piece));
    finish(drainInput);
}

// Sends what is queued, waits for room where the socket takes no more, then tells whoever
// waits for the queue to drain and, once all is sent, closes as finish asked.
void Connection::flush() {
    if (fd_ < 0) return;
    switch (sendQueued()) {
        case SendState::Blocked: armWriteWait(); return;
        case SendState::Failed: peerGone(); return;
        case SendState::Sent: break;
    }
    if (onDrained_ && queued_ < drainedBelow_) {
        asio::post(context_, [onDrained = std::move(onDrained_)] { onDrained(); });
        onDrained_ = nullptr;
    }
    if (finishing_) closeOrLinger();
}

// As many sendmsg calls as the socket takes, each with every queued piece (up to 64).
Connection::SendState Connection::sendQueued() {
    constexpr std::size_t kMaxParts = 64;
    while (fd_ >= 0 && outFront_ < out_.size()) {
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
        const int flags = MSG_NOSIGNAL | (finishing_ ? MSG_MORE : 0);
        ssize_t n = ::sendmsg(fd_, &message, flags);
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

void Connection::armWriteWait() {
    auto socket = registered();
    if (!socket) {
        peerGone();
        return;
    }
    writing_ = true;
    (*socket)->async_wait(asio::socket_base::wait_write, [self = shared_from_this()](std::error_code ec) {
        self->writing_ = false;
        if (!ec) self->flush();
    });
}

// Everything is sent. A close with request bytes still unread would turn into a reset that can
// cost the peer its answer: then our FIN goes out first and what the peer still sends is read
// and dropped until it closes or the linger time is up. Otherwise the connection closes now.
void Connection::closeOrLinger() {
    if (!lingerAfterSend_) {
        closeNow();
        return;
    }
    onGone_ = nullptr;
    ::shutdown(fd_, SHUT_WR);
    lingerTimer_.emplace(context_, kLingerTime);
    lingerTimer_->async_wait([self = shared_from_this()](std::error_code ec) {
        if (!ec) self->closeNow();
    });
    readAndDrop();
}

// Reads and drops what the peer sends until it ends its side or the connection fails.
void Connection::readAndDrop() {
    static thread_local char scratch[kMaxReceive];
    while (fd_ >= 0 && !reading_) {
        ssize_t n = ::recv(fd_, scratch, sizeof scratch, 0);
        if (n > 0 || (n < 0 && errno == EINTR)) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (auto socket = registered()) {
                reading_ = true;
                (*socket)->async_wait(asio::socket_base::wait_read, [self = shared_from_this()](std::error_code ec) {
                    self->reading_ = false;
                    if (!ec) self->readAndDrop();
                });
                return;
            }
        }
        peerGone();  // the peer has closed, or reading failed
    }
}

// The peer has left (or cannot be reached): whoever watches hears of it, and the connection
// closes.
void Connection::peerGone() {
    if (auto onGone = std::move(onGone_)) {
        onGone_ = nullptr;
        asio::post(context_, std::move(onGone));
    }
    closeNow();
}

void Connection::cancel() {
    onGone_ = nullptr;
    closeNow();
}

void Connection::closeNow() {
    if (fd_ < 0) return;
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
    fd_ = -1;
}

// ---- LoopbackListener --------------------------------------------------------------------

Result<std::unique_ptr<LoopbackListener>> LoopbackListener::open(asio::io_context& context) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return fail(std::string("could not create the listener socket: ") + std::strerror(errno), errno);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;  // the system picks a free port
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        ::close(fd);
        return fail(std::string("could not bind the listener to 127.0.0.1: ") + std::strerror(error), error);
    }
    std::unique_ptr<LoopbackListener> listener(new LoopbackListener(context));
    std::error_code ec;
    listener->acceptor_.assign(asio::ip::tcp::v4(), fd, ec);
    if (ec) {
        ::close(fd);
        return fail("could not watch the listener socket: " + ec.message(), ec.value());
    }
    return listener;
}

LoopbackListener::LoopbackListener(asio::io_context& context)
    : context_(context), acceptor_(context), retryTimer_(context) {}

LoopbackListener::~LoopbackListener() {
    std::error_code ignored;
    retryTimer_.cancel();
    acceptor_.close(ignored);
}

void LoopbackListener::start(ReadyHandler onReady, ConnectionHandler onConnection, StarvedHandler onStarved) {
    onConnection_ = std::move(onConnection);
    onStarved_ = std::move(onStarved);
    asio::post(context_, [this, alive = std::weak_ptr<bool>(alive_), onReady = std::move(onReady)] {
        if (alive.expired()) return;
        int fd = acceptor_.native_handle();
        if (::listen(fd, SOMAXCONN) != 0) return;  // never ready
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
        std::uint16_t port = ntohs(address.sin_port);
        if (port == 0) return;
        onReady(port);
        // The owner may have let go of the last reference while ready was reported, and the
        // listener has gone with it.
        if (alive.expired()) return;
        armAccept();
    });
}

void LoopbackListener::armAccept() {
    acceptor_.async_wait(asio::socket_base::wait_read, [this, alive = std::weak_ptr<bool>(alive_)](std::error_code ec) {
        if (ec || alive.expired()) return;
        acceptReady();
    });
}

// Whether to look for a second connection after the first of a wake-up. With peers one after
// the other that look finds none, and costs an accept; the wait's re-arm reports a connection
// that is queued anyway. So after a look that found none, the next few wake-ups (more each
// time, up to kMaxWakesWithoutProbe) take one connection and do not look.
bool LoopbackListener::probeForMore() {
    if (skipProbes_ > 0) {
        --skipProbes_;
        return false;
    }
    wakesWithoutProbe_ = std::min(kMaxWakesWithoutProbe, std::max(1, wakesWithoutProbe_ * 2));
    skipProbes_ = wakesWithoutProbe_;
    return true;
}

void LoopbackListener::acceptReady() {
    std::weak_ptr<bool> alive = alive_;
    int taken = 0;
    for (int i = 0; i < kAcceptBatch; ++i) {
        int fd = ::accept4(acceptor_.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            if (errno == EMFILE || errno == ENFILE) {
                // The kernel reports a lack of descriptors before it looks for a connection:
                // only when one is really waiting may the owner give up a descriptor for it.
                pollfd waiting{acceptor_.native_handle(), POLLIN, 0};
                if (::poll(&waiting, 1, 0) == 0) break;
                if (onStarved_ && onStarved_()) {
                    if (alive.expired()) return;
                    continue;
                }
            }
            // Out of descriptors or memory: the pending connection stays in the backlog, so
            // waiting for readability would spin. Pause, then try again.
            retryTimer_.expires_after(kAcceptRetryDelay);
            retryTimer_.async_wait([this, alive = std::weak_ptr<bool>(alive_)](std::error_code ec) {
                if (ec || alive.expired()) return;
                acceptReady();
            });
            return;
        }
        onConnection_(std::make_shared<Connection>(context_, fd));
        if (alive.expired()) return;  // the owner went away while serving it
        if (++taken == 1 && !probeForMore()) break;
        if (taken == 2) {  // peers arrive together: take them in batches, once their bytes are in
            wakesWithoutProbe_ = skipProbes_ = 0;
            aloneInARow_ = 0;
            deferAccepts(true);
        }
    }
    if (taken == 1) takenAlone();
    armAccept();
}

// A wake-up that found one connection. After enough of them in a row, peers come one at a time:
// accept them early again.
void LoopbackListener::takenAlone() {
    if (deferring_ && ++aloneInARow_ >= kAloneBeforeEarlyAccept) deferAccepts(false);
}

// Peers that come one at a time are accepted as soon as they connect: their request arrives
// while the connection is accepted, so accepting overlaps with the peer's send. Peers that come
// together are reported only once their first bytes have arrived (TCP_DEFER_ACCEPT): then each
// request is read straight after its accept, where otherwise many connections would each be
// registered with the reactor to wait for it. A peer that sends nothing is still accepted after
// the deferral (about a second).
void LoopbackListener::deferAccepts(bool defer) {
    if (deferring_ == defer) return;
    int seconds = defer ? 1 : 0;
    if (::setsockopt(acceptor_.native_handle(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds) == 0)
        deferring_ = defer;
    aloneInARow_ = 0;
}

}  // namespace nerix::platform
