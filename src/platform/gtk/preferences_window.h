#pragma once

#include <functional>
#include <memory>
#include <string>

#include "base/setting_values.h"

namespace nerix::platform {

// The Preferences window: the tool chain folder, Node.js (with its version, asked in the
// background) and the web interface, each checked as it is chosen, and Save.
class PreferencesWindow {
public:
    enum class Field { RepoRoot, Node, Web };

    PreferencesWindow();
    ~PreferencesWindow();
    PreferencesWindow(const PreferencesWindow&) = delete;
    PreferencesWindow& operator=(const PreferencesWindow&) = delete;

    // What is wrong with a value, in a sentence; empty when nothing is.
    void setCheck(std::function<std::string(Field, const std::string&)> check);
    // Finds Node.js as a launch does; empty when none is found.
    void setFindNode(std::function<std::string()> find);
    // Saves the values chosen, each present (an empty `web`: the bundled web interface).
    void setSave(std::function<void(const SettingValues&)> save);

    // Shows the window over the application's window with the values in use (absent: empty).
    void present(const SettingValues& values);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace nerix::platform
