#include "platform/posix/loopback_listener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <asio/post.hpp>

namespace nerix::platform {
namespace {

using namespace std::chrono_literals;

// How long a failed accept (out of descriptors, say) waits before the listener tries again.
constexpr auto kAcceptRetryDelay = 50ms;
// Accepts taken in one go before the queue serves other work.
constexpr int kAcceptBatch = 64;
// How long a closing connection keeps reading what its peer still sends.
constexpr auto kLingerTime = 2s;

std::error_code lastError() { return {errno, std::system_category()}; }

}  // namespace

// ---- Connection ------------------------------------------------------------------------

Connection::Connection(asio::io_context& context, int fd) : context_(context), fd_(fd) {}

Connection::~Connection() {
    if (!socket_ && fd_ >= 0) ::close(fd_);
}

asio::ip::tcp::socket& Connection::registered() {
    if (!socket_) {
        socket_.emplace(context_);
        std::error_code ec;
        socket_->assign(asio::ip::tcp::v4(), fd_, ec);
        if (ec) {  // cannot be watched: give it back to the plain close path
            socket_.reset();
            throw std::system_error(ec);
        }
    }
    return *socket_;
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
    try {
        registered().async_wait(asio::socket_base::wait_read, [self = shared_from_this()](std::error_code ec) {
            if (!self->pending_) return;
            if (ec) {
                auto handler = std::move(self->pending_);
                self->pending_ = nullptr;
                handler({}, false, ec);
                return;
            }
            self->drainReceives();
        });
    } catch (const std::system_error& error) {
        auto handler = std::move(pending_);
        pending_ = nullptr;
        handler({}, false, error.code());
    }
}

void Connection::sendAndClose(std::string head, std::string body, bool drainInput) {
    head_ = std::move(head);
    body_ = std::move(body);
    written_ = 0;
    pending_ = nullptr;
    lingerAfterSend_ = drainInput;
    writeSome();
}

void Connection::writeSome() {
    const std::size_t total = head_.size() + body_.size();
    while (fd_ >= 0 && written_ < total) {
        iovec parts[2];
        int count = 0;
        if (written_ < head_.size()) {
            parts[count++] = {head_.data() + written_, head_.size() - written_};
            if (!body_.empty()) parts[count++] = {body_.data(), body_.size()};
        } else {
            std::size_t offset = written_ - head_.size();
            parts[count++] = {body_.data() + offset, body_.size() - offset};
        }
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = static_cast<decltype(message.msg_iovlen)>(count);
        // MSG_NOSIGNAL: a peer that has gone away must not raise SIGPIPE in this process.
        ssize_t n = ::sendmsg(fd_, &message, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            try {
                registered().async_wait(asio::socket_base::wait_write,
                                        [self = shared_from_this()](std::error_code ec) {
                                            if (!ec) self->writeSome();
                                        });
            } catch (const std::system_error&) {
                closeNow();
            }
            return;
        }
        if (n < 0) {  // the peer is gone: nothing more to do for it
            closeNow();
            return;
        }
        written_ += static_cast<std::size_t>(n);
    }
    if (fd_ < 0) return;
    std::string().swap(head_);
    std::string().swap(body_);
    if (lingerAfterSend_)
        startDraining();
    else
        closeNow();
}

void Connection::startDraining() {
    // Send our FIN behind the answer, then swallow what the peer still sends until it closes
    // or the linger time is up.
    ::shutdown(fd_, SHUT_WR);
    lingerTimer_.emplace(context_, kLingerTime);
    lingerTimer_->async_wait([self = shared_from_this()](std::error_code ec) {
        if (!ec) self->closeNow();
    });
    drainInput();
}

void Connection::drainInput() {
    static thread_local char scratch[kMaxReceive];
    while (fd_ >= 0) {
        ssize_t n = ::recv(fd_, scratch, sizeof scratch, 0);
        if (n > 0 || (n < 0 && errno == EINTR)) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            try {
                registered().async_wait(asio::socket_base::wait_read,
                                        [self = shared_from_this()](std::error_code ec) {
                                            if (!ec) self->drainInput();
                                        });
                return;
            } catch (const std::system_error&) {
            }
        }
        closeNow();  // the peer has closed, or reading failed
    }
}

void Connection::cancel() {
    pending_ = nullptr;
    closeNow();
}

void Connection::closeNow() {
    if (fd_ < 0) return;
    pending_ = nullptr;
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

LoopbackListener::LoopbackListener(asio::io_context& context)
    : context_(context), acceptor_(context), retryTimer_(context) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) throw std::system_error(lastError(), "could not create the listener socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;  // the system picks a free port
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        auto error = lastError();
        ::close(fd);
        throw std::system_error(error, "could not bind the listener to 127.0.0.1");
    }
    // Report a connection only once its first bytes have arrived: the request can then be read
    // straight after accept, instead of the connection being registered to wait for it. A peer
    // that sends nothing is still accepted after the deferral (about a second).
    int deferSeconds = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds, sizeof deferSeconds);
    std::error_code ec;
    acceptor_.assign(asio::ip::tcp::v4(), fd, ec);
    if (ec) {
        ::close(fd);
        throw std::system_error(ec, "could not watch the listener socket");
    }
}

LoopbackListener::~LoopbackListener() {
    *alive_ = false;
    std::error_code ignored;
    retryTimer_.cancel();
    acceptor_.close(ignored);
}

void LoopbackListener::start(ReadyHandler onReady, ConnectionHandler onConnection) {
    onConnection_ = std::move(onConnection);
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
    acceptor_.async_wait(asio::socket_base::wait_read,
                         [this, alive = std::weak_ptr<bool>(alive_)](std::error_code ec) {
                             if (ec || alive.expired()) return;
                             acceptReady();
                         });
}

void LoopbackListener::acceptReady() {
    std::weak_ptr<bool> alive = alive_;
    for (int i = 0; i < kAcceptBatch; ++i) {
        int fd = ::accept4(acceptor_.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
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
    }
    armAccept();
}

}  // namespace nerix::platform
