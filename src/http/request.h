#pragma once

#include <map>
#include <set>
#include <string>

namespace nerix {

// One parsed HTTP request. Built once by the parser and only read afterwards.
struct Request {
    std::string method;                          // first word of the request line, as sent
    std::string path;                            // second word, as sent (query and escapes kept)
    std::map<std::string, std::string> headers;  // trimmed, lower-cased name -> trimmed value
    std::string body;                            // exactly Content-Length bytes
    std::set<std::string> repeated;              // names of the headers sent more than once
};

}  // namespace nerix
