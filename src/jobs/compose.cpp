#include <chrono>
#include <utility>

#include "jobs/handlers.h"
#include "jobs/job_body.h"
#include "jobs/output_dir.h"
#include "jobs/stem.h"
#include "platform/posix/files.h"

namespace nerix {
namespace {

// "untitled-" and the whole seconds since the epoch, the fraction cut off.
std::string defaultStem() {
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return "untitled-" + std::to_string(seconds.count());
}

// Removes the temporary source file when the run is over, however it ended.
class RemoveOnExit {
public:
    explicit RemoveOnExit(std::string path) : path_(std::move(path)) {}
    ~RemoveOnExit() { platform::removeFile(path_); }
    RemoveOnExit(const RemoveOnExit&) = delete;
    RemoveOnExit& operator=(const RemoveOnExit&) = delete;

private:
    std::string path_;
};

Response composeAnswer(CliResult result, std::string outputPath) {
    nlohmann::json answer = nlohmann::json::object();
    if (result.exitCode == 0) {
        answer["ok"] = true;
        answer["outputPath"] = std::move(outputPath);
        answer["stdout"] = std::move(result.stdout);  // moved: it may be many megabytes
        return Response{200, std::move(answer)};
    }
    answer["error"] = "compose failed";
    answer["exitCode"] = result.exitCode;
    answer["stdout"] = std::move(result.stdout);
    answer["stderr"] = std::move(result.stderr);
    return Response{500, std::move(answer)};
}

}  // namespace

Response handleCompose(const Request& request, const CliCommand& command) try {
    auto decoded = decodeComposeBody(request.body);
    if (auto* refusal = std::get_if<Response>(&decoded)) return std::move(*refusal);
    auto& input = std::get<ComposeInput>(decoded);

    // The clock is read only when the name gives no stem.
    std::optional<std::string> stem = sanitizeStem(input.name);
    if (!stem) stem = defaultStem();

    std::string outputDir = userNerixOutputDir();
    if (auto error = platform::createDirectories(outputDir))
        return errorResponse(500, "could not create output dir: " + *error);

    // The source file sits in a folder only this user can enter, never in a shared one.
    platform::TemporaryFolder temporary = platform::userTemporaryFolder();
    if (temporary.error) return errorResponse(500, "could not write source: " + *temporary.error);
    std::string sourcePath = appendPathComponent(temporary.path, *stem + ".morvane");
    std::string outputPath = appendPathComponent(outputDir, *stem + "." + input.format);

    if (auto error = platform::writeTextAtomically(sourcePath, input.source))
        return errorResponse(500, "could not write source: " + *error);
    std::string().swap(input.source);

    CliResult result;
    {
        RemoveOnExit removeSource(sourcePath);
        result = runCli(command, composeArguments(sourcePath, outputPath));
    }
    // Success rests on the exit code alone, whether or not the tool wrote the output file.
    return composeAnswer(std::move(result), std::move(outputPath));
} catch (...) {  // out of memory: answer rather than unwind into the queue
    return errorResponse(500, "out of memory");
}

}  // namespace nerix
