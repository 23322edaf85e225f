#include "platform/posix/process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <system_error>
#include <vector>

extern char** environ;

namespace nerix::platform {
namespace {

// A stream's buffer starts small, so a child that prints a line costs little (see
// StreamBuffer for how it grows).
constexpr std::size_t kFirstBuffer = 16 * 1024;
constexpr std::size_t kSmallOutput = 1024 * 1024;
constexpr std::size_t kLargeGrowth = 8;
// The most one read asks for: the size of an enlarged pipe.
constexpr std::size_t kReadWindow = 1024 * 1024;
// Regions at least this large ask for transparent huge pages: far fewer page faults.
constexpr std::size_t kHugePage = 2 * 1024 * 1024;
constexpr std::size_t kPage = 4096;

constexpr std::uintptr_t alignUp(std::uintptr_t address, std::size_t alignment) {
    return (address + alignment - 1) & ~(alignment - 1);
}
constexpr std::uintptr_t alignDown(std::uintptr_t address, std::size_t alignment) { return address & ~(alignment - 1); }

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

void adviseHugePages(void* start, std::size_t size) {
    if (size < 2 * kHugePage) return;
    auto begin = alignUp(reinterpret_cast<std::uintptr_t>(start), kHugePage);
    auto end = alignDown(reinterpret_cast<std::uintptr_t>(start) + size, kHugePage);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// One output stream, read straight into the string that is handed back. Small outputs double
// as usual. Past kSmallOutput the buffer grows eightfold at a time, so a large output is
// moved only a few times and most of it is copied once, from the pipe to its final place;
// and each move gives the old buffer back slice by slice as it is copied, so the peak stays
// near one copy of the output where a doubling string holds two while it moves. Reserved
// space costs nothing until touched: only the pages the output fills become resident.
class StreamBuffer {
public:
    // Where the next read goes, and how much it may take. After memory ran out, a scratch
    // area whose bytes are dropped: the pipe must still be drained or the child would stall.
    char* room(std::size_t& size) {
        if (!lost_ && text_.capacity() - length_ < kFirstBuffer) grow();
        if (lost_) {
            static thread_local char scratch[64 * 1024];
            size = sizeof scratch;
            return scratch;
        }
        // The string's size runs ahead of what it holds: growing it clears each byte once,
        // within the capacity, just before a read fills it while it is still in the cache.
        std::size_t cleared = std::min(length_ + kReadWindow, text_.capacity());
        if (text_.size() < cleared) text_.resize(cleared);
        size = text_.size() - length_;
        return text_.data() + length_;
    }

    // Keeps `size` bytes of what the last read put into the room.
    void commit(std::size_t size) {
        if (!lost_) length_ += size;
    }

    bool lost() const { return lost_; }
    std::string_view soFar() const { return std::string_view(text_.data(), lost_ ? 0 : length_); }

    // The whole stream, or empty when it could not be held in full: a cut-short text must
    // never pass for the child's output.
    std::string take() {
        if (lost_) return {};
        text_.resize(length_);
        return std::move(text_);
    }

private:
    void grow() {
        std::size_t capacity = text_.capacity();
        if (capacity < kSmallOutput) {
            try {
                text_.reserve(std::max(kFirstBuffer, capacity * 2));
                return;
            } catch (const std::bad_alloc&) {}
        } else {
            // When the system will not promise that much address space, a smaller step.
            for (std::size_t growth = kLargeGrowth; growth >= 2; growth /= 2) {
                try {
                    moveTo(capacity * growth);
                    return;
                } catch (const std::bad_alloc&) {}
            }
        }
        lost_ = true;
        length_ = 0;
        std::string().swap(text_);
    }

    // Only the reservation can fail, and it comes before anything changes.
    void moveTo(std::size_t capacity) {
        std::string next;
        next.reserve(capacity);
        adviseHugePages(next.data(), next.capacity());
        // Whole pages only, and never the first: the allocator keeps its own record just in
        // front of the string's bytes. The old buffer is only freed after this.
        auto released = alignUp(reinterpret_cast<std::uintptr_t>(text_.data()), kPage);
        for (std::size_t done = 0; done < length_;) {
            std::size_t slice = std::min(kHugePage, length_ - done);
            next.append(text_.data() + done, slice);
            done += slice;
            auto copied = alignDown(reinterpret_cast<std::uintptr_t>(text_.data()) + done, kHugePage);
            if (copied > released) {
                ::madvise(reinterpret_cast<void*>(released), copied - released, MADV_DONTNEED);
                released = copied;
            }
        }
        text_.swap(next);
    }

    std::string text_;
    std::size_t length_ = 0;
    bool lost_ = false;
};

// The largest pipe buffer an unprivileged process may ask for; read once.
int pipeMaxSize() {
    static const int size = [] {
        int value = 1024 * 1024;
        if (FILE* file = std::fopen("/proc/sys/fs/pipe-max-size", "re")) {
            if (std::fscanf(file, "%d", &value) != 1) value = 1024 * 1024;
            std::fclose(file);
        }
        return value;
    }();
    return size;
}

// Moves a descriptor to 3 or above, so that no pipe end sits on 0, 1 or 2 (when this process
// started with some of those closed) and a dup2 into the child's 1 or 2 can overwrite it.
int aboveStandardDescriptors(int fd) {
    if (fd > STDERR_FILENO) return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int error = errno;
    ::close(fd);
    errno = error;
    return moved;
}

// A pipe whose two ends close on exec. The read end (ours) does not block; the write end
// (the child's) stays blocking, as a program expects its standard streams to be.
int makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
    readEnd.reset(aboveStandardDescriptors(fds[0]));
    writeEnd.reset(aboveStandardDescriptors(fds[1]));
    if (readEnd.get() < 0 || writeEnd.get() < 0) return errno ? errno : EMFILE;
    // A large pipe lets the child write in big strides and wakes us far less often. Failing
    // to enlarge it only costs speed.
    ::fcntl(readEnd.get(), F_SETPIPE_SZ, pipeMaxSize());
    int flags = ::fcntl(readEnd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(readEnd.get(), F_SETFL, flags | O_NONBLOCK) != 0) return errno;
    return 0;
}

std::string systemText(int error) { return std::system_category().message(error); }

// The step between the clone and the exec that failed.
enum class FailedStep { None, WorkingFolder, Program };

// What the child needs between the clone and the exec, and where it leaves the step that failed
// and its errno. The child shares this memory with the suspended parent.
struct ChildSetup {
    const char* program;
    char* const* argv;
    char* const* envp;
    const char* workingDir;  // null: stay where we are
    const std::pair<int, int>* descriptors;
    std::size_t descriptorCount;
    int firstUnused;  // every descriptor from here up is closed
    bool ownProcessGroup;
    int parentDeathSignal;
    pid_t parent;
    FailedStep failed;
    int error;
};

// The kernel's own sigaction record (the C library's differs).
struct KernelSigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    std::uint64_t mask;
};

// Runs in the child, on a stack of its own, sharing the parent's memory until the exec: only
// plain system calls, never the C library's wrappers that a sanitizer may have replaced, and no
// sanitizer instrumentation of its own.
__attribute__((no_sanitize("address", "thread", "undefined"))) int childMain(void* argument) {
    auto* setup = static_cast<ChildSetup*>(argument);
    // Every signal to its default action, whatever this process had ignored or handled.
    const KernelSigaction byDefault{SIG_DFL, 0, nullptr, 0};
    for (int signal = 1; signal < 65; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP)
            ::syscall(SYS_rt_sigaction, signal, &byDefault, nullptr, sizeof(std::uint64_t));
    }
    if (setup->parentDeathSignal != 0) {
        // The kernel sends the signal when the thread that started the child ends. If the
        // parent is already gone, so is the reason to run.
        ::syscall(SYS_prctl, PR_SET_PDEATHSIG, setup->parentDeathSignal, 0, 0, 0);
        if (::syscall(SYS_getppid) != setup->parent) ::syscall(SYS_exit_group, 127);
    }
    // A process group of its own, so that a signal to the group reaches what it starts too.
    if (setup->ownProcessGroup) ::syscall(SYS_setpgid, 0, 0);
    long failed = setup->workingDir ? ::syscall(SYS_chdir, setup->workingDir) : 0;
    if (failed != 0) {
        setup->failed = FailedStep::WorkingFolder;
    } else {
        for (std::size_t i = 0; i < setup->descriptorCount && failed >= 0; ++i) {
            const auto [from, to] = setup->descriptors[i];
            // dup2 onto itself would keep close-on-exec.
            failed = from == to ? ::syscall(SYS_fcntl, from, F_SETFD, 0) : ::syscall(SYS_dup2, from, to);
        }
        if (failed >= 0) {
            // Every descriptor of ours is close-on-exec already; this is the second guard, for
            // one that a library opened without the flag. (Older kernels lack it: no harm.)
            ::syscall(SYS_close_range, setup->firstUnused, ~0U, 0);
            const std::uint64_t noSignals = 0;
            ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &noSignals, nullptr, sizeof noSignals);
            ::syscall(SYS_execve, setup->program, setup->argv, setup->envp);
        }
        setup->failed = FailedStep::Program;
    }
    setup->error = errno;
    ::syscall(SYS_exit_group, 127);
    return 127;
}

// The C library's own clone: a sanitizer's replacement assumes a child that copies memory, as
// after fork, where this one shares it until the exec.
using CloneFunction = int (*)(int (*)(void*), void*, int, void*, ...);
CloneFunction libcClone() {
    static const CloneFunction clone = [] {
        void* libc = ::dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
        void* found = libc ? ::dlsym(libc, "clone") : nullptr;
        return found ? reinterpret_cast<CloneFunction>(found) : &::clone;
    }();
    return clone;
}

constexpr std::size_t kChildStack = 64 * 1024;

std::vector<char*> pointersTo(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (const auto& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

Result<pid_t> spawn(const SpawnPlan& plan) {
    std::vector<char*> args = pointersTo(plan.argv);
    std::vector<char*> environment;
    if (plan.environment) environment = pointersTo(*plan.environment);
    auto stack = std::make_unique_for_overwrite<char[]>(kChildStack);
    int firstUnused = STDERR_FILENO + 1;
    for (const auto& descriptor : plan.descriptors) firstUnused = std::max(firstUnused, descriptor.second + 1);

    ChildSetup setup{plan.program.c_str(),
                     args.data(),
                     plan.environment ? environment.data() : environ,
                     plan.workingDir.empty() ? nullptr : plan.workingDir.c_str(),
                     plan.descriptors.data(),
                     plan.descriptors.size(),
                     firstUnused,
                     plan.ownProcessGroup,
                     plan.parentDeathSignal,
                     ::getpid(),
                     FailedStep::None,
                     0};
    // No handler of ours may run in the child while it shares our memory.
    sigset_t all, saved;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &saved);
    const int savedErrno = errno;
    // CLONE_VFORK: this thread waits until the child has called exec or ended.
    pid_t pid = libcClone()(childMain, stack.get() + kChildStack, CLONE_VM | CLONE_VFORK | SIGCHLD, &setup);
    const int cloneError = errno;
    errno = savedErrno;
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (pid < 0) return fail(plan.program + ": " + systemText(cloneError), cloneError);
    if (setup.failed == FailedStep::None) return pid;
    int ignored;
    while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {}
    if (setup.failed == FailedStep::WorkingFolder)
        return fail("working folder " + plan.workingDir + ": " + systemText(setup.error), setup.error);
    return fail(plan.program + ": " + systemText(setup.error), setup.error);
}

Result<OutputPipe> makeOutputPipe() {
    UniqueFd readEnd, writeEnd;
    if (int error = makePipe(readEnd, writeEnd)) return fail("pipe for the tool's output: " + systemText(error), error);
    return OutputPipe{readEnd.release(), writeEnd.release()};
}

namespace {

// Reads both pipes as data arrives until each reaches end of file.
void drain(int outFd, int errFd, StreamBuffer& out, StreamBuffer& err, const StreamWatcher& watchOut,
           const StreamWatcher& watchErr) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    StreamBuffer* sinks[2] = {&out, &err};
    const StreamWatcher* watchers[2] = {&watchOut, &watchErr};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == ENOMEM) continue;
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            // Take everything the pipe holds now, then wait again.
            for (;;) {
                std::size_t size = 0;
                char* room = sinks[i]->room(size);
                ssize_t n = ::read(fds[i].fd, room, size);
                if (n > 0) {
                    sinks[i]->commit(static_cast<std::size_t>(n));
                    if (*watchers[i] && !sinks[i]->lost()) (*watchers[i])(sinks[i]->soFar());
                    continue;
                }
                if (n < 0 && errno == EINTR) continue;
                if (n < 0 && errno == EAGAIN) break;
                fds[i].fd = -1;  // end of file, or a read error that will not go away
                --open;
                break;
            }
        }
    }
}

}  // namespace

void keepChildExitStatuses() {
    struct sigaction current {};
    if (::sigaction(SIGCHLD, nullptr, &current) != 0) return;
    if (current.sa_handler == SIG_IGN || (current.sa_flags & SA_NOCLDWAIT)) {
        struct sigaction byDefault {};
        byDefault.sa_handler = SIG_DFL;
        ::sigaction(SIGCHLD, &byDefault, nullptr);
    }
}

int waitForChild(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return exitStatus(status);
}

int exitStatus(int waitStatus) {
    if (WIFSIGNALED(waitStatus)) return WTERMSIG(waitStatus);
    return WEXITSTATUS(waitStatus);
}

Result<StartedChild> startChild(const std::string& program, const std::vector<std::string>& argv,
                                const std::string& workingDir) {
    auto out = makeOutputPipe();
    if (!out) return fail(out.error());
    UniqueFd outRead(out->readEnd), outWrite(out->writeEnd);
    auto err = makeOutputPipe();
    if (!err) return fail(err.error());
    UniqueFd errRead(err->readEnd), errWrite(err->writeEnd);
    auto pid = spawn(SpawnPlan{.program = program,
                               .argv = argv,
                               .environment = std::nullopt,
                               .workingDir = workingDir,
                               .descriptors = {{outWrite.get(), STDOUT_FILENO}, {errWrite.get(), STDERR_FILENO}},
                               .ownProcessGroup = true,
                               .parentDeathSignal = SIGKILL});
    if (!pid) return fail(pid.error());
    // Only the child may hold the write ends now, so end of file means the child (and
    // whatever it left running with them) has closed them.
    return StartedChild{*pid, outRead.release(), errRead.release()};
}

ProcessOutcome runProcess(const std::string& program, const std::vector<std::string>& argv,
                          const std::string& workingDir, const StreamWatcher& watchOut, const StreamWatcher& watchErr) {
    ProcessOutcome outcome;
    auto child = startChild(program, argv, workingDir);
    if (!child) {
        outcome.startError = child.error().code;
        return outcome;
    }
    UniqueFd outRead(child->outFd), errRead(child->errFd);
    StreamBuffer out;
    StreamBuffer err;
    drain(outRead.get(), errRead.get(), out, err, watchOut, watchErr);
    outRead.reset();
    errRead.reset();
    outcome.status = waitForChild(child->pid);
    outcome.out = out.take();
    outcome.err = err.take();
    return outcome;
}

}  // namespace nerix::platform
