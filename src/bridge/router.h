#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "bridge/file_grants.h"
#include "http/request.h"
#include "http/response.h"
#include "jobs/job.h"

namespace nerix {

// Who the bridge is, for the checks every request goes through: the token job requests must
// present, and the port the bridge listens on (a Host header may name it).
struct BridgeIdentity {
    std::string_view token;
    std::uint16_t port = 0;
    FileGrants* files = nullptr;  // the files the page may have URLs for; none when absent
};

// Decides what a complete request gets: the answer at once (a foreign Host, preflight, health,
// the token check, a refused body, a file's URL, "no route"), a file to send, or the job to run
// for it, as its endpoint reads it. Runs nothing itself.
std::variant<JobPointer, Response, FileResponse> dispatch(const Request& request, BridgeIdentity bridge);

// What a request whose head is whole and whose body is not gets at once, where the head alone
// decides (a foreign Host, a missing or wrong token); nothing when the body is to be read.
std::optional<Response> answerBeforeBody(const Request& head, BridgeIdentity bridge);

// The answer to a request over the size limits.
Response requestTooLarge();

// The answer to a request whose body's length cannot be told for sure.
Response badFraming();

}  // namespace nerix
