#pragma once

#include <functional>
#include <memory>
#include <string>

namespace nerix::platform {

// The values the Preferences window edits. An empty `web` is the bundled web interface.
struct PreferencesValues {
    std::string repoRoot, node, web;
};

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
    void setSave(std::function<void(const PreferencesValues&)> save);

    // Shows the window over the application's window with the values in use.
    void present(const PreferencesValues& values);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace nerix::platform
