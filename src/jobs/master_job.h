#pragma once

#include "jobs/job.h"
#include "jobs/job_body.h"

namespace nerix {

// POST /master: the tool masters the manifest, into the output the request named or wherever
// the manifest says.
class MasterJob final : public Job {
public:
    explicit MasterJob(MasterInput input) : input_(std::move(input)) {}

    std::vector<std::string> arguments() const override;
    JobAnswer answer(std::int32_t exitCode) const override;
    // The output the request named; none when the manifest chose it.
    std::optional<std::string> writtenFile(const std::string& repoRoot) const override;

private:
    MasterInput input_;
};

}  // namespace nerix
