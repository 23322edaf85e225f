#pragma once

#include <memory>
#include <string>

#include "jobs/job.h"
#include "jobs/job_body.h"
#include "platform/posix/kept_file.h"

namespace nerix {

// POST /compose: the piece's source is written to a file of its own, the tool builds it into
// "<stem>.<format>" in the user's output folder, and the answer names that file.
class ComposeJob final : public Job {
public:
    explicit ComposeJob(ComposeInput input) : input_(std::move(input)) {}

    // Makes the output folder, writes the source file and keeps aside what is at the output
    // path (a file, or a symbolic link, which the new file then replaces rather than writes
    // through). Fails with "could not create output dir: ...", "could not write source: ..." or
    // "could not keep the existing output: ...".
    Result<void> prepare(const Log& log) override;
    std::vector<std::string> arguments() const override;
    platform::JobLeftovers leftovers() const override;
    // The source file is removed; the kept file goes when the tool succeeded, or is back in its
    // place otherwise.
    void finish(bool succeeded) override;
    JobAnswer answer(std::int32_t exitCode) const override;
    std::optional<std::string> writtenFile(const std::string& repoRoot) const override;

private:
    ComposeInput input_;
    std::string sourcePath_;  // both set by prepare()
    std::string outputPath_;
    // The file that was at the output path, kept aside while the tool runs (none when there
    // was none).
    std::shared_ptr<platform::KeptFile> kept_;
};

}  // namespace nerix
