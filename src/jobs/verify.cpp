#include <utility>

#include "jobs/handlers.h"
#include "jobs/job_body.h"

namespace nerix {

Response handleVerify(const Request& request, const CliCommand& command) try {
    auto decoded = decodeVerifyBody(request.body);
    if (auto* refusal = std::get_if<Response>(&decoded)) return std::move(*refusal);

    CliResult result = runCli(command, std::get<std::vector<std::string>>(decoded));

    // Both outcomes have the same three members; the exit code itself is not sent.
    bool ok = result.exitCode == 0;
    nlohmann::json answer = nlohmann::json::object();
    answer["ok"] = ok;
    answer["stdout"] = std::move(result.stdout);
    answer["stderr"] = std::move(result.stderr);
    return Response{ok ? 200 : 500, std::move(answer)};
} catch (...) {  // out of memory: answer rather than unwind into the queue
    return errorResponse(500, "out of memory");
}

}  // namespace nerix
