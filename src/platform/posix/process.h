#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace nerix::platform {

// A child started with descriptors 1 and 2 on pipes of its own, in a process group of its own
// (its pid is the group's id), asking the kernel to kill it when the thread that started it
// ends: start children only from a thread that lives as long as their owner. It gets none of
// this process's other descriptors, an empty signal mask and the default action for every
// signal, whatever the calling thread had; standard input and the environment are inherited.
struct StartedChild {
    int startError = 0;  // errno of a failed start (pipes, clone, chdir, exec); 0 once it runs
    pid_t pid = -1;
    int outFd = -1;  // the read ends, ours to close: non-blocking, close-on-exec
    int errFd = -1;
};

// Starts `program` (a path, never looked up on the PATH) with the argument vector `argv`
// (argv[0] included) in the folder `workingDir`.
StartedChild startChild(const std::string& program, const std::vector<std::string>& argv,
                        const std::string& workingDir);

// Gives SIGCHLD its default action if this process was started with it ignored (the ignored
// disposition is inherited across exec): the kernel would then reap every child at once and
// discard its exit status.
void keepChildExitStatuses();

// Waits for a child and returns its exit status, or the number of the signal that ended it.
int waitForChild(pid_t pid);
// The same, from a wait status.
int exitStatus(int waitStatus);

}  // namespace nerix::platform
