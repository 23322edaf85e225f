#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "app/job_desktop.h"
#include "app/page_files.h"
#include "bridge/job_event.h"
#include "platform/gtk/desktop_services.h"
#include "platform/gtk/window.h"

namespace nerix {

// The jobs as the desktop shows them beside the window: the launcher's count, suspend held
// off while one runs or waits, a notification for one that ended unseen (with Show in Files),
// and what a job wrote in the page's reach and the desktop's recent files. The page's own
// Show in Files and Open go through the same desktop. Main thread.
class DesktopJobs {
public:
    // What a job writes is added to `granted`.
    explicit DesktopJobs(GrantedFiles& granted) : granted_(granted) {}

    // The window is there: the desktop follows it, and its colour scheme the desktop's.
    void attach(platform::Window& window);

    // One of the bridge's events, `at` the time it left the bridge's queue.
    void jobEvent(const JobEvent& event, std::chrono::steady_clock::time_point at);
    // The bridge was stopped for another: its jobs are gone, and so is what they held.
    void bridgeStopped();
    // The window closes: the tools stop as the application ends, and the desktop hears of it now.
    void windowClosing();

    int count() const { return jobs_.count(); }
    std::string currentJob() const { return jobs_.currentJob(); }

    void showInFiles(const std::string& file, std::function<void(bool)> done);
    void openWithDefault(const std::string& file, std::function<void(bool)> done);

private:
    void show(const JobDesktopView& view);

    GrantedFiles& granted_;
    platform::Window* window_ = nullptr;
    std::unique_ptr<platform::DesktopServices> desktop_;
    JobDesktop jobs_;
};

}  // namespace nerix
