#pragma once

#include <functional>
#include <memory>

#include "platform/gtk/about_window.h"

namespace nerix::platform {

class Window;

// The application's actions, which the main menu's items name, with their keys: app.shortcuts,
// app.about, app.quit, and app.preferences once installPreferencesAction has made it. Quit
// closes the window through its close request, so quitting asks the same question closing does.
// Only keys that no text field uses: copy, paste, cut, undo and select all stay the page's.
class ApplicationActions {
public:
    ApplicationActions(Window& window, AboutText about);
    ~ApplicationActions();  // takes them away again, all but app.preferences
    ApplicationActions(const ApplicationActions&) = delete;
    ApplicationActions& operator=(const ApplicationActions&) = delete;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// The application's action app.preferences (Ctrl+comma), which `open` carries out.
void installPreferencesAction(std::function<void()> open);

}  // namespace nerix::platform
