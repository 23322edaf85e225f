#include "app/launch_plan.h"

#include <cctype>
#include <system_error>

#include "app/page_origin.h"

namespace nerix {

std::optional<BridgeSettings> bridgeSettings(const std::optional<std::string>& nodePath,
                                             const std::optional<std::string>& repoRoot) {
    if (!nodePath || !repoRoot) return std::nullopt;
    if (nodePath->empty() || repoRoot->empty()) return std::nullopt;
    return BridgeSettings{*nodePath, *repoRoot};
}

std::string bridgeScript(std::uint16_t port, std::string_view token) {
    const std::string portText = std::to_string(port);
    std::string script = "window.__NERIX_BRIDGE = {\n  port: ";
    script += portText;
    script += ",\n  token: \"";
    script += token;
    script += "\",\n  origin: \"http://127.0.0.1:";
    script += portText;
    script += "\"\n};";
    return script;
}

std::shared_ptr<NerixBridge> startBridge(const BridgeSettings& settings) {
    auto bridge = std::make_shared<NerixBridge>(settings.nodePath, settings.repoRoot);
    bridge->start();
    return bridge;
}

BridgeLaunch bringUpBridge(const std::optional<BridgeSettings>& settings, const BridgeStarter& start,
                           const std::function<void(std::string_view)>& log) {
    if (!settings) return {};
    std::shared_ptr<NerixBridge> bridge;
    try {
        bridge = start(*settings);
    } catch (const NerixError& error) {
        log("NerixBridge failed to start: " + error.description());
        return {};
    }
    // Read once, now: a port assigned after the wait expired does not reach the page.
    return BridgeLaunch{bridge, bridgeScript(bridge->port(), bridge->token())};
}

std::filesystem::path webFolder(const std::filesystem::path& resourceFolder) { return resourceFolder / "Web"; }

PageChoice choosePage(const std::filesystem::path& resourceFolder) {
    // No resource folder known (an empty path): never a page relative to the working folder.
    if (!resourceFolder.is_absolute()) return PageChoice{false, {}, std::string(kFallbackPage)};
    return choosePageIn(webFolder(resourceFolder));
}

PageChoice choosePageIn(const std::filesystem::path& webFolder) {
    const std::filesystem::path folder = webFolder.lexically_normal();
    if (!folder.is_absolute() || folder == folder.root_path()) return PageChoice{false, {}, std::string(kFallbackPage)};
    const std::filesystem::path page = folder / "index.html";
    std::error_code error;
    if (!std::filesystem::is_regular_file(page, error)) return PageChoice{false, {}, std::string(kFallbackPage)};
    return PageChoice{true, std::string(kPageOrigin) + "/", {}};
}

std::string scriptAllowPattern() { return std::string(kPageOrigin) + "/*"; }

bool opensInBrowser(std::string_view uri, bool followedByUser) {
    if (!followedByUser) return false;
    auto colon = uri.find(':');
    if (colon == std::string_view::npos) return false;
    std::string scheme;
    for (char c : uri.substr(0, colon)) scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme == "http" || scheme == "https" || scheme == "mailto";
}

}  // namespace nerix
