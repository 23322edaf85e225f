#pragma once

#include <string_view>

namespace nerix {

// The version of the bridge's HTTP API, as the health answer reports it. It changes only when
// what a page may send or read changes, not with every release of the application.
inline constexpr std::string_view kBridgeApiVersion = "0.2.0";

}  // namespace nerix
