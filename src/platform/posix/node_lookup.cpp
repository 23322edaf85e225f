#include "platform/posix/node_lookup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/posix/program_output.h"

namespace nerix::platform {

namespace fs = std::filesystem;

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool isExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// "v20.11.1" as numbers, so that v20 comes after v9.
std::vector<long> versionNumbers(const std::string& name) {
    std::vector<long> numbers;
    std::istringstream in(name.substr(
        name.find_first_of("0123456789") == std::string::npos ? name.size() : name.find_first_of("0123456789")));
    for (long n; in >> n;) {
        numbers.push_back(n);
        if (in.peek() != '.') break;
        in.get();
    }
    return numbers;
}

// The newest <folder>/<version>/<below>/<name> that can be run.
std::string newestVersion(const fs::path& folder, const std::string& below, const std::string& name) {
    std::error_code error;
    std::string best;
    std::vector<long> bestVersion;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string candidate = (entry.path() / below / name).string();
        std::vector<long> version = versionNumbers(entry.path().filename().string());
        if (version.empty() || !isExecutableFile(candidate)) continue;
        if (best.empty() || version > bestVersion) best = candidate, bestVersion = std::move(version);
    }
    return best;
}

fs::path orHome(const std::string& value, const std::string& home, const char* usual) {
    return value.empty() ? fs::path(home) / usual : fs::path(value);
}

std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

NodePlaces NodePlaces::fromEnvironment() {
    return NodePlaces{environment("PATH"),    environment("HOME"),       environment("SHELL"),
                      environment("NVM_DIR"), environment("VOLTA_HOME"), environment("FNM_DIR")};
}

bool isBareName(const std::string& value) { return value.find('/') == std::string::npos; }

NodeChoice findNode(const std::string& value, const NodePlaces& places) {
    if (!isBareName(value)) return {value, value + ": as set"};
    const std::string name = value.empty() ? "node" : value;
    // "<path>: [the newest ]node <how it was found>"
    auto chosen = [&name](const std::string& found, std::string_view newest, std::string_view how) {
        std::string why = found;
        why.append(": ").append(newest).append(name).append(how);
        return NodeChoice{found, std::move(why)};
    };
    std::istringstream path(places.path);
    for (std::string folder; std::getline(path, folder, ':');) {
        if (folder.empty() || folder.front() != '/') continue;  // never relative to the current folder
        const std::string candidate = (fs::path(folder) / name).string();
        if (isExecutableFile(candidate)) return chosen(candidate, "", " found in PATH");
    }
    if (places.home.empty()) return {};
    const fs::path home = places.home;
    const std::string nvm = newestVersion(orHome(places.nvmDir, places.home, ".nvm") / "versions/node", "bin", name);
    if (!nvm.empty()) return chosen(nvm, "the newest ", " installed by nvm");
    const std::string volta = (orHome(places.voltaHome, places.home, ".volta") / "bin" / name).string();
    if (isExecutableFile(volta)) return chosen(volta, "", " installed by volta");
    for (const fs::path& fnm : {orHome(places.fnmDir, places.home, ".local/share/fnm"), home / ".fnm"}) {
        const std::string found = newestVersion(fnm / "node-versions", "installation/bin", name);
        if (!found.empty()) return chosen(found, "the newest ", " installed by fnm");
    }
    for (const fs::path& folder : {home / ".local/bin", fs::path("/usr/local/bin")}) {
        const std::string candidate = (folder / name).string();
        if (isExecutableFile(candidate)) return chosen(candidate, "", " found in " + folder.string());
    }
    return {};
}

NodeChoice askLoginShell(const std::string& value, const NodePlaces& places, std::chrono::milliseconds limit) {
    const std::string name = value.empty() ? "node" : value;
    if (places.shell.empty() || places.shell.front() != '/') return {};
    // Cut off at `limit`, with whatever its profile started.
    const auto output = programOutput({places.shell, "-lc", "command -v " + shellQuoted(name)}, limit);
    if (!output) return {};
    // A profile may print; the answer is the last line that names a program we can run.
    std::istringstream lines(*output);
    std::string found;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line.front() == '/' && isExecutableFile(line)) found = line;
    if (found.empty()) return {};
    return {found, found + ": " + name + " found in the login shell's PATH (" + places.shell + ")"};
}

Result<NodeChoice> findNode(const std::string& configured) {
    if (!isBareName(configured)) return findNode(configured, NodePlaces{});
    const auto places = NodePlaces::fromEnvironment();
    if (auto found = findNode(configured, places); !found.path.empty()) return found;
    if (auto found = askLoginShell(configured, places); !found.path.empty()) return found;
    return fail("Node.js (" + (configured.empty() ? std::string("node") : configured) +
                    ") was not found in PATH, nvm, volta, fnm, ~/.local/bin, /usr/local/bin or the login shell",
                ENOENT);
}

}  // namespace nerix::platform
