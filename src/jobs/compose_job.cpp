#include "jobs/compose_job.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "http/path.h"
#include "jobs/output_dir.h"
#include "jobs/stem.h"
#include "platform/posix/files.h"

namespace nerix {
namespace {

bool nothingAt(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) != 0 && errno == ENOENT;
}

// "untitled-" and the whole seconds since the epoch, the fraction cut off; a second compose in
// the same second, or one whose files are there already, adds "-2", "-3", ...: unnamed pieces
// never share a file.
std::string defaultStem(const std::string& temporary, const std::string& outputDir, const std::string& format) {
    auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    // Jobs are prepared one at a time, on the bridge's queue; tests run bridges on other threads.
    static std::mutex mutex;
    static std::int64_t lastSecond = 0;
    static int lastCount = 0;
    std::lock_guard lock(mutex);
    int count = seconds == lastSecond ? lastCount + 1 : 1;
    const std::string base = "untitled-" + std::to_string(seconds);
    for (;; ++count) {
        std::string stem = count == 1 ? base : base + "-" + std::to_string(count);
        std::string outputName = stem;
        outputName += '.';
        outputName += format;
        if ((nothingAt(appendPathComponent(outputDir, outputName)) &&
             nothingAt(appendPathComponent(temporary, stem + ".morvane"))) ||
            count > 10'000) {
            lastSecond = seconds;
            lastCount = count;
            return stem;
        }
    }
}

// The same failure with the step that failed in front of its message.
Error during(std::string_view step, const Error& error) { return {std::string(step) + error.message, error.code}; }

}  // namespace

Result<void> ComposeJob::prepare(const Log& log) {
    std::string outputDir = userNerixOutputDir();
    if (auto made = platform::createDirectories(outputDir); !made)
        return fail(during("could not create output dir: ", made.error()));

    // The source file sits in a folder only this user can enter, never in a shared one.
    auto temporary = platform::userTemporaryFolder();
    if (!temporary) return fail(during("could not write source: ", temporary.error()));

    // The clock is read only when the name gives no stem.
    std::optional<std::string> stem = sanitizeStem(input_.name);
    if (!stem) stem = defaultStem(*temporary, outputDir, input_.format);
    std::string sourcePath = appendPathComponent(*temporary, *stem + ".morvane");
    std::string outputPath = appendPathComponent(outputDir, *stem + "." + input_.format);

    if (auto written = platform::writeTextAtomically(sourcePath, input_.source); !written)
        return fail(during("could not write source: ", written.error()));
    std::string().swap(input_.source);
    // What is at the output path now is moved aside, never overwritten or written through, until
    // the tool has succeeded.
    auto kept = platform::KeptFile::keepAside(outputPath);
    if (!kept) {
        platform::removeFile(sourcePath);
        return fail(during("could not keep the existing output: ", kept.error()));
    }
    kept_ = std::move(*kept);
    if (kept_ && kept_->wasLink())
        log("NerixBridge set aside the symbolic link at " + outputPath +
            ": the new file takes its place, nothing is written through it");
    sourcePath_ = std::move(sourcePath);
    outputPath_ = std::move(outputPath);
    return {};
}

std::vector<std::string> ComposeJob::arguments() const { return composeArguments(sourcePath_, outputPath_); }

platform::JobLeftovers ComposeJob::leftovers() const {
    platform::JobLeftovers leftovers;
    if (kept_) {
        leftovers.moveBack.emplace_back(kept_->kept(), kept_->original());
        leftovers.remove.push_back(kept_->record());
        leftovers.hold = kept_->lockDescriptor();
    }
    if (!sourcePath_.empty()) leftovers.remove.push_back(sourcePath_);
    return leftovers;
}

void ComposeJob::finish(bool succeeded) {
    // Success rests on the exit code alone; the output file is never looked at.
    if (!sourcePath_.empty()) platform::removeFile(sourcePath_);
    if (kept_) {
        if (succeeded)
            kept_->discard();
        else
            kept_->restore();
    }
}

JobAnswer ComposeJob::answer(std::int32_t exitCode) const {
    JobAnswer answer = succeededOrFailed(exitCode, "compose failed");
    if (exitCode == 0) answer.fields["outputPath"] = outputPath_;
    return answer;
}

std::optional<std::string> ComposeJob::writtenFile(const std::string& /*repoRoot*/) const { return outputPath_; }

}  // namespace nerix
