#pragma once

#include <string>
#include <string_view>

namespace nerix {

// The web interface's own origin. Stored page data (localStorage, IndexedDB) is keyed by it,
// so these never change: a new name would leave every user's stored data behind.
inline constexpr std::string_view kPageScheme = "vantorel";
inline constexpr std::string_view kPageHost = "app";
inline constexpr std::string_view kPageOrigin = "vantorel://app";

// The user scripts reach the pages of the page's origin, and no other page.
std::string scriptAllowPattern();

// A link the user follows (or a new window a page asks for) to a web site or a mail address
// leaves the origin for the user's browser; the pages of the page's origin and anything a page
// loads by itself stay in the window.
bool opensInBrowser(std::string_view uri, bool followedByUser);

}  // namespace nerix
