#pragma once

#include <string_view>
#include <variant>

#include "http/request.h"
#include "http/response.h"
#include "jobs/handlers.h"

namespace nerix {

// Decides what a complete request gets: the answer at once (preflight, health, the token check,
// a refused body, "no route"), or the job to run for it, as the job handlers give it. Runs
// nothing itself.
std::variant<Job, Response> dispatch(const Request& request, std::string_view token);

// The answer to a request over the size limits.
Response requestTooLarge();

}  // namespace nerix
