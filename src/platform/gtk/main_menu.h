#pragma once

#include "platform/gtk/about_window.h"
#include "platform/gtk/app_actions.h"
#include "platform/gtk/header_bar.h"
#include "platform/gtk/window_actions.h"

namespace nerix::platform {

class Window;
class WebView;

// The window's header bar and main menu, and the application's and the window's actions with
// their keys (app_actions.h, window_actions.h). No key the page's text fields use for editing
// is taken.
class MainMenu {
public:
    MainMenu(Window& window, WebView& view, AboutText about);

    // For a window at its first size: the page keeps the size asked for (see HeaderBar).
    void keepPageSize() { header_.keepPageSize(); }

private:
    HeaderBar header_;
    ApplicationActions applicationActions_;
    WindowActions windowActions_;
};

}  // namespace nerix::platform
