#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/result.h"
#include "http/request.h"
#include "http/response.h"
#include "platform/posix/job_reaper.h"
#include "platform/posix/kept_file.h"

namespace nerix {

// A job request whose body was accepted: what the tool runs with and what its answer needs.
struct Job {
    enum class Kind { Compose, Master, Verify };
    Kind kind = Kind::Master;
    std::vector<std::string> args;  // the tool's arguments after the entry script
    // Compose only: the decoded body, then (from prepareJob) the two files' paths.
    std::string source;
    std::string format;
    std::optional<std::string> name;
    std::string sourcePath;
    std::string outputPath;
    // The file that was at the output path, kept aside while the tool runs (none when there
    // was none).
    std::shared_ptr<platform::KeptFile> kept;
};

// How a job that ran is answered: the status and every member of the answer but the tool's two
// output texts. "stdout" is always a member; "stderr" only when `withStderr`.
struct JobAnswer {
    int status = 500;
    nlohmann::json fields = nlohmann::json::object();
    bool withStderr = false;
};

// The three job endpoints. Each reads only the request body and returns either the job to run
// or the one refusal the request is answered with, at once; none of them runs anything.
std::variant<Job, Response> handleCompose(const Request& request);
std::variant<Job, Response> handleMaster(const Request& request);
std::variant<Job, Response> handleVerify(const Request& request);

// Just before the tool runs, in the jobs' arrival order: compose makes the output folder, writes
// the source file and keeps aside what is at the output path (a file, or a symbolic link, which
// the new file then replaces rather than writes through). On failure the tool never runs, and
// the job is answered 500 with the error's message ("could not create output dir: ...", "could
// not write source: ...", "could not keep the existing output: ...").
Result<void> prepareJob(Job& job);

// After the run, however it ended (even when stopped): compose's source file is removed, and the
// kept file goes when the tool `succeeded`, or is back in its place otherwise.
void finishJob(const Job& job, bool succeeded);

// What the reaper does with the job's files should the bridge end before the job has.
platform::JobLeftovers leftoversOf(const Job& job);

// The answer to a job whose tool ended with `exitCode` (-1: it could not start).
JobAnswer answerJob(const Job& job, std::int32_t exitCode);

// The standard error of a job whose tool could not start: "spawn failed: " and the system's
// text for `error` (an errno value).
std::string spawnFailure(const Error& error);

}  // namespace nerix
