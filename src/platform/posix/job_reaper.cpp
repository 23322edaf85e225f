#include "platform/posix/job_reaper.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

#include <asio/post.hpp>

#include "platform/posix/process.h"
#include "platform/posix/reaper_protocol.h"

extern char** environ;

namespace nerix::platform {
namespace {

// The reaper answers a start as soon as the tool runs or has failed to; one that stays silent
// this long is taken for lost.
constexpr std::chrono::seconds kStartDeadline{10};

// The start's plan (see reaper_protocol.h).
std::string planText(const std::string& program, const std::vector<std::string>& argv, const std::string& workingDir,
                     const JobLeftovers& leftovers, std::uint32_t& envc) {
    std::string text;
    // Each text as the system will read it: up to its first NUL.
    auto add = [&](const std::string& item) {
        text.append(item.c_str());  // NOLINT(readability-redundant-string-cstr): up to the first NUL
        text.push_back('\0');
    };
    add(program);
    add(workingDir);
    for (const auto& arg : argv) add(arg);
    envc = 0;
    for (char** entry = environ; entry && *entry; ++entry, ++envc) {
        text.append(*entry);
        text.push_back('\0');
    }
    for (const auto& [from, to] : leftovers.moveBack) add(from), add(to);
    for (const auto& path : leftovers.remove) add(path);
    return text;
}

// A plan too long for the datagram, in a memory file: an argument vector of any length crosses in
// one descriptor.
Result<int> planFile(std::string_view text) {
    int fd = ::memfd_create("vantorel-job", MFD_CLOEXEC);
    if (fd < 0) return fail("the job's plan: " + systemText(errno), errno);
    for (std::string_view rest = text; !rest.empty();) {
        ssize_t n = ::write(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int error = n < 0 ? errno : EIO;
            ::close(fd);
            return fail("the job's plan: " + systemText(error), error);
        }
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    return fd;
}

// Sends a start, its plan when that comes inline, and its descriptors (the plan's file when it
// does not, the tool's output and error, and the one to hold when there is one) in one datagram.
// Returns 0 once sent, else the error number.
int sendStart(int socket, reaper::Request& request, std::string_view inlinePlan, const int (&fds)[4],
              std::size_t fdCount) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
    iovec parts[2] = {{&request, sizeof request}, {const_cast<char*>(inlinePlan.data()), inlinePlan.size()}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = inlinePlan.empty() ? 1 : 2;
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(fdCount * sizeof(int));
    cmsghdr* rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(fdCount * sizeof(int));
    std::memcpy(CMSG_DATA(rights), fds, fdCount * sizeof(int));
    ssize_t sent;
    do sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent < 0 ? errno : 0;
}

}  // namespace

struct JobReaper::Message {
    reaper::Reply reply;
    std::string text;
};

JobReaper::JobReaper(asio::io_context& context, std::chrono::milliseconds grace)
    : context_(context), grace_(grace), socket_(context) {}

JobReaper::~JobReaper() {
    std::error_code ignored;
    socket_.close(ignored);  // the reaper's cue to stop what is left and end
    if (reaper_ > 0) retired_.push_back(reaper_);
    for (pid_t pid : retired_) waitForChild(pid);
}

const std::string& JobReaper::program() {
    static const std::string path = [] {
        // The link names the file itself, not a symbolic link that may have started it.
        std::error_code error;
        std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
        std::filesystem::path folder = error ? std::filesystem::path() : executable.parent_path();
        return (folder / ".." / "libexec" / "vantorel" / "vantorel-reaper").lexically_normal().string();
    }();
    return path;
}

Result<void> JobReaper::ensureRunning() {
    for (auto it = retired_.begin(); it != retired_.end();)
        it = ::waitpid(*it, nullptr, WNOHANG) == 0 ? std::next(it) : retired_.erase(it);
    if (socket_.is_open()) return {};
    // A datagram socket pair: each message arrives whole or not at all.
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return fail("socket for " + program() + ": " + systemText(errno), errno);
    // Ours above 3, so that handing theirs to descriptor 3 never overwrites it.
    int ours = ::fcntl(pair[0], F_DUPFD_CLOEXEC, reaper::kControlDescriptor + 1);
    int error = errno;
    ::close(pair[0]);
    if (ours < 0) {
        ::close(pair[1]);
        return fail("socket for " + program() + ": " + systemText(error), error);
    }
    // Started from the queue thread, it also hears (SIGTERM) when that thread ends. Out of our
    // process group: a terminal's Ctrl+C is for the bridge, whose end the reaper then sees.
    auto pid = spawn(SpawnPlan{.program = program(),
                               .argv = {program(), std::to_string(grace_.count())},
                               .environment = std::nullopt,
                               .workingDir = "/",
                               .descriptors = {{pair[1], reaper::kControlDescriptor}},
                               .ownProcessGroup = true,
                               .parentDeathSignal = SIGTERM});
    ::close(pair[1]);
    if (!pid) {
        ::close(ours);
        return fail(pid.error());
    }
    reaper_ = *pid;
    std::error_code failed;
    socket_.assign(ours, failed);
    if (!failed) socket_.non_blocking(true, failed);
    if (failed) {
        ::close(ours);  // the reaper sees its end and ends
        lost();
        return fail("socket for " + program() + ": " + failed.message(), failed.value());
    }
    watching_ = false;
    watch();
    return {};
}

Result<pid_t> JobReaper::start(const std::string& program, const std::vector<std::string>& argv,
                               const std::string& workingDir, int outFd, int errFd, EndHandler onEnded,
                               const JobLeftovers& leftovers) {
    if (auto running = ensureRunning(); !running) return fail(running.error());
    reaper::Request request{reaper::Request::Start,
                            0,
                            0,
                            static_cast<std::uint32_t>(argv.size()),
                            0,
                            static_cast<std::uint32_t>(leftovers.moveBack.size()),
                            static_cast<std::uint32_t>(leftovers.remove.size()),
                            0};
    const std::string plan = planText(program, argv, workingDir, leftovers, request.envc);
    int planFd = -1;
    if (plan.size() <= reaper::kLongestInlinePlan) {
        request.planBytes = static_cast<std::uint32_t>(plan.size());
    } else {
        auto file = planFile(plan);
        if (!file) return fail(file.error());
        planFd = *file;
    }

    int fds[4];
    std::size_t fdCount = 0;
    if (planFd >= 0) fds[fdCount++] = planFd;
    fds[fdCount++] = outFd;
    fds[fdCount++] = errFd;
    if (leftovers.hold >= 0) fds[fdCount++] = leftovers.hold;
    const std::string_view inlinePlan(plan.data(), request.planBytes);
    const int sendError = sendStart(socket_.native_handle(), request, inlinePlan, fds, fdCount);
    if (planFd >= 0) ::close(planFd);
    if (sendError != 0) {
        lost();
        return fail(JobReaper::program() + ": " + systemText(sendError), sendError);
    }

    return awaitStarted(std::move(onEnded));
}

// Its answer comes as soon as the tool runs or has failed to; an earlier tool's end may come first.
Result<pid_t> JobReaper::awaitStarted(EndHandler onEnded) {
    for (const auto until = Clock::now() + kStartDeadline;;) {
        auto reply = receive(until);
        if (!reply) {
            if (reaper_ > 0) ::kill(reaper_, SIGTERM);  // silent: it stops what it has and ends
            lost();
            return fail(JobReaper::program() + ": ended or stopped answering", ECHILD);
        }
        if (reply->reply.kind == reaper::Reply::Started) {
            running_[reply->reply.pid] = std::move(onEnded);
            return static_cast<pid_t>(reply->reply.pid);
        }
        if (reply->reply.kind == reaper::Reply::NotStarted) return fail(reply->text, reply->reply.value);
        dispatch(*reply);
    }
}

void JobReaper::stop(pid_t tool, std::chrono::milliseconds grace) {
    if (!socket_.is_open()) return;
    const reaper::Request request{reaper::Request::Stop, tool, grace.count(), 0, 0, 0, 0, 0};
    ssize_t sent;
    do sent = ::send(socket_.native_handle(), &request, sizeof request, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent < 0) lost();
}

Result<int> JobReaper::waitForEnd(pid_t tool, std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    while (running_.contains(tool)) {
        auto reply = receive(until);
        if (!reply) break;
        if (reply->reply.kind == reaper::Reply::Ended && reply->reply.pid == tool) {
            running_.erase(tool);
            return reply->reply.value;
        }
        dispatch(*reply);
    }
    running_.erase(tool);
    return fail("the tool " + std::to_string(tool) + " did not end in time", ETIMEDOUT);
}

// One reply, waiting for it until `until`; nothing when none came, or when the reaper was lost.
std::optional<JobReaper::Message> JobReaper::receive(Clock::time_point until) {
    char buffer[reaper::kLongestReply];
    while (socket_.is_open()) {
        ssize_t n = ::recv(socket_.native_handle(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n >= static_cast<ssize_t>(sizeof(reaper::Reply))) {
            Message message{};
            std::memcpy(&message.reply, buffer, sizeof message.reply);
            message.text.assign(buffer + sizeof message.reply, buffer + n);
            return message;
        }
        if (n > 0 || (n < 0 && errno == EINTR)) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0) return std::nullopt;
            pollfd readable{socket_.native_handle(), POLLIN, 0};
            ::poll(&readable, 1, static_cast<int>(std::min<long long>(left, 60'000)));
            continue;
        }
        lost();  // its end closed: the reaper has ended
    }
    return std::nullopt;
}

void JobReaper::dispatch(const Message& message) {
    if (message.reply.kind != reaper::Reply::Ended) return;
    auto handler = running_.find(message.reply.pid);
    if (handler == running_.end()) return;
    // Never from inside a call of ours: the handler may let go of its child, or of us.
    asio::post(context_, [onEnded = std::move(handler->second), status = message.reply.value] { onEnded(status); });
    running_.erase(handler);
}

// Reads the reaper's news whenever it has some, while the queue is otherwise idle.
void JobReaper::watch() {
    if (watching_ || !socket_.is_open()) return;
    watching_ = true;
    socket_.async_wait(asio::posix::stream_descriptor::wait_read, [weak = weak_from_this()](std::error_code error) {
        auto self = weak.lock();
        if (!self || error) return;
        self->watching_ = false;
        while (auto message = self->receive(Clock::now())) self->dispatch(*message);
        self->watch();
    });
}

// The reaper has ended (or will not answer): whatever ran under it has been stopped by it, or by
// the kernel with it. The next start starts a new one.
void JobReaper::lost() {
    std::error_code ignored;
    socket_.close(ignored);
    watching_ = false;
    if (reaper_ > 0) retired_.push_back(reaper_);
    reaper_ = -1;
    for (auto& [pid, onEnded] : running_) asio::post(context_, [onEnded = std::move(onEnded)] { onEnded(-1); });
    running_.clear();
}

}  // namespace nerix::platform
