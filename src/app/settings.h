#pragma once

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

#include "base/result.h"
#include "base/setting_values.h"

namespace nerix {

// Where the tool chain and the web interface come from, in layers, later ones winning key by
// key: the bundle's Info.plist (what the package ships), the user's settings file, and the
// launch options (this launch only, never saved), each a SettingValues. An empty value counts
// as absent.

enum class SettingLayer { None, Bundle, File, Options };

// A value and the layer it came from.
struct Setting {
    std::string value;
    SettingLayer layer = SettingLayer::None;
};

struct Settings {
    Setting node, repoRoot, web;
    std::filesystem::path file;  // the user's settings file, for the words that name a layer
};

// The layers joined, key by key.
Settings layerSettings(const SettingValues& bundle, const SettingValues& file, const SettingValues& options,
                       std::filesystem::path settingsFile = {});

// Where a layer is, in words for a log line: the Info.plist, the settings file's path, "the
// launch options".
std::string layerName(const Settings& settings, SettingLayer layer);

// $XDG_CONFIG_HOME/vantorel/settings.ini, or ~/.config/... when that is unset or not absolute.
std::filesystem::path settingsFilePath(const std::string& configHome, const std::string& home);

// A path as the user wrote it: "~" and "~/..." mean the home folder, a relative path is taken
// from `folder`. A bare Node.js name (no "/") stays as it is, to be looked up.
std::string resolvePath(const std::string& value, const std::filesystem::path& folder, const std::string& home,
                        bool bareNameAllowed);

// Launch options as typed, with their paths resolved against the folder the launch was
// started in.
SettingValues resolveOptions(const SettingValues& typed, const std::filesystem::path& folder, const std::string& home);

// $HOME.
std::string homeFolder();

// The user's settings file. A file that is missing is no error and sets nothing; one that cannot
// be read or parsed sets nothing and says why ("<file>: line 3: ...").
struct SettingsFile {
    std::filesystem::path path;
    SettingValues values;
    std::optional<std::string> error;
};
SettingsFile readSettingsFile(const std::filesystem::path& path, const std::filesystem::path& folder,
                              const std::string& home);

// Writes the three values (an absent or empty one removes its key; other keys and comments of
// a readable file stay) in one atomic step. A file that could not be read is first kept as
// <file>.bad-<time>, so nothing the user wrote is lost.
Result<void> saveSettingsFile(const SettingsFile& current, const SettingValues& values, std::time_t now);

}  // namespace nerix
