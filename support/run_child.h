#pragma once

// A blocking run of a child for tests and benchmarks, over the route the bridge runs its tools
// on: a ChildProcess watched on an io_context (here a private one, run on the calling thread),
// read in pieces of the size the job queue reads.
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <asio/io_context.hpp>

#include "base/result.h"
#include "platform/posix/child_process.h"
#include "platform/posix/job_reaper.h"

namespace nerix::support {

constexpr std::size_t kJobReadSize = 256 * 1024;  // as the job queue reads a tool's output

// Starts argv[0] (never looked up on the PATH) with `argv` in `folder` under `reaper`, hands each
// piece of its output to `onOutput` as it is read, and returns once the child and whatever it
// started have ended and both pipes are read: its exit status, or the number of the signal that
// ended it. Fails as the start failed. Runs the reaper's io_context on the calling thread until
// then; it must have no other work.
inline Result<int> runChild(const std::shared_ptr<platform::JobReaper>& reaper, const std::vector<std::string>& argv,
                            const std::string& folder, const platform::ChildProcess::OutputHandler& onOutput) {
    auto child = platform::ChildProcess::start(reaper, argv.front(), argv, folder);
    if (!child) return fail(child.error());
    int status = -1;
    asio::io_context& context = reaper->context();
    // The reaper keeps watching its socket between runs, so the loop is stopped, not left to run dry.
    (*child)->watch(kJobReadSize, onOutput, [&](int ended) {
        status = ended;
        context.stop();
    });
    context.restart();
    context.run();
    return status;
}

// A reaper of its own on `context`, as a bridge has one.
inline std::shared_ptr<platform::JobReaper> makeReaper(asio::io_context& context) {
    return std::make_shared<platform::JobReaper>(context, std::chrono::seconds(5));
}

struct ChildOutput {
    int status = -1;  // exit status, or the signal's number
    std::string out;  // every byte it wrote to descriptor 1
    std::string err;  // and to descriptor 2
};

// The same, with both streams kept whole.
inline Result<ChildOutput> runChild(const std::vector<std::string>& argv, const std::string& folder) {
    asio::io_context context;
    auto reaper = makeReaper(context);
    ChildOutput output;
    auto status = runChild(reaper, argv, folder, [&](platform::ChildProcess::Stream stream, std::string_view bytes) {
        (stream == platform::ChildProcess::Out ? output.out : output.err).append(bytes);
    });
    if (!status) return fail(status.error());
    output.status = *status;
    return output;
}

}  // namespace nerix::support
