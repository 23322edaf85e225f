#include "jobs/verify_job.h"

namespace nerix {

JobAnswer VerifyJob::answer(std::int32_t exitCode) const {
    JobAnswer answer;
    answer.status = exitCode == 0 ? 200 : 500;
    answer.fields["ok"] = exitCode == 0;
    answer.withStderr = true;
    return answer;
}

}  // namespace nerix
