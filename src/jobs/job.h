#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/result.h"
#include "platform/posix/job_reaper.h"

namespace nerix {

// How a job that ran is answered: the status and every member of the answer but the tool's two
// output texts. "stdout" is always a member; "stderr" only when `withStderr`.
struct JobAnswer {
    int status = 500;
    nlohmann::json fields = nlohmann::json::object();
    bool withStderr = false;
};

// One accepted job request, from its decoded body to its answer: what it needs on disk, the
// tool's arguments, the file it writes and how its run is answered. The bridge schedules,
// starts, pauses, cancels and streams it, and asks it everything else. Every call runs on the
// bridge's queue thread.
class Job {
public:
    using Log = std::function<void(std::string_view)>;

    virtual ~Job() = default;

    // Just before the tool runs, in the jobs' arrival order: whatever the run needs on disk. On
    // failure the tool never runs, and the job is answered 500 with the error's message.
    virtual Result<void> prepare(const Log& log);
    // The tool's arguments after the entry script.
    virtual std::vector<std::string> arguments() const = 0;
    // What the reaper does with the job's files should the bridge end before the job has.
    virtual platform::JobLeftovers leftovers() const;
    // After the run, however it ended (even when stopped or never started); `succeeded` rests
    // on the exit code alone.
    virtual void finish(bool succeeded);
    // The answer to a run whose tool ended with `exitCode` (-1: it could not start).
    virtual JobAnswer answer(std::int32_t exitCode) const = 0;
    // The file a run that succeeded wrote, where there is one; a relative path counts from the
    // tool's working folder, `repoRoot`.
    virtual std::optional<std::string> writtenFile(const std::string& repoRoot) const;

protected:
    Job() = default;
    Job(const Job&) = default;
    Job& operator=(const Job&) = default;
};

using JobPointer = std::unique_ptr<Job>;

// The answer of a job whose tool either succeeded ({"ok": true}, 200; what it wrote to standard
// error is not passed on) or failed ({"error": failure, "exitCode": ...} with standard error,
// 500).
JobAnswer succeededOrFailed(std::int32_t exitCode, std::string_view failure);

}  // namespace nerix
