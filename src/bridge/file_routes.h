#pragma once

#include <cstdint>
#include <variant>

#include "bridge/file_grants.h"
#include "http/request.h"
#include "http/response.h"

namespace nerix {

// Whether the request is for a file's URL (GET or HEAD below "/files/"), which carries no token:
// `<audio src>` cannot send one, and the URL's random id is what grants it.
bool isFileRequest(const Request& request);

// GET or HEAD of a file's URL: the file, or the part its Range field asks for, or 404 when the
// URL names no file given out (or one that is gone), 403 for a way out of a served folder.
std::variant<Response, FileResponse> answerFileRequest(const Request& request, const FileGrants& files);

// POST /files with {"path": "/abs/file"}: {"url": "http://127.0.0.1:<port>/files/<id>/<name>"}
// for a file the page was given; 403 for any other path, 404 for no such file.
Response grantFileUrl(const Request& request, FileGrants& files, std::uint16_t port);

}  // namespace nerix
