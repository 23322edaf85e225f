#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include "base/result.h"

namespace nerix::platform {

// The bridge's side of its reaper: a small program of ours (vantorel-reaper) between the bridge
// and the tools, started with the first job and kept as long as this object, that starts each
// tool as its own child and stays the subreaper of everything the tool starts. Whatever a tool
// leaves behind, even a process that left its process group or session, ends with its job: when
// the job is stopped, when the tool itself ends, and when this process ends however it ends
// (SIGKILL included: the reaper sees its end of their socket close). Each time SIGTERM comes
// first and SIGKILL after the grace.
//
// Lives on the bridge's queue: every call runs on the queue thread, and the reaper is started
// from it. Held by a shared_ptr; the children hold it weakly.
// What the reaper does with a job's files should this process end before the job: each pair's
// first path renamed to its second, then each path in `remove` removed, once the job's
// processes have gone. `hold` (when not -1) is a descriptor the reaper keeps open until then.
struct JobLeftovers {
    std::vector<std::pair<std::string, std::string>> moveBack;
    std::vector<std::string> remove;
    int hold = -1;
};

class JobReaper : public std::enable_shared_from_this<JobReaper> {
public:
    using EndHandler = std::function<void(int status)>;

    // `grace`: what the job's processes get between SIGTERM and SIGKILL when this process ends
    // without stopping them first.
    JobReaper(asio::io_context& context, std::chrono::milliseconds grace);
    // The reaper stops whatever is left and ends; waits for it.
    ~JobReaper();
    JobReaper(const JobReaper&) = delete;
    JobReaper& operator=(const JobReaper&) = delete;

    // Starts `program` (a path, never looked up on the PATH) with `argv` (argv[0] included) in
    // `workingDir`, with this process's environment as it is now and its descriptors 1 and 2 on
    // copies of `outFd` and `errFd`, in a process group of its own. Returns its pid once it runs,
    // or an Error naming what could not be used. `onEnded` runs on the queue, never from inside
    // a call of this class, once the tool and everything it started have ended: with the tool's
    // exit status or the number of the signal that ended it (-1: the reaper was lost).
    Result<pid_t> start(const std::string& program, const std::vector<std::string>& argv, const std::string& workingDir,
                        int outFd, int errFd, EndHandler onEnded, const JobLeftovers& leftovers = {});

    // Stops `tool` and everything it started: SIGTERM now, SIGKILL `grace` later. Its onEnded follows.
    void stop(pid_t tool, std::chrono::milliseconds grace);

    // Waits on the calling thread until `tool` and its tree have ended, for at most `deadline`, and
    // returns the tool's status (its onEnded is dropped); an Error when the deadline passed.
    Result<int> waitForEnd(pid_t tool, std::chrono::milliseconds deadline);

    asio::io_context& context() { return context_; }

    // Where the reaper program is: <folder of this executable>/../libexec/vantorel/vantorel-reaper.
    static const std::string& program();

private:
    struct Message;
    using Clock = std::chrono::steady_clock;

    Result<void> ensureRunning();
    Result<pid_t> awaitStarted(EndHandler onEnded);
    std::optional<Message> receive(Clock::time_point until);
    void dispatch(const Message& message);
    void watch();
    void lost();

    asio::io_context& context_;
    std::chrono::milliseconds grace_;
    asio::posix::stream_descriptor socket_;
    pid_t reaper_ = -1;
    std::vector<pid_t> retired_;  // reapers that were lost and are not reaped yet
    std::map<pid_t, EndHandler> running_;
    bool watching_ = false;
};

}  // namespace nerix::platform
