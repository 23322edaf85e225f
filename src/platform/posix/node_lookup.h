#pragma once

#include <chrono>
#include <string>

#include "base/result.h"

namespace nerix::platform {

// Where Node.js may be installed for the user. A program started from the desktop's menu does
// not get the PATH a terminal has, so a bare name is looked for in the places the usual version
// managers put it as well.
struct NodePlaces {
    std::string path;                       // $PATH
    std::string home;                       // $HOME
    std::string shell;                      // $SHELL, asked last
    std::string nvmDir, voltaHome, fnmDir;  // $NVM_DIR, $VOLTA_HOME, $FNM_DIR; empty: the usual folder in home

    static NodePlaces fromEnvironment();
};

// The Node.js taken and why, in words for the log ("/usr/bin/node: node found in PATH");
// `path` is empty when none was found.
struct NodeChoice {
    std::string path;
    std::string why;
};

// `name` as a desktop launch needs it, without starting anything: a path with a "/" as it is;
// a bare name (empty: "node") in PATH, then the newest version under nvm, then volta, fnm,
// ~/.local/bin and /usr/local/bin. Only executable files count.
NodeChoice findNode(const std::string& value, const NodePlaces& places);

// The last resort, which starts a program: `$SHELL -lc 'command -v NAME'`, the login shell's
// PATH. A shell that has not answered within `limit` is ended with everything it started.
NodeChoice askLoginShell(const std::string& value, const NodePlaces& places,
                         std::chrono::milliseconds limit = std::chrono::seconds(2));

// The Node.js to run for `configured` (a path, a bare name, or empty for "node"): a path as it
// is, else findNode's places for this process's environment, then the login shell. When none is
// found, the Error's message is the one sentence that says so.
Result<NodeChoice> findNode(const std::string& configured);

// True when `value` names Node.js by a bare name (or not at all) and must be looked up.
bool isBareName(const std::string& value);

}  // namespace nerix::platform
