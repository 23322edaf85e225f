#include "platform/posix/system_log.h"

#include <syslog.h>
#include <unistd.h>
#include <string>

namespace nerix::platform {

void logLine(std::string_view line) {
    std::string text(line);
    std::string withNewline = text + "\n";
    // One write, so that lines from two threads never interleave.
    [[maybe_unused]] auto written = ::write(STDERR_FILENO, withNewline.data(), withNewline.size());
    ::syslog(LOG_USER | LOG_NOTICE, "%s", text.c_str());
}

}  // namespace nerix::platform
