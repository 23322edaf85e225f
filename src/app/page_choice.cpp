#include "app/page_choice.h"

#include <system_error>

#include "app/page_origin.h"

namespace nerix {

std::filesystem::path webFolder(const std::filesystem::path& resourceFolder) { return resourceFolder / "Web"; }

PageChoice choosePageIn(const std::filesystem::path& webFolder) {
    const std::filesystem::path folder = webFolder.lexically_normal();
    if (!folder.is_absolute() || folder == folder.root_path()) return PageChoice{false, {}, std::string(kFallbackPage)};
    const std::filesystem::path page = folder / "index.html";
    std::error_code error;
    if (!std::filesystem::is_regular_file(page, error)) return PageChoice{false, {}, std::string(kFallbackPage)};
    return PageChoice{true, std::string(kPageOrigin) + "/", {}};
}

}  // namespace nerix
