#pragma once

// What the bridge and its reaper (vantorel-reaper) say to each other over their socket pair: one
// datagram per message, so that neither ever reads half of one. The reaper is started with its
// end on descriptor 3; the end of that socket is the end of the bridge.
#include <cstddef>
#include <cstdint>

namespace nerix::platform::reaper {

constexpr int kControlDescriptor = 3;

// The bridge's side.
struct Request {
    enum Kind : std::uint32_t {
        // Start a tool. The start's plan is a run of NUL-ended texts: the program, the working
        // folder, `argc` arguments, `envc` environment entries, then the job's leftovers: `movec`
        // pairs of paths and `removec` paths. It follows this record in the datagram when it is
        // `planBytes` long (at most kLongestInlinePlan), or else is a memory file, the first of
        // the descriptors. Then come the write ends for the tool's descriptors 1 and 2, and maybe
        // one more, held until the job ends.
        // Should the bridge end before the job, the reaper puts the leftovers right once the
        // job's processes have gone: each pair's first path is renamed to its second, then each
        // path to remove is removed.
        Start = 1,
        // Stop the tool and everything it started: SIGTERM now, SIGKILL `graceMs` later.
        Stop = 2,
    };
    Kind kind;
    std::int32_t pid;  // Stop: the tool's
    std::int64_t graceMs;
    std::uint32_t argc;
    std::uint32_t envc;
    std::uint32_t movec;
    std::uint32_t removec;
    std::uint32_t planBytes;  // Start: 0 when the plan is a memory file
};

// A plan up to this long crosses inside the start's datagram. A job's is a few KiB (the program,
// its folder, a handful of arguments, the bridge's environment: 1.6 KiB in the benchmark). A
// memory file for it cost about 30 us of CPU per job across the two processes (creating, writing,
// mapping and freeing it; the trivial job takes 0.7 ms), the reaper's largest cost per job after
// the clone and the exec. Longer argument vectors and environments still cross whole, in the file.
constexpr std::size_t kLongestInlinePlan = 64 * 1024;

// The reaper's side.
struct Reply {
    enum Kind : std::uint32_t {
        Started = 1,     // `pid` runs the program
        NotStarted = 2,  // `value` is the errno; the rest of the datagram says what could not be used
        Ended = 3,       // `pid` has ended with `value` (its exit status, or the signal's number), and
                         // nothing it started is left
    };
    Kind kind;
    std::int32_t pid;
    std::int32_t value;
};

// The longest reply: the record and a text naming a path.
constexpr std::size_t kLongestReply = sizeof(Reply) + 8192;

}  // namespace nerix::platform::reaper
