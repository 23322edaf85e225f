#pragma once

#include <filesystem>
#include <string>

#include "app/settings.h"
#include "base/setting_values.h"
#include "platform/posix/node_lookup.h"

namespace nerix {

// The tool chain and web interface the settings come to: the Node.js taken (found without
// starting anything) and the web folder in use.
struct ToolChain {
    Settings settings;
    std::string node;            // a path; the name as set when nothing was found
    std::string nodeWhy;         // the log line that says which Node.js was taken and why; empty when none
    bool askLoginShell = false;  // a bare name found nowhere: the login shell is asked, off the way to the page
    std::filesystem::path web;   // the folder whose index.html is shown

    // The values in use: the Node.js taken, the tool chain's folder (empty when unset), the web folder.
    SettingValues inUse() const;
};

ToolChain resolveToolChain(const Settings& settings, const std::filesystem::path& bundleWeb,
                           const platform::NodePlaces& places);

// The same tool chain with the login shell's answer for Node.js.
void takeLoginShellAnswer(ToolChain& chain, const platform::NodeChoice& answer);

}  // namespace nerix
