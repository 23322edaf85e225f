#include "platform/posix/child_process.h"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

#include <asio/post.hpp>

#include "platform/posix/process.h"

namespace nerix::platform {

std::shared_ptr<ChildProcess> ChildProcess::start(asio::io_context& context, const std::string& program,
                                                  const std::vector<std::string>& argv, const std::string& workingDir,
                                                  int& startError) {
    StartedChild child = startChild(program, argv, workingDir);
    startError = child.startError;
    if (startError != 0) return nullptr;
    // A pidfd makes the child's end an event the queue can wait for (it is close-on-exec).
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child.pid, 0));
    if (pidfd < 0) startError = errno;
    if (startError == 0) {
        try {
            return std::make_shared<ChildProcess>(context, child.pid, pidfd, child.outFd, child.errFd);
        } catch (const std::exception&) {  // the descriptors could not be watched, or no memory
            startError = ENOMEM;
            pidfd = -1;  // closed by the half-built object
            child.outFd = child.errFd = -1;
        }
    }
    for (int fd : {pidfd, child.outFd, child.errFd})
        if (fd >= 0) ::close(fd);
    ::kill(child.pid, SIGKILL);
    waitForChild(child.pid);
    return nullptr;
}

ChildProcess::ChildProcess(asio::io_context& context, pid_t pid, int pidfd, int outFd, int errFd)
    : context_(context),
      pid_(pid),
      pidfd_(context, pidfd),
      pipes_{asio::posix::stream_descriptor(context, outFd), asio::posix::stream_descriptor(context, errFd)},
      killTimer_(context) {}

ChildProcess::~ChildProcess() {
    // Never leave a child unreaped, whatever the owner forgot.
    if (!reaped_) {
        ::kill(-pid_, SIGKILL);
        waitForChild(pid_);
    }
}

void ChildProcess::watch(std::size_t readSize, OutputHandler onOutput, ExitHandler onExit) {
    readSize_ = readSize;
    buffer_ = std::make_unique_for_overwrite<char[]>(readSize);
    onOutput_ = std::move(onOutput);
    onExit_ = std::move(onExit);
    schedule(Out);
    schedule(Err);
    waitForEnd();
}

void ChildProcess::pause() { paused_ = true; }

void ChildProcess::resume() {
    if (!paused_) return;
    paused_ = false;
    schedule(Out);
    schedule(Err);
}

void ChildProcess::schedule(int stream) {
    if (busy_[stream] || !pipes_[stream].is_open()) return;
    busy_[stream] = true;
    asio::post(context_, [self = shared_from_this(), stream] {
        self->busy_[stream] = false;
        self->readSome(stream);
    });
}

// One read per turn of the queue, so that other work is served between pieces of a large output.
void ChildProcess::readSome(int stream) {
    if (paused_ || !pipes_[stream].is_open()) return;
    ssize_t n = ::read(pipes_[stream].native_handle(), buffer_.get(), readSize_);
    if (n > 0) {
        onOutput_(static_cast<Stream>(stream), std::string_view(buffer_.get(), static_cast<std::size_t>(n)));
        schedule(stream);
        return;
    }
    if (n < 0 && errno == EINTR) {
        schedule(stream);
        return;
    }
    if (n < 0 && errno == EAGAIN) {
        busy_[stream] = true;
        pipes_[stream].async_wait(asio::posix::stream_descriptor::wait_read,
                                  [self = shared_from_this(), stream](std::error_code ec) {
                                      self->busy_[stream] = false;
                                      if (!ec) self->readSome(stream);
                                  });
        return;
    }
    closePipe(stream);  // end of file, or a read error that will not go away
    finishIfDone();
}

void ChildProcess::closePipe(int stream) {
    std::error_code ignored;
    pipes_[stream].close(ignored);
}

void ChildProcess::waitForEnd() {
    pidfd_.async_wait(asio::posix::stream_descriptor::wait_read, [self = shared_from_this()](std::error_code ec) {
        if (ec) return;
        int status = 0;
        pid_t got = ::waitpid(self->pid_, &status, WNOHANG);
        if (got == 0) {  // not ended after all
            self->waitForEnd();
            return;
        }
        self->reaped_ = true;
        self->status_ = got == self->pid_ ? exitStatus(status) : -1;
        self->finishIfDone();
    });
}

void ChildProcess::finishIfDone() {
    if (!reaped_ || pipes_[Out].is_open() || pipes_[Err].is_open() || !onExit_) return;
    std::error_code ignored;
    pidfd_.close(ignored);
    // Called from the queue, never from the owner's own call: it may let go of this object.
    auto onExit = std::move(onExit_);
    onExit_ = nullptr;
    onOutput_ = nullptr;
    onExit(status_);
}

void ChildProcess::stop(std::chrono::milliseconds grace) {
    if (stopped_) return;
    stopped_ = true;
    ::kill(-pid_, SIGTERM);
    closePipe(Out);
    closePipe(Err);
    killTimer_.expires_after(grace);
    // Holds this object until then: what is left of the group is killed even after the owner
    // has moved on to the next job.
    killTimer_.async_wait([self = shared_from_this()](std::error_code ec) {
        if (!ec) ::kill(-self->pid_, SIGKILL);
    });
    // The end may already have been seen; the report must still come from the queue.
    asio::post(context_, [self = shared_from_this()] { self->finishIfDone(); });
}

void ChildProcess::stopAndWait(std::chrono::milliseconds grace) {
    if (reaped_) return;
    ::kill(-pid_, SIGTERM);
    closePipe(Out);
    closePipe(Err);
    pollfd ended{pidfd_.native_handle(), POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + grace;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || ::poll(&ended, 1, static_cast<int>(left.count())) > 0) break;
    }
    // Whatever of the group is left goes now; the leader, even ended, still holds the group's id.
    ::kill(-pid_, SIGKILL);
    status_ = waitForChild(pid_);
    reaped_ = true;
    killTimer_.cancel();
    onExit_ = nullptr;
    onOutput_ = nullptr;
}

}  // namespace nerix::platform
