#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/nerix_bridge.h"

namespace nerix {

// The decisions of launch completion, apart from the window system: whether the configuration
// allows a bridge, bringing the bridge up, the script that hands it to the page, and which page
// to show. The delegate carries them out through the platform layer.

// The two values the bridge is made from.
struct BridgeSettings {
    std::string nodePath;
    std::string repoRoot;
};

// Both configuration values must be text (a value that is absent or not text arrives as
// nullopt) and neither may be empty; otherwise there is no bridge and nothing is logged.
std::optional<BridgeSettings> bridgeSettings(const std::optional<std::string>& nodePath,
                                             const std::optional<std::string>& repoRoot);

// The five-line script that defines window.__NERIX_BRIDGE for the page. The token is Base64
// and needs no escaping.
std::string bridgeScript(std::uint16_t port, std::string_view token);

// Makes a bridge and starts it; throws NerixError when the bridge cannot be made.
using BridgeStarter = std::function<std::shared_ptr<NerixBridge>(const BridgeSettings&)>;

// The real one: constructs the bridge and waits (at most about 2 s) until it listens.
std::shared_ptr<NerixBridge> startBridge(const BridgeSettings& settings);

struct BridgeLaunch {
    std::shared_ptr<NerixBridge> bridge;  // empty when there is none
    std::optional<std::string> script;    // the user script, present exactly when there is a bridge
};

// Brings up the bridge when the settings allow it. A construction failure writes the one line
// "NerixBridge failed to start: <description>" and leaves no bridge and no script. The script
// carries the port as it is when the start returns: 0 when the wait expired.
BridgeLaunch bringUpBridge(const std::optional<BridgeSettings>& settings, const BridgeStarter& start,
                           const std::function<void(std::string_view)>& log);

inline constexpr std::string_view kFallbackPage = "<h1>Vantorel resources missing.</h1>";

// The page to show: the page's origin serving Web/index.html of the resource folder, or, when
// there is no such file, the fallback text without a base address.
struct PageChoice {
    bool found = false;
    std::string uri;   // the page, when found: the origin's root
    std::string html;  // the fallback text, when not found
};
PageChoice choosePage(const std::filesystem::path& resourceFolder);
// The same for a web folder of its own: its index.html, or the fallback text when there is none,
// when the folder is not absolute, or when it is the root folder (whose pages would reach every
// file).
PageChoice choosePageIn(const std::filesystem::path& webFolder);

// The Web folder of the resource folder.
std::filesystem::path webFolder(const std::filesystem::path& resourceFolder);

// The user script reaches the pages of the page's origin, and no other page.
std::string scriptAllowPattern();

// A link the user follows (or a new window a page asks for) to a web site or a mail address
// opens in the user's browser rather than in the window; the pages of the page's origin and
// anything a page loads by itself stay in the window.
bool opensInBrowser(std::string_view uri, bool followedByUser);

}  // namespace nerix
