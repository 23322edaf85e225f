#include "app/bundle.h"

#include <system_error>

namespace nerix {

std::filesystem::path resourceFolderFor(const std::filesystem::path& executable) {
    return (executable.parent_path() / ".." / "share" / "vantorel").lexically_normal();
}

std::filesystem::path resourceFolder() {
    // The link names the file itself, not a symbolic link that may have started it.
    std::error_code error;
    std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return resourceFolderFor(executable);
}

std::filesystem::path infoPlistPath(const std::filesystem::path& resourceFolder) {
    return resourceFolder / "Info.plist";
}

}  // namespace nerix
