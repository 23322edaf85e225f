#include "platform/posix/loopback_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>

#include <asio/post.hpp>

#include "platform/posix/unique_fd.h"

namespace nerix::platform {
namespace {

using namespace std::chrono_literals;

// How long a failed accept (out of descriptors, say) waits before the listener tries again.
constexpr auto kAcceptRetryDelay = 50ms;
// Accepts taken in one go before the queue serves other work.
constexpr int kAcceptBatch = 64;

}  // namespace

Result<std::unique_ptr<LoopbackListener>> LoopbackListener::open(asio::io_context& context) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return failSystem("could not create the listener socket", errno);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;  // the system picks a free port
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return failSystem("could not bind the listener to 127.0.0.1", errno);
    std::unique_ptr<LoopbackListener> listener(new LoopbackListener(context));
    std::error_code ec;
    listener->acceptor_.assign(asio::ip::tcp::v4(), fd.get(), ec);
    if (ec) return fail("could not watch the listener socket: " + ec.message(), ec.value());
    fd.release();  // the acceptor owns it now
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
            pacing_.wakeUpTook(acceptor_.native_handle(), taken);
            retryLater();
            return;
        }
        onConnection_(std::make_shared<Connection>(context_, fd));
        if (alive.expired()) return;  // the owner went away while serving it
        if (++taken == 1 && !pacing_.lookForAnother()) break;
    }
    pacing_.wakeUpTook(acceptor_.native_handle(), taken);
    armAccept();
}

// Out of descriptors or memory: the pending connection stays in the backlog, so waiting for
// readability would spin. Pause, then try again.
void LoopbackListener::retryLater() {
    retryTimer_.expires_after(kAcceptRetryDelay);
    retryTimer_.async_wait([this, alive = std::weak_ptr<bool>(alive_)](std::error_code ec) {
        if (ec || alive.expired()) return;
        acceptReady();
    });
}

}  // namespace nerix::platform
