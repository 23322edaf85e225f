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

// Chunks of collected output start small, so a child that prints a line costs little, and
// double up to a cap, so that a huge output costs few mappings and a bounded slack.
constexpr std::size_t kFirstChunk = 64 * 1024;
constexpr std::size_t kLargestChunk = 16 * 1024 * 1024;
// Regions at least this large ask for transparent huge pages: far fewer page faults.
constexpr std::size_t kHugePage = 2 * 1024 * 1024;

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
    auto begin = (reinterpret_cast<std::uintptr_t>(start) + kHugePage - 1) & ~(kHugePage - 1);
    auto end = (reinterpret_cast<std::uintptr_t>(start) + size) & ~(kHugePage - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// One output stream, held in anonymous mappings while the child runs. Assembling the final
// text releases each chunk as soon as it is copied, so the peak stays near one copy of the
// output plus one chunk, where a doubling string holds two copies while it grows.
class StreamBuffer {
public:
    StreamBuffer() = default;
    ~StreamBuffer() {
        for (auto& chunk : chunks_) ::munmap(chunk.data, chunk.capacity);
    }
    StreamBuffer(const StreamBuffer&) = delete;
    StreamBuffer& operator=(const StreamBuffer&) = delete;

    // Where the next read goes. After memory ran out, a scratch area whose bytes are dropped:
    // the pipe must still be drained or the child would stall.
    char* room(std::size_t& size) {
        if (!lost_ && (chunks_.empty() || chunks_.back().used == chunks_.back().capacity)) addChunk();
        if (lost_) {
            static thread_local char scratch[64 * 1024];
            size = sizeof scratch;
            return scratch;
        }
        auto& chunk = chunks_.back();
        size = chunk.capacity - chunk.used;
        return chunk.data + chunk.used;
    }

    void commit(std::size_t size) {
        if (lost_) return;
        chunks_.back().used += size;
        total_ += size;
    }

    // The whole stream as one string, or empty when it could not be held in full: a cut-short
    // text must never pass for the child's output.
    std::string take() {
        std::string text;
        if (lost_ || total_ == 0) return text;
        try {
            text.reserve(total_);
        } catch (const std::bad_alloc&) {
            return text;
        }
        adviseHugePages(text.data(), total_);
        for (auto& chunk : chunks_) {
            text.append(chunk.data, chunk.used);
            ::munmap(chunk.data, chunk.capacity);
        }
        chunks_.clear();
        return text;
    }

private:
    struct Chunk {
        char* data;
        std::size_t capacity;
        std::size_t used;
    };

    void addChunk() {
        std::size_t capacity = chunks_.empty() ? kFirstChunk : std::min(chunks_.back().capacity * 2, kLargestChunk);
        void* data = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (data == MAP_FAILED) {
            lost_ = true;
            return;
        }
        adviseHugePages(data, capacity);
        try {
            chunks_.push_back({static_cast<char*>(data), capacity, 0});
        } catch (const std::bad_alloc&) {
            ::munmap(data, capacity);
            lost_ = true;
        }
    }

    std::vector<Chunk> chunks_;
    std::size_t total_ = 0;
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
void drain(int outFd, int errFd, StreamBuffer& out, StreamBuffer& err) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    StreamBuffer* sinks[2] = {&out, &err};
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
                          const std::string& workingDir) {
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
    drain(outRead.get(), errRead.get(), out, err);
    outRead.reset();
    errRead.reset();
    outcome.status = waitForChild(pid);
    outcome.out = out.take();
    outcome.err = err.take();
    return outcome;
}

}  // namespace nerix::platform
