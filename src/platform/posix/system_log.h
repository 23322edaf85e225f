#pragma once

#include <string_view>

namespace nerix::platform {

// One line to standard error and the same text to the system log, with no level or prefix
// of our own.
void logLine(std::string_view line);

}  // namespace nerix::platform
