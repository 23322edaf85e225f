#include "app/settings_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nerix {

namespace fs = std::filesystem;

namespace {

// "not found", "not a folder"... from stat's answer.
std::optional<std::string> statProblem(const std::string& path, struct stat& info) {
    if (::stat(path.c_str(), &info) == 0) return std::nullopt;
    return errno == ENOENT || errno == ENOTDIR ? std::string("not found") : std::string(std::strerror(errno));
}

}  // namespace

std::optional<SettingProblem> checkNode(const std::string& path) {
    if (path.empty() || path.find('/') == std::string::npos) {
        const std::string name = path.empty() ? "node" : path;
        return SettingProblem{"not found in PATH, nvm, volta, fnm, ~/.local/bin, /usr/local/bin or the login shell",
                              "Node.js (" + name + ") was not found in PATH or the usual places"};
    }
    struct stat info {};
    if (auto problem = statProblem(path, info))
        return SettingProblem{*problem, *problem == "not found"
                                            ? "Node.js was not found at " + path
                                            : "Node.js at " + path + " cannot be used: " + *problem};
    if (!S_ISREG(info.st_mode) || ::access(path.c_str(), X_OK) != 0)
        return SettingProblem{"not an executable file", "Node.js at " + path + " is not an executable file"};
    return std::nullopt;
}

std::optional<SettingProblem> checkRepoRoot(const std::string& folder) {
    if (folder.empty()) return SettingProblem{"not set", "No tool chain folder is set"};
    struct stat info {};
    if (auto problem = statProblem(folder, info))
        return SettingProblem{*problem, "The tool chain folder " + folder + " was not found"};
    if (!S_ISDIR(info.st_mode))
        return SettingProblem{"not a folder", "The tool chain folder " + folder + " is not a folder"};
    const std::string entry = (fs::path(folder) / "packages/cli/dist/index.js").string();
    if (::stat(entry.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return SettingProblem{"holds no packages/cli/dist/index.js",
                              "The tool chain folder " + folder + " holds no packages/cli/dist/index.js"};
    return std::nullopt;
}

std::optional<SettingProblem> checkWebFolder(const std::string& folder) {
    if (fs::path(folder).lexically_normal() == "/")
        return SettingProblem{"is the root folder", "The web interface folder cannot be the root folder"};
    struct stat info {};
    const std::string page = (fs::path(folder) / "index.html").string();
    if (::stat(page.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return SettingProblem{"holds no index.html", "The web interface folder " + folder + " holds no index.html"};
    return std::nullopt;
}

SettingsReport checkSettings(const Settings& settings, const std::string& node, const fs::path& web) {
    SettingsReport report;
    auto note = [&](const char* key, const Setting& setting, const std::string& value,
                    const std::optional<SettingProblem>& problem) {
        if (!problem) return;
        // A value nobody set is named as such, not as an empty one.
        report.logLines.push_back(value.empty() ? std::string("Setting ") + key + ": " + problem->what +
                                                      " in Info.plist, the settings file or the launch options"
                                                : std::string("Setting ") + key + " = \"" + value + "\" (from " +
                                                      layerName(settings, setting.layer) + "): " + problem->what);
        report.sentences.push_back(problem->sentence);
    };
    note("node", settings.node, node, checkNode(node));
    note("repo-root", settings.repoRoot, settings.repoRoot.value, checkRepoRoot(settings.repoRoot.value));
    note("web folder", settings.web, web.string(), checkWebFolder(web.string()));
    return report;
}

}  // namespace nerix
