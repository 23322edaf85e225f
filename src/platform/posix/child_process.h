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

#include "base/result.h"
#include "platform/posix/job_reaper.h"

namespace nerix::platform {

// A job's tool watched on an io_context: its two output pipes are read as data arrives, all on
// the queue thread and without blocking it. Started under the bridge's JobReaper, in a process
// group of its own; its end is reported once the tool and everything it started have ended.
class ChildProcess : public std::enable_shared_from_this<ChildProcess> {
public:
    enum Stream { Out = 0, Err = 1 };
    using OutputHandler = std::function<void(Stream, std::string_view bytes)>;
    using ExitHandler = std::function<void(int status)>;  // exit status, or the signal's number

    // Starts the tool under `reaper`, which puts `leftovers` right should this process end
    // before the job. On failure, an Error naming what could not be used ("/opt/nowhere/node:
    // No such file or directory").
    static Result<std::shared_ptr<ChildProcess>> start(const std::shared_ptr<JobReaper>& reaper,
                                                       const std::string& program, const std::vector<std::string>& argv,
                                                       const std::string& workingDir,
                                                       const JobLeftovers& leftovers = {});
    ChildProcess(asio::io_context& context, std::weak_ptr<JobReaper> reaper, int outFd, int errFd);
    ~ChildProcess();  // a tool still running is stopped at once
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts reading. `onOutput` gets each piece as it is read (at most `readSize` bytes);
    // `onExit` runs once, when both pipes have ended (or were closed by stop) and the tool and
    // all it started have ended. Both run on the queue, never from inside a call of this class.
    void watch(std::size_t readSize, OutputHandler onOutput, ExitHandler onExit);

    // Stops reading the pipes, so that the child blocks once they are full; and goes on.
    void pause();
    void resume();

    // SIGTERM to the tool and everything it started, and our pipe ends closed at once; SIGKILL
    // `grace` later for whatever is left. onExit follows once all of it has ended.
    void stop(std::chrono::milliseconds grace);

    // The same, waiting on the calling thread: returns once all of it has ended, at most `grace`
    // after the SIGTERM (plus the SIGKILL's own short delay). onExit is not called.
    void stopAndWait(std::chrono::milliseconds grace);

    pid_t pid() const { return pid_; }

private:
    void schedule(int stream);
    void readSome(int stream);
    void closePipe(int stream);
    void ended(int status);
    void finishIfDone();

    asio::io_context& context_;
    std::weak_ptr<JobReaper> reaper_;
    pid_t pid_ = -1;
    std::array<asio::posix::stream_descriptor, 2> pipes_;
    std::array<bool, 2> busy_{false, false};  // a read is posted or a wait armed
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
