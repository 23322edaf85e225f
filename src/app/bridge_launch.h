#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/setting_values.h"
#include "bridge/nerix_bridge.h"

namespace nerix {

// Makes a bridge for Node.js and the tool chain's folder and starts it; throws NerixError when
// the bridge cannot be made.
using BridgeStarter = std::function<std::shared_ptr<NerixBridge>(const std::string& node, const std::string& repoRoot)>;

struct BridgeLaunch {
    std::shared_ptr<NerixBridge> bridge;  // empty when there is none
    std::optional<std::string> script;    // the user script, present exactly when there is a bridge
};

// Brings up the bridge when the values in use allow it: node and repo-root both there and
// neither empty; otherwise there is no bridge and nothing is logged. A construction failure
// writes the one line "NerixBridge failed to start: <description>" and leaves no bridge and no
// script. The script carries the port as it is when the start returns: 0 when the wait expired.
BridgeLaunch bringUpBridge(const SettingValues& inUse, const BridgeStarter& start,
                           const std::function<void(std::string_view)>& log);

// The five-line script that defines window.__NERIX_BRIDGE for the page. The token is Base64
// and needs no escaping.
std::string bridgeScript(std::uint16_t port, std::string_view token);

}  // namespace nerix
