#include "jobs/job_endpoints.h"

#include <utility>

#include "jobs/compose_job.h"
#include "jobs/job_body.h"
#include "jobs/master_job.h"
#include "jobs/verify_job.h"

namespace nerix {
namespace {

// A body the decoder accepted becomes the job of that kind; a refusal is passed on.
template <typename Kind, auto decode>
std::variant<JobPointer, Response> accept(std::string_view body) {
    auto decoded = decode(body);
    if (auto* refusal = std::get_if<Response>(&decoded)) return std::move(*refusal);
    return std::make_unique<Kind>(std::move(std::get<0>(decoded)));
}

constexpr JobEndpoint kEndpoints[] = {
    {"/compose", accept<ComposeJob, decodeComposeBody>},
    {"/master", accept<MasterJob, decodeMasterBody>},
    {"/verify", accept<VerifyJob, decodeVerifyBody>},
};

}  // namespace

const JobEndpoint* findJobEndpoint(std::string_view path) {
    for (const JobEndpoint& endpoint : kEndpoints)
        if (endpoint.path == path) return &endpoint;
    return nullptr;
}

}  // namespace nerix
