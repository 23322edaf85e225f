#include "platform/posix/program_output.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <utility>

#include "platform/posix/process.h"
#include "platform/posix/unique_fd.h"

namespace nerix::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Starts the program with its output on a pipe of ours: the read end, and its pid.
Result<std::pair<UniqueFd, pid_t>> start(const std::vector<std::string>& argv) {
    NERIX_TRY_ASSIGN(OutputPipe out, makeOutputPipe());
    UniqueFd readEnd(out.readEnd), writeEnd(out.writeEnd);
    // Above 2, so that handing it to the child's 0 never overwrites what goes to its 1.
    const UniqueFd opened(::open("/dev/null", O_RDWR | O_CLOEXEC));
    const UniqueFd nothing(opened ? ::fcntl(opened.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1) : -1);
    if (!nothing) return failSystem("/dev/null", errno);
    NERIX_TRY_ASSIGN(pid_t pid, spawn(SpawnPlan{.program = argv.front(),
                                                .argv = argv,
                                                .environment = std::nullopt,
                                                .workingDir = {},
                                                .descriptors = {{nothing.get(), STDIN_FILENO},
                                                                {writeEnd.get(), STDOUT_FILENO},
                                                                {nothing.get(), STDERR_FILENO}},
                                                .ownProcessGroup = true,
                                                .parentDeathSignal = SIGKILL}));
    return std::pair{std::move(readEnd), pid};
}

// What `fd` gives until its end; false when `deadline` passes first or the read fails.
bool readToEnd(int fd, Clock::time_point deadline, std::string& output) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd watched{fd, POLLIN, 0};
        if (::poll(&watched, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) output.append(buffer, static_cast<std::size_t>(n));
        if (n == 0) return true;
        if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
    }
}

// Whether the child has ended by `deadline`, leaving it unreaped: its pid, and so its group's
// id, stays its own until it is.
bool endsBy(pid_t pid, Clock::time_point deadline) {
    for (auto pause = std::chrono::milliseconds(1);; pause = std::min(pause * 2, std::chrono::milliseconds(20))) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(pause);
    }
}

}  // namespace

Result<std::string> programOutput(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
    if (argv.empty()) return fail("no program to run", EINVAL);
    const auto deadline = Clock::now() + limit;
    NERIX_TRY_ASSIGN(auto started, start(argv));
    auto& [out, pid] = started;
    std::string output;
    const bool whole = readToEnd(out.get(), deadline, output);
    out.reset();
    const bool ended = whole && endsBy(pid, deadline);
    // Whatever is left of its group ends now, the program too if it was cut off.
    ::kill(-pid, SIGKILL);
    const int status = waitForChild(pid);
    if (!ended) return fail(argv.front() + ": no answer within " + std::to_string(limit.count()) + " ms", ETIMEDOUT);
    if (status != 0) return fail(argv.front() + ": ended with status " + std::to_string(status));
    return output;
}

}  // namespace nerix::platform
