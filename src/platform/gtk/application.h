#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/setting_values.h"

namespace nerix::platform {

// What a launch was given on its command line: the settings (--node, --repo-root, --web) as
// typed, the folder that launch was started in, against which relative paths are taken, and
// the files to open.
struct LaunchOptions {
    SettingValues settings;
    std::string folder;
    std::vector<std::string> files;  // as given (paths, relative ones too, or URIs)
};

// What the application hears of GApplication's life, in its order. The application ends when
// its last window has closed.
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    // "startup": once, in the start that owns the ID, before any window exists.
    virtual void startup() {}
    // The first "activate": the launch (its options in launchOptions()) may open its window.
    virtual void activate() = 0;
    // "command-line" of a later start that was given settings: the running window takes them.
    virtual void commandLine(const LaunchOptions& /*later*/) {}
    // "open", or a later start's file arguments: `files` as given, relative ones against `folder`.
    virtual void open(const std::vector<std::string>& /*files*/, const std::string& /*folder*/) {}
    // "shutdown": the event loop has ended; the last thing before the process ends.
    virtual void shutdown() {}
};

// The process's one application object: a GTK application with an ID, one per user session.
// A later start hands over to the running one, which presents its window (and takes the settings
// options that start was given), and exits 0 without launching anything. Without a session bus
// every start runs alone. Its windows carry the ID as their X11 class and Wayland app ID.
class Application {
public:
    // `versionText` is what --version prints.
    Application(const std::string& id, std::string versionText);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // The delegate is not owned: its holder keeps it for the life of the process.
    void setDelegate(ApplicationDelegate& delegate);

    // Handles the command line (--version, --help, --inspect, and the settings options a later
    // start hands over), then runs the event loop until it ends. Returns 0 then, and after a hand-over or --version; non-zero for a command line it
    // refused.
    int run(int argc, char** argv);

    // --inspect was given: the page offers the web inspector.
    bool inspectorRequested() const;

    // The settings this launch was given on its command line.
    const LaunchOptions& launchOptions() const;

    // Runs `work` on the main thread's event loop, soon; callable from any thread.
    static void runOnMainThread(std::function<void()> work);
    // A stop signal (SIGTERM, SIGINT) is closing the windows: nothing may hold them open to ask.
    bool stopRequested() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace nerix::platform
