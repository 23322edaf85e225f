#include "app/tool_chain.h"

namespace nerix {

SettingValues ToolChain::inUse() const { return SettingValues{node, settings.repoRoot.value, web.string()}; }

ToolChain resolveToolChain(const Settings& settings, const std::filesystem::path& bundleWeb,
                           const platform::NodePlaces& places) {
    ToolChain chain;
    chain.settings = settings;
    const platform::NodeChoice found = platform::findNode(settings.node.value, places);
    if (!found.path.empty()) {
        chain.node = found.path;
        chain.nodeWhy = "Node.js: " + found.why;
    } else {
        chain.node = settings.node.value.empty() ? "node" : settings.node.value;
        chain.askLoginShell = true;
    }
    chain.web = settings.web.value.empty() ? bundleWeb : std::filesystem::path(settings.web.value);
    return chain;
}

void takeLoginShellAnswer(ToolChain& chain, const platform::NodeChoice& answer) {
    chain.askLoginShell = false;
    if (answer.path.empty()) return;
    chain.node = answer.path;
    chain.nodeWhy = "Node.js: " + answer.why;
}

}  // namespace nerix
