#include "jobs/output_dir.h"

#include <pwd.h>
#include <unistd.h>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string_view>
#include <vector>

#include "http/path.h"

namespace nerix {
namespace {

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    // No HOME: the account's own entry, as a login shell would have set it.
    std::vector<char> buffer(16 * 1024);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return "/";
}

std::string_view skipBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    return text;
}

bool consume(std::string_view& text, std::string_view prefix) {
    if (text.substr(0, prefix.size()) != prefix) return false;
    text.remove_prefix(prefix.size());
    return true;
}

// One line of user-dirs.dirs, read the way xdg-user-dir reads it:
//   XDG_MUSIC_DIR="$HOME/Music"   or   XDG_MUSIC_DIR="/absolute/path"
// Inside the quotes a backslash makes the next character literal. Anything else is skipped.
std::optional<std::string> musicFolderFromLine(std::string_view line, const std::string& home) {
    line = skipBlanks(line);
    if (!consume(line, "XDG_MUSIC_DIR")) return std::nullopt;
    line = skipBlanks(line);
    if (!consume(line, "=")) return std::nullopt;
    line = skipBlanks(line);
    if (!consume(line, "\"")) return std::nullopt;
    bool underHome = consume(line, "$HOME/");
    if (!underHome && (line.empty() || line.front() != '/')) return std::nullopt;

    std::string path;
    for (std::size_t i = 0; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        path += line[i];
    }
    return underHome ? appendPathComponent(home, path) : path;
}

std::string musicFolder() {
    std::string home = homeFolder();
    std::string configHome;
    // Only an absolute XDG_CONFIG_HOME counts; otherwise the default under the home folder.
    if (const char* value = std::getenv("XDG_CONFIG_HOME"); value && value[0] == '/')
        configHome = value;
    else
        configHome = appendPathComponent(home, ".config");

    std::optional<std::string> music;
    std::ifstream file(appendPathComponent(configHome, "user-dirs.dirs"));
    // The last valid line wins.
    for (std::string line; std::getline(file, line);) {
        if (auto found = musicFolderFromLine(line, home)) music = std::move(found);
    }
    if (music) return *music;
    return appendPathComponent(home, "Music");
}

}  // namespace

std::string userNerixOutputDir() { return appendPathComponent(musicFolder(), "Nerix"); }

}  // namespace nerix
