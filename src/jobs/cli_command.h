#pragma once

#include <string>
#include <vector>

namespace nerix {

// Where the command-line tool lives: fixed when the bridge is made.
struct CliCommand {
    std::string nodePath;  // program file of every child, never looked up on the PATH
    std::string repoRoot;  // working folder of every child
    std::string cliEntry;  // first argument of every child
};

// The tool's argument vector for one run: the program path (argv[0], a relative one made
// absolute from this process's folder), the entry script, then `args`, each passed on unaltered.
std::vector<std::string> toolArgv(const CliCommand& command, const std::vector<std::string>& args);

}  // namespace nerix
