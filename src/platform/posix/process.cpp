#include "platform/posix/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
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
constexpr std::uintptr_t alignDown(std::uintptr_t address, std::size_t alignment) {
    return address & ~(alignment - 1);
}

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
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
            } catch (const std::bad_alloc&) {
            }
        } else {
            // When the system will not promise that much address space, a smaller step.
            for (std::size_t growth = kLargeGrowth; growth >= 2; growth /= 2) {
                try {
                    moveTo(capacity * growth);
                    return;
                } catch (const std::bad_alloc&) {
                }
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

// Starts the child. Returns 0 and sets `pid`, or the errno of the failure: glibc reports a
// failed chdir or exec in the child as posix_spawn's own result.
int spawnChild(const std::string& program, const std::vector<std::string>& argv, const std::string& workingDir,
               int outFd, int errFd, pid_t& pid) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (int error = ::posix_spawn_file_actions_init(&actions)) return error;
    posix_spawnattr_t attributes;
    if (int error = ::posix_spawnattr_init(&attributes)) {
        ::posix_spawn_file_actions_destroy(&actions);
        return error;
    }

    int error = ::posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    if (!error) error = ::posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    if (!error) error = ::posix_spawn_file_actions_addchdir_np(&actions, workingDir.c_str());
    // Every descriptor of ours is close-on-exec already; this is the second guard, for one
    // that a library opened without the flag.
    if (!error) error = ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    // The calling thread may block signals (the bridge's queue thread blocks the stop
    // signals) and the process may ignore some: the child starts clean of both.
    sigset_t noSignals;
    sigset_t allSignals;
    sigemptyset(&noSignals);
    sigfillset(&allSignals);
    if (!error) error = ::posix_spawnattr_setsigmask(&attributes, &noSignals);
    if (!error) error = ::posix_spawnattr_setsigdefault(&attributes, &allSignals);
    if (!error) error = ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    if (!error) error = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, args.data(), environ);

    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    return error;
}

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

int waitForChild(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFSIGNALED(status)) return WTERMSIG(status);
    return WEXITSTATUS(status);
}

}  // namespace

ProcessOutcome runProcess(const std::string& program, const std::vector<std::string>& argv,
                          const std::string& workingDir, const StreamWatcher& watchOut,
                          const StreamWatcher& watchErr) {
    ProcessOutcome outcome;
    UniqueFd outRead, outWrite, errRead, errWrite;
    if (int error = makePipe(outRead, outWrite)) {
        outcome.startError = error;
        return outcome;
    }
    if (int error = makePipe(errRead, errWrite)) {
        outcome.startError = error;
        return outcome;
    }

    pid_t pid = -1;
    if (int error = spawnChild(program, argv, workingDir, outWrite.get(), errWrite.get(), pid)) {
        outcome.startError = error;
        return outcome;
    }
    // Only the child may hold the write ends now, so end of file means the child (and
    // whatever it left running with them) has closed them.
    outWrite.reset();
    errWrite.reset();

    StreamBuffer out;
    StreamBuffer err;
    drain(outRead.get(), errRead.get(), out, err, watchOut, watchErr);
    outRead.reset();
    errRead.reset();
    outcome.status = waitForChild(pid);
    outcome.out = out.take();
    outcome.err = err.take();
    return outcome;
}

}  // namespace nerix::platform
