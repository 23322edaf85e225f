#include "jobs/cli_runner.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>
#include <system_error>

#include <simdjson.h>
#include <unistd.h>

#include "http/path.h"
#include "platform/posix/process.h"

namespace nerix {
namespace {

bool isContinuationByte(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// The program file is named directly, never looked up on the PATH. A relative name counts
// from this process's working folder, not from the child's (the repository root).
std::string programPath(const std::string& nodePath) {
    if (nodePath.empty() || nodePath.front() == '/') return nodePath;
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) return nodePath;
    return appendPathComponent(cwd, nodePath);
}

}  // namespace

// A cut just before a byte that is not a continuation byte never falls inside a well-formed
// character, so the stretches on either side are UTF-8 exactly when the whole is.
void Utf8Check::advance(std::string_view soFar) {
    if (!valid_ || soFar.size() <= checked_) return;
    std::size_t end = soFar.size();
    std::size_t cut = checked_;
    std::size_t last = std::max(checked_, end >= 4 ? end - 4 : 0);
    for (std::size_t i = end; i > last; --i) {
        if (!isContinuationByte(soFar[i - 1])) {
            cut = i - 1;
            break;
        }
    }
    // Four continuation bytes in a row are never UTF-8: checking through them says so.
    if (cut == checked_ && end - checked_ >= 4) cut = end;
    if (cut == checked_) return;
    valid_ = simdjson::validate_utf8(soFar.data() + checked_, cut - checked_);
    checked_ = cut;
}

bool Utf8Check::valid(std::string_view whole) {
    if (whole.size() < checked_) return simdjson::validate_utf8(whole.data(), whole.size());
    return valid_ && simdjson::validate_utf8(whole.data() + checked_, whole.size() - checked_);
}

std::vector<std::string> toolArgv(const CliCommand& command, const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(programPath(command.nodePath));
    argv.push_back(command.cliEntry);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::string spawnFailure(const Error& error) { return "spawn failed: " + error.message; }

CliResult runCli(const CliCommand& command, const std::vector<std::string>& args) {
    platform::ProcessOutcome outcome;
    Utf8Check outCheck;
    Utf8Check errCheck;
    try {
        std::vector<std::string> argv = toolArgv(command, args);
        outcome = platform::runProcess(
            argv.front(), argv, command.repoRoot, [&](std::string_view soFar) { outCheck.advance(soFar); },
            [&](std::string_view soFar) { errCheck.advance(soFar); });
    } catch (const std::bad_alloc&) {
        // Only the argument vector is built before the start; nothing is running yet.
        outcome = {};
        outcome.startError = ENOMEM;
    }
    if (outcome.startError != 0)
        return CliResult{-1, "",
                         spawnFailure({std::system_category().message(outcome.startError), outcome.startError})};
    // A stream that is not UTF-8 as a whole becomes the empty text; bad bytes are never
    // replaced or passed on.
    CliResult result{outcome.status, "", ""};
    if (outCheck.valid(outcome.out)) result.stdout = std::move(outcome.out);
    if (errCheck.valid(outcome.err)) result.stderr = std::move(outcome.err);
    return result;
}

}  // namespace nerix
