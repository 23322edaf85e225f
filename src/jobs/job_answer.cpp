#include "jobs/handlers.h"

#include <system_error>

namespace nerix {

JobAnswer answerJob(const Job& job, std::int32_t exitCode) {
    JobAnswer answer;
    const bool ok = exitCode == 0;
    switch (job.kind) {
        case Job::Kind::Compose:
        case Job::Kind::Master:
            if (ok) {
                // What the tool wrote to standard error on success is not passed on.
                answer.status = 200;
                answer.fields["ok"] = true;
                if (job.kind == Job::Kind::Compose) answer.fields["outputPath"] = job.outputPath;
            } else {
                answer.fields["error"] = job.kind == Job::Kind::Compose ? "compose failed" : "master failed";
                answer.fields["exitCode"] = exitCode;
                answer.withStderr = true;
            }
            break;
        case Job::Kind::Verify:
            // Both outcomes have the same three members; the exit code itself is not sent.
            answer.status = ok ? 200 : 500;
            answer.fields["ok"] = ok;
            answer.withStderr = true;
            break;
    }
    return answer;
}

std::string spawnFailure(const Error& error) { return "spawn failed: " + error.message; }

}  // namespace nerix
