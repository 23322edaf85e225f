#include "jobs/handlers.h"

namespace nerix {

// Placeholders until the job endpoints land.
Response handleCompose(const Request&, const CliCommand&) { return errorResponse(500, "not implemented"); }
Response handleMaster(const Request&, const CliCommand&) { return errorResponse(500, "not implemented"); }
Response handleVerify(const Request&, const CliCommand&) { return errorResponse(500, "not implemented"); }

}  // namespace nerix
