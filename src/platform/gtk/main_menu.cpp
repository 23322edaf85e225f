#include "platform/gtk/main_menu.h"

#include <utility>

namespace nerix::platform {

MainMenu::MainMenu(Window& window, WebView& view, AboutText about)
    : header_(window), applicationActions_(window, std::move(about)), windowActions_(window, view) {}

}  // namespace nerix::platform
