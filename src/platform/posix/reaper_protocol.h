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
        // Start a tool. Carries three descriptors: the start's plan (a memory file of NUL-ended
        // texts: the program, the working folder, `argc` arguments, then `envc` environment
        // entries), and the write ends for the tool's descriptors 1 and 2.
        Start = 1,
        // Stop the tool and everything it started: SIGTERM now, SIGKILL `graceMs` later.
        Stop = 2,
    };
    Kind kind;
    std::int32_t pid;  // Stop: the tool's
    std::int64_t graceMs;
    std::uint32_t argc;
    std::uint32_t envc;
};

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
