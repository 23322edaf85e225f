#pragma once

#include <optional>
#include <string>

namespace nerix {

// Where the tool chain and the web interface come from, as one place gives them: the bundle's
// Info.plist, the user's settings file, a launch's options, the Preferences window, or the
// values in use once the layers are joined. An empty optional: that place says nothing.
struct SettingValues {
    std::optional<std::string> node;      // Info.plist NerixNodePath, [toolchain] node, --node
    std::optional<std::string> repoRoot;  // Info.plist NerixRepoRoot, [toolchain] repo-root, --repo-root
    std::optional<std::string> web;       // [web] folder, --web; the bundle's Web when absent

    bool any() const { return node || repoRoot || web; }
};

}  // namespace nerix
