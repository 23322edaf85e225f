// vantorel-reaper GRACE_MS
//
// Started by the bridge (JobReaper), once, with the reaper's end of their socket pair on
// descriptor 3. It starts each job's tool on request as its own child and is the child subreaper
// of everything the tool starts: a process whose parent ends, also one that left the tool's
// process group or session, becomes its child instead of init's. So a job's whole tree stays
// below it and ends with the job, SIGTERM first and SIGKILL after the grace:
//   - on a stop request (the requester left, or the bridge stops);
//   - when the tool ends: the job is over, what it left running goes too (its pipes close and
//     the answer goes out);
//   - when the bridge ends, however it ends: its end of the socket closes (GRACE_MS applies);
//     then the job's files are put right as the bridge would have (a kept file back in its
//     place, the temporary files removed).
// The tool's end is reported only once nothing of its tree is left, so that one job's tree
// never overlaps the next one's.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/posix/process.h"
#include "platform/posix/reaper_protocol.h"

namespace {

using namespace nerix::platform;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Once SIGKILL is due, what is left is looked for again this often: a process may fork between
// one look and the kill.
constexpr milliseconds kSweep{20};

// Every process below this one. /proc gives each process's parent; a process whose parent ended
// is already this one's child, so the tree has no gaps.
std::vector<pid_t> descendants() {
    std::vector<std::pair<pid_t, pid_t>> parents;
    if (DIR* proc = ::opendir("/proc")) {
        while (dirent* entry = ::readdir(proc)) {
            char* end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (pid <= 0 || *end != '\0') continue;
            char path[64], stat[512];
            std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
            int fd = ::open(path, O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;  // ended meanwhile
            ssize_t n = ::read(fd, stat, sizeof stat - 1);
            ::close(fd);
            if (n <= 0) continue;
            stat[n] = '\0';
            // "pid (name) state ppid ...": the name may hold spaces and parentheses.
            const char* close = std::strrchr(stat, ')');
            char state = 0;
            int parent = 0;
            if (close && std::sscanf(close + 1, " %c %d", &state, &parent) == 2)
                parents.emplace_back(static_cast<pid_t>(pid), static_cast<pid_t>(parent));
        }
        ::closedir(proc);
    }
    std::unordered_set<pid_t> below{::getpid()};
    std::vector<pid_t> found;
    // A child may be listed before its parent: go round until nothing is added.
    for (bool grew = true; grew;) {
        grew = false;
        for (const auto& [pid, parent] : parents) {
            if (below.contains(parent) && below.insert(pid).second) {
                found.push_back(pid);
                grew = true;
            }
        }
    }
    return found;
}

class Reaper {
public:
    Reaper(int control, int signals, milliseconds grace) : control_(control), signals_(signals), grace_(grace) {}

    int run() {
        for (;;) {
            const bool children = reapChildren();
            if (tool_ != 0 && toolEnded_) {
                if (!children) {
                    reply(reaper::Reply::Ended, tool_, toolStatus_);
                    // Heard: the bridge puts the job's files right itself.
                    if (control_ >= 0) dropLeftovers();
                    tool_ = 0;
                } else if (!killAt_) {
                    stopAll(grace_);  // the job is over: what the tool left running goes too
                }
            }
            if (!children) killAt_.reset();
            if (leaving_ && !children) {
                settleLeftovers();
                return 0;
            }
            if (killAt_ && Clock::now() >= *killAt_) {
                for (pid_t pid : descendants()) ::kill(pid, SIGKILL);
                killAt_ = Clock::now() + kSweep;
            }
            wait();
        }
    }

private:
    // The bridge ended before the job: its files as the bridge would have left them.
    void settleLeftovers() {
        for (const auto& [from, to] : leftovers_.moves) ::rename(from.c_str(), to.c_str());
        for (const auto& path : leftovers_.removals) ::unlink(path.c_str());
        dropLeftovers();
    }

    void dropLeftovers() {
        leftovers_ = {};
        if (held_ >= 0) ::close(held_);
        held_ = -1;
    }

    // Reaps every child that has ended; true while any is left.
    bool reapChildren() {
        for (;;) {
            int status = 0;
            pid_t pid = ::waitpid(-1, &status, WNOHANG);
            if (pid > 0) {
                if (pid == tool_) {
                    toolEnded_ = true;
                    toolStatus_ = exitStatus(status);
                }
                continue;
            }
            if (pid < 0 && errno == EINTR) continue;
            return pid == 0;
        }
    }

    // SIGTERM (and SIGCONT, so that a stopped process sees it) to every descendant now; SIGKILL
    // to whatever is left `grace` later, unless that was due sooner already.
    void stopAll(milliseconds grace) {
        for (pid_t pid : descendants()) {
            ::kill(pid, SIGTERM);
            ::kill(pid, SIGCONT);
        }
        const auto due = Clock::now() + grace;
        if (!killAt_ || due < *killAt_) killAt_ = due;
    }

    // The bridge has gone or asked us to: its tools go, then so do we.
    void leave() {
        if (leaving_) return;
        leaving_ = true;
        if (control_ >= 0) ::close(control_);
        control_ = -1;
        stopAll(grace_);
    }

    void wait() {
        pollfd fds[2] = {{signals_, POLLIN, 0}, {control_, POLLIN, 0}};
        int timeout = -1;
        if (killAt_) {
            auto left = std::chrono::ceil<milliseconds>(*killAt_ - Clock::now()).count();
            timeout = static_cast<int>(std::clamp<long long>(left, 0, 60'000));
        }
        if (::poll(fds, control_ >= 0 ? 2 : 1, timeout) <= 0) return;
        if (fds[0].revents) {
            signalfd_siginfo info;
            while (::read(signals_, &info, sizeof info) == sizeof info) {
                if (info.ssi_signo != SIGCHLD) leave();  // SIGTERM, SIGINT, SIGHUP: also the bridge's end
            }
        }
        if (control_ >= 0 && fds[1].revents) readRequest();
    }

    void readRequest() {
        reaper::Request request{};
        alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
        iovec parts[2] = {{&request, sizeof request}, {inlinePlan_.data(), inlinePlan_.size()}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = 2;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = ::recvmsg(control_, &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        std::vector<int> fds;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
            const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                fds.push_back(fd);
            }
        }
        const bool whole = n >= static_cast<ssize_t>(sizeof request) && (message.msg_flags & MSG_TRUNC) == 0 &&
                           static_cast<std::size_t>(n) == sizeof request + request.planBytes;
        // The plan's file, when it did not come inline, then the tool's 1 and 2, maybe one to hold.
        const std::size_t planFiles = request.planBytes == 0 ? 1 : 0;
        if (n <= 0) {
            leave();  // the end of the bridge
        } else if (whole && request.kind == reaper::Request::Start &&
                   (fds.size() == planFiles + 2 || fds.size() == planFiles + 3)) {
            auto plan =
                request.planBytes > 0 ? std::string_view(inlinePlan_.data(), request.planBytes) : mapped(fds[0]);
            if (start(request, plan, fds[planFiles], fds[planFiles + 1]) && fds.size() == planFiles + 3) {
                held_ = fds.back();
                fds.pop_back();
            }
            if (planFiles > 0 && plan.data()) ::munmap(const_cast<char*>(plan.data()), plan.size());
        } else if (whole && request.kind == reaper::Request::Stop) {
            if (request.pid == tool_ && tool_ != 0) stopAll(milliseconds(std::max<std::int64_t>(0, request.graceMs)));
        }
        for (int fd : fds) ::close(fd);
    }

    // A plan that came as a memory file, mapped; empty when it could not be.
    static std::string_view mapped(int planFd) {
        struct stat info {};
        if (::fstat(planFd, &info) != 0 || info.st_size <= 0) return {};
        const auto size = static_cast<std::size_t>(info.st_size);
        void* at = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, planFd, 0);
        return at == MAP_FAILED ? std::string_view() : std::string_view(static_cast<const char*>(at), size);
    }

    bool start(const reaper::Request& request, std::string_view planText, int outFd, int errFd) {
        if (tool_ != 0) {
            notStarted(EBUSY, "the last job's tool has not ended yet");
            return false;
        }
        Leftovers leftovers;
        auto plan = readPlan(request, planText, leftovers);
        if (!plan) {
            notStarted(plan.error().code, plan.error().message);
            return false;
        }
        plan->descriptors = {{outFd, STDOUT_FILENO}, {errFd, STDERR_FILENO}};
        auto pid = spawn(*plan);
        if (!pid) {
            notStarted(pid.error().code, pid.error().message);
            return false;
        }
        tool_ = *pid;
        toolEnded_ = false;
        dropLeftovers();
        leftovers_ = std::move(leftovers);
        reply(reaper::Reply::Started, tool_, 0);
        return true;
    }

    struct Leftovers {
        std::vector<std::pair<std::string, std::string>> moves;
        std::vector<std::string> removals;
    };

    static nerix::Result<SpawnPlan> readPlan(const reaper::Request& request, std::string_view text,
                                             Leftovers& leftovers) {
        if (text.empty()) return nerix::fail("the job's plan is empty", EINVAL);
        const char* at = text.data();
        const char* end = at + text.size();
        auto next = [&](std::string& item) {
            const char* nul = static_cast<const char*>(std::memchr(at, '\0', static_cast<std::size_t>(end - at)));
            if (!nul) return false;
            item.assign(at, nul);
            at = nul + 1;
            return true;
        };
        SpawnPlan plan;
        plan.ownProcessGroup = true;
        // The tool goes with us, whatever ends us (what it started is another matter).
        plan.parentDeathSignal = SIGKILL;
        plan.signalsAtDefault = true;  // main() saw to it
        plan.argv.resize(request.argc);
        plan.environment.emplace(request.envc);
        bool whole = next(plan.program) && next(plan.workingDir);
        for (auto& arg : plan.argv) whole = whole && next(arg);
        for (auto& entry : *plan.environment) whole = whole && next(entry);
        leftovers.moves.resize(request.movec);
        leftovers.removals.resize(request.removec);
        for (auto& [from, to] : leftovers.moves) whole = whole && next(from) && next(to);
        for (auto& path : leftovers.removals) whole = whole && next(path);
        if (!whole || plan.argv.empty()) return nerix::fail("the job's plan is cut short", EINVAL);
        return plan;
    }

    void notStarted(int error, const std::string& what) { reply(reaper::Reply::NotStarted, 0, error, what); }

    void reply(reaper::Reply::Kind kind, pid_t pid, int value, const std::string& text = {}) {
        if (control_ < 0) return;
        std::string datagram(sizeof(reaper::Reply), '\0');
        const reaper::Reply record{kind, pid, value};
        std::memcpy(datagram.data(), &record, sizeof record);
        datagram += text.substr(0, reaper::kLongestReply - sizeof record);
        if (::send(control_, datagram.data(), datagram.size(), MSG_NOSIGNAL) < 0 && errno != EINTR) leave();
    }

    int control_;
    int signals_;
    milliseconds grace_;
    pid_t tool_ = 0;
    bool toolEnded_ = false;
    int toolStatus_ = 0;
    std::optional<Clock::time_point> killAt_;
    bool leaving_ = false;
    Leftovers leftovers_;  // the running job's, until the bridge has heard of its end
    int held_ = -1;        // the running job's held descriptor
    std::vector<char> inlinePlan_ = std::vector<char>(reaper::kLongestInlinePlan);
};

}  // namespace

int main(int argc, char** argv) {
    char* end = nullptr;
    const long grace = argc == 2 ? std::strtol(argv[1], &end, 10) : -1;
    int type = 0;
    socklen_t length = sizeof type;
    if (grace < 0 || *end != '\0' ||
        ::getsockopt(reaper::kControlDescriptor, SOL_SOCKET, SO_TYPE, &type, &length) != 0) {
        std::fputs("usage: vantorel-reaper GRACE_MS, started by the bridge with its socket on descriptor 3\n", stderr);
        return 2;
    }
    // Not to be inherited by a tool.
    ::fcntl(reaper::kControlDescriptor, F_SETFD, FD_CLOEXEC);
    // Whatever this process opens from now on lands above 2, so that handing a tool its pipes on
    // 1 and 2 never overwrites one of them, however the bridge was started.
    for (int fd = 0; fd <= STDERR_FILENO; ++fd)
        if (::fcntl(fd, F_GETFD) < 0) ::open("/dev/null", O_RDWR);
    // Every orphan below us becomes our child, so nothing a tool starts can slip away.
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        std::perror("vantorel-reaper: PR_SET_CHILD_SUBREAPER");
        return 1;
    }
    // A signal the bridge's host ignored stays ignored across exec; none is to be for a tool.
    // Once here rather than in each child: this process neither handles nor ignores any.
    defaultEverySignalAction();
    // Children's ends, and a request to go, arrive as readable events; the tools get an empty
    // mask from spawn() whatever ours is.
    sigset_t handled;
    sigemptyset(&handled);
    for (int signal : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&handled, signal);
    ::sigprocmask(SIG_BLOCK, &handled, nullptr);
    int signals = ::signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signals < 0) {
        std::perror("vantorel-reaper: signalfd");
        return 1;
    }
    return Reaper(reaper::kControlDescriptor, signals, milliseconds(grace)).run();
}
