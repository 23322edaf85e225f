#pragma once

#include <memory>

namespace nerix::platform {

class Window;
class WebView;

// The window's actions, with their keys: win.zoom-in, win.zoom-out and win.zoom-reset for the
// page's zoom, in the steps a browser offers; win.fullscreen; and win.close, through the
// window's close request.
class WindowActions {
public:
    WindowActions(Window& window, WebView& view);
    ~WindowActions();  // takes them away again
    WindowActions(const WindowActions&) = delete;
    WindowActions& operator=(const WindowActions&) = delete;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace nerix::platform
