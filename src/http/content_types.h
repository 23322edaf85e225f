#pragma once

#include <string>
#include <string_view>

namespace nerix {

// The Content-Type a file of the web folder is answered with, by its name's extension, case
// ignored: text types carry "; charset=utf-8", an unknown extension is application/octet-stream.
std::string contentTypeFor(std::string_view fileName);

}  // namespace nerix
