#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace nerix {

// What the bridge tells its host about the jobs, so that the desktop can show them (a count on
// the launcher, suspend held off, a notification at the end). Delivered on the bridge's queue
// thread, in the order things happen; a host with a window posts them on to its main thread.
// A bridge without a listener for them (vantorel-bridge) tells nobody.
struct JobEvent {
    enum class Kind { Queued, Started, Ended };
    enum class Outcome { Succeeded, Failed, Cancelled };  // for Ended only

    Kind kind = Kind::Queued;
    std::uint64_t id = 0;  // the same for every event of one job, never reused by a bridge
    std::string endpoint;  // "/compose", "/master" or "/verify"
    Outcome outcome = Outcome::Succeeded;
    int exitCode = 0;                       // Ended: the tool's exit code (-1: it never ran, could not start, or
                                            // was still running when the bridge stopped)
    std::optional<std::string> outputPath;  // Ended: the file the job wrote, where there is one
};

}  // namespace nerix
