#pragma once

// The floor the benchmarks hold the bridge's way of running a tool against: the plainest way to
// run a child and drain its output, with nothing of ours in it.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace nerix::support {

// Two pipes, posix_spawn, poll both until end of file (reads of at most 1 MiB, standard output's
// pipe enlarged to `pipeSize` when given), waitpid. `onOut`, when given, sees what arrives on
// standard output; the rest is dropped. Returns the exit status, or -1 when the child could not
// start or was ended by a signal.
inline int bareSpawn(const std::vector<std::string>& argv, int pipeSize = 0,
                     const std::function<void(const char*, std::size_t)>& onOut = {}) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return -1;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]), ::close(out[1]);
        return -1;
    }
    if (pipeSize > 0) ::fcntl(out[0], F_SETPIPE_SZ, pipeSize);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = -1;
    int error = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (error != 0) {
        ::close(out[0]), ::close(err[0]);
        return -1;
    }
    static char buffer[1024 * 1024];
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    for (int open = 2; open > 0;) {
        if (::poll(fds, 2, -1) < 0) continue;
        for (auto& fd : fds) {
            if (fd.fd < 0 || fd.revents == 0) continue;
            ssize_t n = ::read(fd.fd, buffer, sizeof buffer);
            if (n > 0 && fd.fd == out[0] && onOut) onOut(buffer, static_cast<std::size_t>(n));
            if (n <= 0 && !(n < 0 && errno == EINTR)) {
                ::close(fd.fd);
                fd.fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace nerix::support
