#pragma once

#include <functional>
#include <memory>
#include <string>

namespace nerix::platform {

class Window;

// A bar above the page that says, in a sentence or a few, what is wrong with the settings,
// with a "Preferences…" button. Hidden while there is nothing to say; takes no room then.
class SettingsBar {
public:
    SettingsBar();
    ~SettingsBar();
    SettingsBar(const SettingsBar&) = delete;
    SettingsBar& operator=(const SettingsBar&) = delete;

    // Shows the text (one problem a line); an empty text hides the bar.
    void show(const std::string& text);
    void setPreferencesClicked(std::function<void()> clicked);

    struct Impl;

private:
    friend class Window;
    void* widget() const;  // the GtkWidget, for the window that shows it

    std::unique_ptr<Impl> impl_;
};

}  // namespace nerix::platform
