#include "jobs/job.h"

namespace nerix {

Result<void> Job::prepare(const Log& /*log*/) { return {}; }

platform::JobLeftovers Job::leftovers() const { return {}; }

void Job::finish(bool /*succeeded*/) {}

std::optional<std::string> Job::writtenFile(const std::string& /*repoRoot*/) const { return std::nullopt; }

JobAnswer succeededOrFailed(std::int32_t exitCode, std::string_view failure) {
    JobAnswer answer;
    if (exitCode == 0) {
        answer.status = 200;
        answer.fields["ok"] = true;
    } else {
        answer.fields["error"] = failure;
        answer.fields["exitCode"] = exitCode;
        answer.withStderr = true;
    }
    return answer;
}

}  // namespace nerix
