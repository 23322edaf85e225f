#pragma once

#include <memory>

namespace nerix::platform {

// What the window system tells the application.
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    // Called once, when the application has finished launching and may open its window.
    virtual void applicationDidFinishLaunching() = 0;
    // Asked when the last window has closed: true ends the event loop.
    virtual bool applicationShouldTerminateAfterLastWindowClosed() = 0;
};

// The process's one application object: a GTK application that is not unique, so that any
// number of copies may run side by side, each with its own bridge.
class Application {
public:
    Application();
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // The delegate is not owned: its holder keeps it for the life of the process.
    void setDelegate(ApplicationDelegate& delegate);

    // Runs the event loop until it ends; returns 0 then.
    int run();

    // Makes the process an ordinary application with its own window in the task list. GTK
    // applications are that already; kept so the launch reads in its own order.
    void setActivationPolicyRegular();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace nerix::platform
