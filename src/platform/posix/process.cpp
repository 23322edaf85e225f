#include "platform/posix/process.h"

#include "platform/posix/unique_fd.h"

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
Result<void> makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return failSystem("pipe for the tool's output", errno);
    readEnd.reset(aboveStandardDescriptors(fds[0]));
    writeEnd.reset(aboveStandardDescriptors(fds[1]));
    if (!readEnd || !writeEnd) return failSystem("pipe for the tool's output", errno ? errno : EMFILE);
    // A large pipe lets the child write in big strides and wakes us far less often. Failing
    // to enlarge it only costs speed.
    ::fcntl(readEnd.get(), F_SETPIPE_SZ, pipeMaxSize());
    int flags = ::fcntl(readEnd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(readEnd.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        return failSystem("pipe for the tool's output", errno);
    return {};
}

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
    bool signalsAtDefault;
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

// Every signal to its default action, those the C library keeps for itself included; plain
// system calls, safe in the child.
__attribute__((no_sanitize("address", "thread", "undefined"))) void defaultSignalActions() {
    const KernelSigaction byDefault{SIG_DFL, 0, nullptr, 0};
    for (int signal = 1; signal < 65; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP)
            ::syscall(SYS_rt_sigaction, signal, &byDefault, nullptr, sizeof(std::uint64_t));
    }
}

// Runs in the child, on a stack of its own, sharing the parent's memory until the exec: only
// plain system calls, never the C library's wrappers that a sanitizer may have replaced, and no
// sanitizer instrumentation of its own.
__attribute__((no_sanitize("address", "thread", "undefined"))) int childMain(void* argument) {
    auto* setup = static_cast<ChildSetup*>(argument);
    // Every signal to its default action, whatever this process had ignored or handled.
    if (!setup->signalsAtDefault) defaultSignalActions();
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
                     plan.signalsAtDefault,
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
    NERIX_TRY(makePipe(readEnd, writeEnd));
    return OutputPipe{readEnd.release(), writeEnd.release()};
}

void defaultEverySignalAction() { defaultSignalActions(); }

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

}  // namespace nerix::platform
