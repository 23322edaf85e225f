#include "jobs/cli_command.h"

#include <unistd.h>
#include <climits>

#include "http/path.h"

namespace nerix {
namespace {

// The program file is named directly, never looked up on the PATH. A relative name counts
// from this process's working folder, not from the child's (the repository root).
std::string programPath(const std::string& nodePath) {
    if (nodePath.empty() || nodePath.front() == '/') return nodePath;
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) return nodePath;
    return appendPathComponent(cwd, nodePath);
}

}  // namespace

std::vector<std::string> toolArgv(const CliCommand& command, const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(programPath(command.nodePath));
    argv.push_back(command.cliEntry);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace nerix
