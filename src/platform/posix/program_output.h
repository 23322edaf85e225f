#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "base/result.h"

namespace nerix::platform {

// Runs `argv` (argv[0] is the program's path, never looked up on the PATH) with nothing on its
// input and its errors dropped, and returns what it printed once it has ended with status 0.
// It runs in a process group of its own: a program that has not ended within `limit` is ended
// with everything it started, and so is whatever it leaves running when it ends. A start that
// fails, a non-zero exit and the limit passing are each an Error naming the program. Blocks
// the calling thread until then.
Result<std::string> programOutput(const std::vector<std::string>& argv, std::chrono::milliseconds limit);

}  // namespace nerix::platform
