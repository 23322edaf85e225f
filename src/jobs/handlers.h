#pragma once

#include "bridge/request.h"
#include "bridge/response.h"
#include "jobs/cli_runner.h"

namespace nerix {

// The three job endpoints. Each reads only the request body, runs the tool at most once and
// returns the one answer for the request; none of them touches a socket.
Response handleCompose(const Request& request, const CliCommand& command);
Response handleMaster(const Request& request, const CliCommand& command);
Response handleVerify(const Request& request, const CliCommand& command);

}  // namespace nerix
