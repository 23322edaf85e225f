#include "app/settings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <tuple>

#include <glib.h>

#include "platform/posix/files.h"

namespace nerix {

namespace fs = std::filesystem;

namespace {

void take(Setting& setting, const std::optional<std::string>& value, SettingLayer layer) {
    if (value && !value->empty()) setting = Setting{*value, layer};
}

std::optional<std::string> keyText(GKeyFile* file, const char* group, const char* key) {
    g_autofree gchar* value = g_key_file_get_string(file, group, key, nullptr);
    if (!value) return std::nullopt;
    return std::string(value);
}

// GLib names the line in its own words ("Key file contains line “x” which is not a key-value
// pair..."); the line number is found by parsing the lines before it again.
std::optional<std::string> lineOfError(const std::string& bytes) {
    std::string prefix;
    std::istringstream lines(bytes);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        prefix += line + "\n";
        g_autoptr(GKeyFile) probe = g_key_file_new();
        if (!g_key_file_load_from_data(probe, prefix.data(), prefix.size(), G_KEY_FILE_NONE, nullptr))
            return "line " + std::to_string(number);
    }
    return std::nullopt;
}

}  // namespace

Settings layerSettings(const SettingValues& bundle, const SettingValues& file, const SettingValues& options,
                       fs::path settingsFile) {
    Settings settings;
    settings.file = std::move(settingsFile);
    for (const auto& [values, layer] :
         {std::pair{&bundle, SettingLayer::Bundle}, {&file, SettingLayer::File}, {&options, SettingLayer::Options}}) {
        take(settings.node, values->node, layer);
        take(settings.repoRoot, values->repoRoot, layer);
        take(settings.web, values->web, layer);
    }
    return settings;
}

std::string layerName(const Settings& settings, SettingLayer layer) {
    switch (layer) {
        case SettingLayer::Bundle: return "Info.plist";
        case SettingLayer::File: return settings.file.string();
        case SettingLayer::Options: return "the launch options";
        case SettingLayer::None: break;
    }
    return "the bundle's default";
}

fs::path settingsFilePath(const std::string& configHome, const std::string& home) {
    const fs::path base =
        !configHome.empty() && configHome.front() == '/' ? fs::path(configHome) : fs::path(home) / ".config";
    return base / "vantorel" / "settings.ini";
}

std::string resolvePath(const std::string& value, const fs::path& folder, const std::string& home,
                        bool bareNameAllowed) {
    if (value.empty()) return value;
    if (bareNameAllowed && value.find('/') == std::string::npos && value != "~") return value;
    if (value == "~") return home;
    if (value.rfind("~/", 0) == 0) return (fs::path(home) / value.substr(2)).lexically_normal().string();
    if (value.front() == '/') return fs::path(value).lexically_normal().string();
    return (folder / value).lexically_normal().string();
}

SettingValues resolveOptions(const SettingValues& typed, const fs::path& folder, const std::string& home) {
    auto resolve = [&](const std::optional<std::string>& value, bool bare) -> std::optional<std::string> {
        if (!value) return std::nullopt;
        return resolvePath(*value, folder, home, bare);
    };
    return SettingValues{resolve(typed.node, true), resolve(typed.repoRoot, false), resolve(typed.web, false)};
}

std::string homeFolder() {
    const char* home = std::getenv("HOME");
    return home ? home : "";
}

SettingsFile readSettingsFile(const fs::path& path, const fs::path& folder, const std::string& home) {
    SettingsFile file{path, {}, std::nullopt};
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno != ENOENT) file.error = path.string() + ": " + std::strerror(errno);
        return file;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        file.error = path.string() + ": could not be read";
        return file;
    }
    g_autoptr(GKeyFile) keys = g_key_file_new();
    g_autoptr(GError) error = nullptr;
    if (!g_key_file_load_from_data(keys, bytes.data(), bytes.size(), G_KEY_FILE_NONE, &error)) {
        const auto line = lineOfError(bytes);
        file.error = path.string() + ": " + (line ? *line + ": " : "") + error->message;
        return file;
    }
    auto path_ = [&](const char* group, const char* key, bool bare) -> std::optional<std::string> {
        auto value = keyText(keys, group, key);
        if (value) value = resolvePath(*value, folder, home, bare);
        return value;
    };
    file.values = SettingValues{path_("toolchain", "node", true), path_("toolchain", "repo-root", false),
                                path_("web", "folder", false)};
    return file;
}

Result<void> saveSettingsFile(const SettingsFile& current, const SettingValues& values, std::time_t now) {
    if (auto made = platform::createDirectories(current.path.parent_path().string()); !made) return fail(made.error());
    g_autoptr(GKeyFile) keys = g_key_file_new();
    if (current.error) {
        std::error_code missing;
        if (fs::exists(current.path, missing)) {
            char stamp[32];
            std::tm local{};
            localtime_r(&now, &local);
            std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
            const fs::path kept = current.path.string() + ".bad-" + stamp;
            if (::rename(current.path.c_str(), kept.c_str()) != 0)
                return fail(kept.string() + ": " + std::strerror(errno), errno);
        }
    } else {
        // Comments and keys of other groups stay as the user wrote them.
        g_key_file_load_from_file(keys, current.path.c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr);
    }
    for (const auto& [group, key, value] : {std::tuple{"toolchain", "node", &values.node},
                                            {"toolchain", "repo-root", &values.repoRoot},
                                            {"web", "folder", &values.web}}) {
        if (*value && !(*value)->empty())
            g_key_file_set_string(keys, group, key, (*value)->c_str());
        else
            g_key_file_remove_key(keys, group, key, nullptr);
    }
    gsize length = 0;
    g_autofree gchar* text = g_key_file_to_data(keys, &length, nullptr);
    auto written = platform::writeTextAtomically(current.path.string(), std::string_view(text, length));
    if (!written) return fail(written.error());
    return {};
}

}  // namespace nerix
