#include "jobs/master_job.h"

#include "http/path.h"

namespace nerix {

std::vector<std::string> MasterJob::arguments() const { return masterArguments(input_); }

JobAnswer MasterJob::answer(std::int32_t exitCode) const { return succeededOrFailed(exitCode, "master failed"); }

std::optional<std::string> MasterJob::writtenFile(const std::string& repoRoot) const {
    if (!input_.output) return std::nullopt;
    const std::string& output = *input_.output;
    return output.starts_with('/') ? output : appendPathComponent(repoRoot, output);
}

}  // namespace nerix
