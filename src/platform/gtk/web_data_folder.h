#pragma once

#include <filesystem>

namespace nerix::platform {

// The folder of WebKit's default network session, where what pages store is kept:
// $XDG_DATA_HOME/<program name> (~/.local/share/... when the variable is unset), as WebKit
// names it. Found without asking WebKit, since making the session starts its network process.
std::filesystem::path webDataFolder();

}  // namespace nerix::platform
