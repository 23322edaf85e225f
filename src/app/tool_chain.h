#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "app/launch_plan.h"
#include "app/settings.h"
#include "platform/posix/node_lookup.h"

namespace nerix {

// The tool chain and web interface the settings come to: the Node.js taken (found without
// starting anything), the web folder in use, and the bridge's two values when both are there.
struct ToolChain {
    Settings settings;
    std::string node;            // a path; the name as set when nothing was found
    std::string nodeWhy;         // the log line that says which Node.js was taken and why; empty when none
    bool askLoginShell = false;  // a bare name found nowhere: the login shell is asked, off the way to the page
    std::filesystem::path web;   // the folder whose index.html is shown
    std::optional<BridgeSettings> bridge;
};

ToolChain resolveToolChain(const Settings& settings, const std::filesystem::path& bundleWeb,
                           const platform::NodePlaces& places);

// The same tool chain with the login shell's answer for Node.js.
void takeLoginShellAnswer(ToolChain& chain, const platform::NodeChoice& answer);

}  // namespace nerix
