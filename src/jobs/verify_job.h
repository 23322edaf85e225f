#pragma once

#include "jobs/job.h"

namespace nerix {

// POST /verify: the tool checks a mastered file against its seed and writes nothing.
class VerifyJob final : public Job {
public:
    explicit VerifyJob(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}

    std::vector<std::string> arguments() const override { return arguments_; }
    // Both outcomes have the same three members ("ok", "stdout", "stderr"); the exit code
    // itself is not sent.
    JobAnswer answer(std::int32_t exitCode) const override;

private:
    std::vector<std::string> arguments_;
};

}  // namespace nerix
