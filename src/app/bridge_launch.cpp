#include "app/bridge_launch.h"

namespace nerix {

BridgeLaunch bringUpBridge(const SettingValues& inUse, const BridgeStarter& start,
                           const std::function<void(std::string_view)>& log) {
    const std::string node = inUse.node.value_or(""), repoRoot = inUse.repoRoot.value_or("");
    if (node.empty() || repoRoot.empty()) return {};
    std::shared_ptr<NerixBridge> bridge;
    try {
        bridge = start(node, repoRoot);
    } catch (const NerixError& error) {
        log("NerixBridge failed to start: " + error.description());
        return {};
    }
    // Read once, now: a port assigned after the wait expired does not reach the page.
    return BridgeLaunch{bridge, bridgeScript(bridge->port(), bridge->token())};
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

}  // namespace nerix
