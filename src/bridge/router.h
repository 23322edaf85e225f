#pragma once

#include <string_view>

#include "bridge/request.h"
#include "bridge/response.h"
#include "jobs/cli_runner.h"

namespace nerix {

// Decides the one answer for a complete request: preflight, health, the token check, the job
// routes, or "no route". Job routes run the tool through `command` before returning.
Response dispatch(const Request& request, std::string_view token, const CliCommand& command);

// The answer to a request over the size limits.
Response requestTooLarge();

}  // namespace nerix
