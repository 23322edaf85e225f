#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

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

// The tool's argument vector for one run: the program path (argv[0], a relative one made
// absolute from this process's folder), the entry script, then `args`.
std::vector<std::string> toolArgv(const CliCommand& command, const std::vector<std::string>& args);

// The standard error text of a run that could not start: "spawn failed: " and what could not be
// used ("spawn failed: /opt/nowhere/node: No such file or directory").
std::string spawnFailure(const Error& error);

// Checks a growing text for UTF-8 one stretch at a time, so that each stretch is read while it
// is still in the cache rather than all of it again at the end. Give it the whole text so far
// after each addition, then ask about the finished text.
class Utf8Check {
public:
    // Checks up to the last place where a character may begin; the few bytes behind it may
    // be a character that is still arriving.
    void advance(std::string_view soFar);
    // True when all of `whole` (the text last given to advance, or more of it) is UTF-8.
    bool valid(std::string_view whole);

private:
    std::size_t checked_ = 0;
    bool valid_ = true;
};

}  // namespace nerix
