// What a job needs on disk around the tool's run: compose's source file and output folder.
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
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

}  // namespace

Result<void> prepareJob(Job& job) try {
    if (job.kind != Job::Kind::Compose) return {};
    std::string outputDir = userNerixOutputDir();
    if (auto made = platform::createDirectories(outputDir); !made)
        return fail("could not create output dir: " + made.error().message, made.error().code);

    // The source file sits in a folder only this user can enter, never in a shared one.
    auto temporary = platform::userTemporaryFolder();
    if (!temporary) return fail("could not write source: " + temporary.error().message, temporary.error().code);

    // The clock is read only when the name gives no stem.
    std::optional<std::string> stem = sanitizeStem(job.name);
    if (!stem) stem = defaultStem(*temporary, outputDir, job.format);
    std::string sourcePath = appendPathComponent(*temporary, *stem + ".morvane");
    std::string outputPath = appendPathComponent(outputDir, *stem + "." + job.format);

    if (auto written = platform::writeTextAtomically(sourcePath, job.source); !written)
        return fail("could not write source: " + written.error().message, written.error().code);
    std::string().swap(job.source);
    // What is at the output path now is moved aside, never overwritten or written through, until
    // the tool has succeeded.
    auto kept = platform::KeptFile::keepAside(outputPath);
    if (!kept) {
        platform::removeFile(sourcePath);
        return fail("could not keep the existing output: " + kept.error().message, kept.error().code);
    }
    job.kept = std::move(*kept);
    job.args = composeArguments(sourcePath, outputPath);
    job.sourcePath = std::move(sourcePath);
    job.outputPath = std::move(outputPath);
    return {};
} catch (...) {  // out of memory: a failure, never an exception into the queue
    return fail("out of memory", ENOMEM);
}

void finishJob(const Job& job, bool succeeded) {
    // Success rests on the exit code alone; the output file is never looked at.
    if (!job.sourcePath.empty()) platform::removeFile(job.sourcePath);
    if (job.kept) {
        if (succeeded)
            job.kept->discard();
        else
            job.kept->restore();
    }
}

platform::JobLeftovers leftoversOf(const Job& job) {
    platform::JobLeftovers leftovers;
    if (job.kept) {
        leftovers.moveBack.emplace_back(job.kept->kept(), job.kept->original());
        leftovers.remove.push_back(job.kept->record());
        leftovers.hold = job.kept->lockDescriptor();
    }
    if (!job.sourcePath.empty()) leftovers.remove.push_back(job.sourcePath);
    return leftovers;
}

}  // namespace nerix
