#pragma once

#include <string_view>
#include <variant>

#include "http/response.h"
#include "jobs/job.h"

namespace nerix {

// One job endpoint (all are POST): its path, and what reads a request body into the job to run
// or the one refusal the request is answered with, at once. Reading runs nothing.
struct JobEndpoint {
    std::string_view path;
    std::variant<JobPointer, Response> (*accept)(std::string_view body);
};

// The endpoint at `path` ("/compose", "/master", "/verify"), or null.
const JobEndpoint* findJobEndpoint(std::string_view path);

}  // namespace nerix
