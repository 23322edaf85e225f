#pragma once

#include <string_view>

namespace nerix {

// The web interface's own origin. Stored page data (localStorage, IndexedDB) is keyed by it,
// so these never change: a new name would leave every user's stored data behind.
inline constexpr std::string_view kPageScheme = "vantorel";
inline constexpr std::string_view kPageHost = "app";
inline constexpr std::string_view kPageOrigin = "vantorel://app";

}  // namespace nerix
