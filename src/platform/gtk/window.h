#pragma once

#include <memory>
#include <string>

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

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace nerix::platform
