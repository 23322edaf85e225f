#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace nerix {

inline constexpr std::string_view kFallbackPage = "<h1>Vantorel resources missing.</h1>";

// The page to show: the page's origin serving index.html of the web folder in use, or, when
// there is no such file, the fallback text without a base address.
struct PageChoice {
    bool found = false;
    std::string uri;   // the page, when found: the origin's root
    std::string html;  // the fallback text, when not found
};

// The folder's index.html, or the fallback text when there is none, when the folder is not
// absolute, or when it is the root folder (whose pages would reach every file).
PageChoice choosePageIn(const std::filesystem::path& webFolder);

// The Web folder of the resource folder: the bundled web interface.
std::filesystem::path webFolder(const std::filesystem::path& resourceFolder);

}  // namespace nerix
