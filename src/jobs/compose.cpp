#include <utility>

#include "jobs/handlers.h"
#include "jobs/job_body.h"

namespace nerix {

std::variant<Job, Response> handleCompose(const Request& request) {
    auto decoded = decodeComposeBody(request.body);
    if (auto* refusal = std::get_if<Response>(&decoded)) return std::move(*refusal);
    auto& input = std::get<ComposeInput>(decoded);
    Job job;
    job.kind = Job::Kind::Compose;
    job.source = std::move(input.source);
    job.format = std::move(input.format);
    job.name = std::move(input.name);
    return job;
}

}  // namespace nerix
