#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "base/window_placement.h"

namespace nerix::platform {

class SettingsBar;
class WebView;

// The main window: titled, closable, minimisable and resizable.
class Window {
public:
    // A window whose content area is `width` x `height`.
    Window(int width, int height);
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    void setTitle(const std::string& title);
    void setMinimumSize(int width, int height);

    // The view fills the content area and follows its size.
    void setChild(WebView& view);
    // The same, with the settings bar above the view.
    void setChild(SettingsBar& bar, WebView& view);

    // Places the window in the middle of its screen when it is shown.
    void center();

    // Shows the window, brings it to the front and gives it the focus.
    void present();

    // Asked when the user, a key or the session closes the window: false keeps it open.
    void setCloseRequest(std::function<bool()> mayClose);
    // Closes it as the user would, through the close request.
    void close();

    // The window is the one the user works in; `changed` is told when that changes.
    bool isActive() const;
    void setActiveChanged(std::function<void(bool active)> changed);

    // Where the window is (see WindowPlacement); `restore` sets it before the window is shown.
    WindowPlacement placement() const;
    void restore(const WindowPlacement& placement);
    // The size of the monitor it opens on (the primary one), or 0 x 0 when none is known.
    static std::pair<int, int> monitorSize();

    // The GtkApplicationWindow behind it, for the platform layer's own files (its menu, actions
    // and dialogs); untyped, so that no GTK header reaches the rest of the program.
    void* widget() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace nerix::platform
