#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

namespace nerix::platform {

// A child process watched on an io_context: its two output pipes are read as data arrives and
// its end is seen through a pidfd, all on the queue thread and without blocking it. Started as
// startChild starts children (a process group of its own, killed with the starting thread).
class ChildProcess : public std::enable_shared_from_this<ChildProcess> {
public:
    enum Stream { Out = 0, Err = 1 };
    using OutputHandler = std::function<void(Stream, std::string_view bytes)>;
    using ExitHandler = std::function<void(int status)>;  // exit status, or the signal's number

    // Starts the child. On failure returns nullptr and sets `startError` to the errno.
    static std::shared_ptr<ChildProcess> start(asio::io_context& context, const std::string& program,
                                               const std::vector<std::string>& argv, const std::string& workingDir,
                                               int& startError);
    ChildProcess(asio::io_context& context, pid_t pid, int pidfd, int outFd, int errFd);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts reading. `onOutput` gets each piece as it is read (at most `readSize` bytes);
    // `onExit` runs once, when both pipes have ended (or were closed by stop) and the child has
    // been reaped. Both run on the queue, never from inside a call of this class.
    void watch(std::size_t readSize, OutputHandler onOutput, ExitHandler onExit);

    // Stops reading the pipes, so that the child blocks once they are full; and goes on.
    void pause();
    void resume();

    // SIGTERM to the process group and our pipe ends closed at once; SIGKILL to the group
    // `grace` later, for whatever of it is left. onExit follows once the child is reaped.
    void stop(std::chrono::milliseconds grace);

    // The same, waiting on the calling thread: returns once the child is reaped, at most
    // `grace` after the SIGTERM (plus the SIGKILL's own short delay). onExit is not called.
    void stopAndWait(std::chrono::milliseconds grace);

    pid_t pid() const { return pid_; }

private:
    void schedule(int stream);
    void readSome(int stream);
    void closePipe(int stream);
    void waitForEnd();
    void finishIfDone();

    asio::io_context& context_;
    pid_t pid_;
    asio::posix::stream_descriptor pidfd_;
    std::array<asio::posix::stream_descriptor, 2> pipes_;
    std::array<bool, 2> busy_{false, false};  // a read is posted or a wait armed
    asio::steady_timer killTimer_;
    std::unique_ptr<char[]> buffer_;
    std::size_t readSize_ = 0;
    OutputHandler onOutput_;
    ExitHandler onExit_;
    bool paused_ = false;
    bool stopped_ = false;
    bool reaped_ = false;
    int status_ = 0;
};

}  // namespace nerix::platform
