#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/settings.h"

namespace nerix {

// What is wrong with one value, found without starting anything: `what` for the log line
// ("not found"), `sentence` for the bar above the page ("Node.js was not found at /x/node").
struct SettingProblem {
    std::string what;
    std::string sentence;
};

// Node.js must be an executable file (given as a path: a bare name still unfound is `name`).
std::optional<SettingProblem> checkNode(const std::string& path);
// The repository root must be a folder holding packages/cli/dist/index.js.
std::optional<SettingProblem> checkRepoRoot(const std::string& folder);
// The web folder must hold index.html, and may not be the root folder (its pages would reach
// every file).
std::optional<SettingProblem> checkWebFolder(const std::string& folder);

// Every problem of the settings in use, each with its one log line: the setting, its value,
// where it came from, and what is wrong. `node` is the Node.js taken for the setting,
// `web` the web folder in use.
struct SettingsReport {
    std::vector<std::string> logLines;
    std::vector<std::string> sentences;
};
SettingsReport checkSettings(const Settings& settings, const std::string& node, const std::filesystem::path& web);

}  // namespace nerix
