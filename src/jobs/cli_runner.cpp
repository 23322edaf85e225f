#include "jobs/cli_runner.h"

#include <cerrno>
#include <climits>
#include <new>
#include <system_error>

#include <simdjson.h>
#include <unistd.h>

#include "platform/posix/process.h"

namespace nerix {
namespace {

// A stream that is not valid UTF-8 as a whole becomes the empty text; bad bytes are never
// replaced or passed on.
std::string decodedOrEmpty(std::string bytes) {
    if (!simdjson::validate_utf8(bytes.data(), bytes.size())) return {};
    return bytes;
}

// The program file is named directly, never looked up on the PATH. A relative name counts
// from this process's working folder, not from the child's (the repository root).
std::string programPath(const std::string& nodePath) {
    if (nodePath.empty() || nodePath.front() == '/') return nodePath;
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) return nodePath;
    return appendPathComponent(cwd, nodePath);
}

}  // namespace

std::string appendPathComponent(std::string_view base, std::string_view component) {
    std::string joined(base);
    while (joined.size() > 1 && joined.back() == '/') joined.pop_back();
    while (!component.empty() && component.front() == '/') component.remove_prefix(1);
    if (joined.empty()) return std::string(component);
    if (joined.back() != '/') joined += '/';
    joined += component;
    return joined;
}

CliResult runCli(const CliCommand& command, const std::vector<std::string>& args) {
    platform::ProcessOutcome outcome;
    try {
        std::vector<std::string> argv;
        argv.reserve(args.size() + 2);
        argv.push_back(programPath(command.nodePath));
        argv.push_back(command.cliEntry);
        argv.insert(argv.end(), args.begin(), args.end());
        outcome = platform::runProcess(argv.front(), argv, command.repoRoot);
    } catch (const std::bad_alloc&) {
        // Only the argument vector is built before the start; nothing is running yet.
        outcome = {};
        outcome.startError = ENOMEM;
    }
    if (outcome.startError != 0)
        return CliResult{-1, "", "spawn failed: " + std::system_category().message(outcome.startError)};
    return CliResult{outcome.status, decodedOrEmpty(std::move(outcome.out)), decodedOrEmpty(std::move(outcome.err))};
}

}  // namespace nerix
