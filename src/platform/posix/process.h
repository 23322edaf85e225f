#pragma once

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

// Starts `program` (a path, never looked up on the PATH) with the argument vector `argv`
// (argv[0] included) in the folder `workingDir`, with descriptors 1 and 2 on pipes of their
// own; standard input and the environment are inherited. Collects both streams until each
// reaches end of file, then waits for the child. Blocks the calling thread throughout.
// `watchOut` and `watchErr`, when given, see each stream as it grows; a stream that could not
// be held in full (memory ran out) is not watched further and comes back empty.
//
// The child gets none of this process's other descriptors, an empty signal mask and the
// default action for every signal, whatever the calling thread had.
ProcessOutcome runProcess(const std::string& program, const std::vector<std::string>& argv,
                          const std::string& workingDir, const StreamWatcher& watchOut = {},
                          const StreamWatcher& watchErr = {});

}  // namespace nerix::platform
