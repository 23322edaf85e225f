#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace nerix::platform {

// What one run of a child process left behind.
struct ProcessOutcome {
    int startError = 0;  // errno of a failed start (fork, exec, chdir, pipes); 0 once the child ran
    int status = 0;      // exit status, or the number of the signal that ended the child
    std::string out;     // every byte the child wrote to descriptor 1
    std::string err;     // every byte the child wrote to descriptor 2
};

// Sees a stream after each read that added to it: everything so far, the newest bytes still
// in the cache. The place for a check that would otherwise read the whole output once more.
using StreamWatcher = std::function<void(std::string_view soFar)>;

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

// Starts `program` (a path, never looked up on the PATH) with the argument vector `argv`
// (argv[0] included) in the folder `workingDir`, with descriptors 1 and 2 on pipes of their
// own, as startChild does. Collects both streams until each reaches end of file, then waits for
// the child. Blocks the calling thread throughout.
// `watchOut` and `watchErr`, when given, see each stream as it grows; a stream that could not
// be held in full (memory ran out) is not watched further and comes back empty.
ProcessOutcome runProcess(const std::string& program, const std::vector<std::string>& argv,
                          const std::string& workingDir, const StreamWatcher& watchOut = {},
                          const StreamWatcher& watchErr = {});

}  // namespace nerix::platform
