#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/result.h"

namespace nerix::platform {

// How to start a process. It gets an empty signal mask and the default action for every signal,
// whatever the calling thread had, and none of this process's descriptors above 2 but those
// `descriptors` names.
struct SpawnPlan {
    std::string program;            // a path, never looked up on the PATH
    std::vector<std::string> argv;  // argv[0] included
    // "NAME=value" entries; none: this process's own environment, as it is at the start.
    std::optional<std::vector<std::string>> environment;
    std::string workingDir;                        // empty: this process's own
    std::vector<std::pair<int, int>> descriptors;  // each first becomes the child's second
    bool ownProcessGroup = true;                   // its pid becomes its process group's id
    // Sent to the child when the thread that started it ends (0: none), so that it never
    // outlives its starter however that ends: start children only from a thread that lives as
    // long as their owner.
    int parentDeathSignal = 0;
    // True when this process has every signal at its default action (see
    // defaultEverySignalAction) and keeps it so: the child then need not set each one itself.
    bool signalsAtDefault = false;
};

// Starts the process and returns its pid once it runs the program. A start that fails (the
// working folder, the program, the system's limits) is an Error naming what could not be used:
// "working folder /x: No such file or directory", "/opt/nowhere/node: Permission denied".
// Never forks this process's memory: safe from a multithreaded program and cheap from a large one.
Result<pid_t> spawn(const SpawnPlan& plan);

// The two ends of a pipe for a child's output: ours reads without blocking, the child's write
// end blocks, as a program expects its standard streams to; both close on exec and neither sits
// on 0, 1 or 2 (so a dup2 into the child's 1 or 2 never overwrites one).
struct OutputPipe {
    int readEnd = -1;
    int writeEnd = -1;
};
Result<OutputPipe> makeOutputPipe();

// Gives every signal its default action in this process, for a program that neither handles nor
// ignores any (the reaper, which reads its signals from a signalfd) and starts its children with
// signalsAtDefault: it spares each child 62 system calls while its starter waits on it.
void defaultEverySignalAction();

// Gives SIGCHLD its default action if this process was started with it ignored (the ignored
// disposition is inherited across exec): the kernel would then reap every child at once and
// discard its exit status.
void keepChildExitStatuses();

// Waits for a child and returns its exit status, or the number of the signal that ended it.
int waitForChild(pid_t pid);
// The same, from a wait status.
int exitStatus(int waitStatus);

}  // namespace nerix::platform
