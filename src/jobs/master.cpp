#include <utility>

#include "jobs/handlers.h"
#include "jobs/job_body.h"

namespace nerix {

std::variant<Job, Response> handleMaster(const Request& request) {
    auto decoded = decodeMasterBody(request.body);
    if (auto* refusal = std::get_if<Response>(&decoded)) return std::move(*refusal);
    Job job;
    job.kind = Job::Kind::Master;
    job.args = std::move(std::get<std::vector<std::string>>(decoded));
    return job;
}

}  // namespace nerix
