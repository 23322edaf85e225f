#pragma once

namespace nerix::platform {

class Window;

// The window's header bar, titled with the window's title, with the main menu's button at its
// end (F10 opens it): Preferences; Keyboard Shortcuts and About; Quit. The items are the
// application's actions (app_actions.h): one whose action does not exist yet is insensitive.
class HeaderBar {
public:
    explicit HeaderBar(Window& window);  // the window owns the bar

    // For a window at its first size: the window grows by the header bar (and the frame drawn
    // where there is no compositor), so the page keeps the size asked for.
    void keepPageSize();

private:
    void* window_;  // the GtkWindow
    void* header_;  // the GtkHeaderBar in it
};

}  // namespace nerix::platform
