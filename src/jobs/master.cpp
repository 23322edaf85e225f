#include <utility>

#include "jobs/handlers.h"
#include "jobs/job_body.h"

namespace nerix {

Response handleMaster(const Request& request, const CliCommand& command) try {
    auto decoded = decodeMasterBody(request.body);
    if (auto* refusal = std::get_if<Response>(&decoded)) return std::move(*refusal);

    CliResult result = runCli(command, std::get<std::vector<std::string>>(decoded));

    nlohmann::json answer = nlohmann::json::object();
    if (result.exitCode == 0) {
        // What the tool wrote to standard error on success is not passed on.
        answer["ok"] = true;
        answer["stdout"] = std::move(result.stdout);
        return Response{200, std::move(answer)};
    }
    answer["error"] = "master failed";
    answer["exitCode"] = result.exitCode;
    answer["stdout"] = std::move(result.stdout);
    answer["stderr"] = std::move(result.stderr);
    return Response{500, std::move(answer)};
} catch (...) {  // out of memory: answer rather than unwind into the queue
    return errorResponse(500, "out of memory");
}

}  // namespace nerix
