#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nerix::platform {

class Window;
class WebView;

// What the About window says.
struct AboutText {
    std::string name;
    std::string version;
    std::string copyright;
    std::string comments;
    std::string website;               // none when empty
    std::vector<std::string> credits;  // the libraries it stands on
};

// The window's header bar, titled with the window's title, and its main menu: Preferences
// (the application's action "preferences", made elsewhere; insensitive until it exists),
// Keyboard Shortcuts, About and Quit, with the keys for them and for the page's zoom and full
// screen. Quit and Ctrl+W close the window through its close request, so closing asks the same
// question however it is asked for. No key the page's text fields use for editing is taken.
class MainMenu {
public:
    MainMenu(Window& window, WebView& view, AboutText about);
    ~MainMenu();
    MainMenu(const MainMenu&) = delete;
    MainMenu& operator=(const MainMenu&) = delete;

    // For a window at its first size: the window grows by the header bar (and the frame drawn
    // where there is no compositor), so the page keeps the size asked for.
    void keepPageSize();

    // Asks, in a dialog over the window, whether to go on; `answer` is told true for
    // `confirmLabel`, false for Cancel or a dismissed dialog.
    void ask(const std::string& question, const std::string& detail, const std::string& confirmLabel,
             std::function<void(bool)> answer);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace nerix::platform
