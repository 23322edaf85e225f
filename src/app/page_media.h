#pragma once

#include <string>
#include <string_view>

namespace nerix {

// The script that plays the page's own media. WebKit's media pipeline reads no scheme of an
// application's own, so an <audio> or <video> (or a <source> in one) whose address lies on the
// page's origin is pointed at the same file as the bridge serves it, below `folderUrl`
// ("http://127.0.0.1:<port>/files/<id>"): addresses set in the HTML, through `src`,
// setAttribute or `new Audio(…)`. Everything else is left as it is. Runs at document start.
std::string mediaScript(std::string_view folderUrl);

}  // namespace nerix
