// What a job needs on disk around the tool's run: compose's source file and output folder.
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>

#include "http/path.h"
#include "jobs/handlers.h"
#include "jobs/job_body.h"
#include "jobs/output_dir.h"
#include "jobs/stem.h"
#include "platform/posix/files.h"

namespace nerix {
namespace {

// "untitled-" and the whole seconds since the epoch, the fraction cut off.
std::string defaultStem() {
    auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
    return "untitled-" + std::to_string(seconds.count());
}

}  // namespace

Result<void> prepareJob(Job& job) try {
    if (job.kind != Job::Kind::Compose) return {};
    // The clock is read only when the name gives no stem.
    std::optional<std::string> stem = sanitizeStem(job.name);
    if (!stem) stem = defaultStem();

    std::string outputDir = userNerixOutputDir();
    if (auto made = platform::createDirectories(outputDir); !made)
        return fail("could not create output dir: " + made.error().message, made.error().code);

    // The source file sits in a folder only this user can enter, never in a shared one.
    auto temporary = platform::userTemporaryFolder();
    if (!temporary) return fail("could not write source: " + temporary.error().message, temporary.error().code);
    std::string sourcePath = appendPathComponent(*temporary, *stem + ".morvane");
    std::string outputPath = appendPathComponent(outputDir, *stem + "." + job.format);

    if (auto written = platform::writeTextAtomically(sourcePath, job.source); !written)
        return fail("could not write source: " + written.error().message, written.error().code);
    std::string().swap(job.source);
    job.args = composeArguments(sourcePath, outputPath);
    job.sourcePath = std::move(sourcePath);
    job.outputPath = std::move(outputPath);
    return {};
} catch (...) {  // out of memory: a failure, never an exception into the queue
    return fail("out of memory", ENOMEM);
}

void finishJob(const Job& job) {
    // Success rests on the exit code alone; the output file is never looked at.
    if (!job.sourcePath.empty()) platform::removeFile(job.sourcePath);
}

}  // namespace nerix
