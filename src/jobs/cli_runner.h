#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nerix {

// Where the command-line tool lives: fixed when the bridge is made.
struct CliCommand {
    std::string nodePath;  // program file of every child, never looked up on the PATH
    std::string repoRoot;  // working folder of every child
    std::string cliEntry;  // first argument of every child
};

// The outcome of one run of the tool.
struct CliResult {
    int32_t exitCode = -1;  // exit status, or the signal number; -1 when the child could not start
    std::string stdout;     // empty when the bytes are not valid UTF-8
    std::string stderr;     // "spawn failed: ..." when the child could not start
};

// Runs nodePath with cliEntry then args (each one unaltered argument) in repoRoot, drains
// both output streams while it runs and waits for it. Never throws.
CliResult runCli(const CliCommand& command, const std::vector<std::string>& args);

// Joins a path component the way the tool's paths are joined: exactly one "/" between.
std::string appendPathComponent(std::string_view base, std::string_view component);

}  // namespace nerix
