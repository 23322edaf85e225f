#pragma once

#include <memory>

#include "http/response.h"

namespace nerix {

namespace platform {
class Connection;
}

// Sends a file's answer on `connection` and closes it: the head, then the file's span read from
// disk a piece at a time as the socket takes it, so that memory stays flat however large the
// file. A file that has gone (or become something other than a regular file) since it was
// looked up is answered 404; one that shrinks while it is sent ends the connection early, as a
// short body the peer can tell. Runs on the queue thread.
void sendFile(const std::shared_ptr<platform::Connection>& connection, const FileResponse& response, bool drainInput);

}  // namespace nerix
