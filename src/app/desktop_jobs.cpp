#include "app/desktop_jobs.h"

#include "platform/posix/system_log.h"

namespace nerix {

void DesktopJobs::attach(platform::Window& window) {
    window_ = &window;
    desktop_ = std::make_unique<platform::DesktopServices>(window);
    desktop_->followColorScheme();
    window.setActiveChanged([this](bool active) {
        if (active) show(jobs_.windowActivated());
    });
}

void DesktopJobs::jobEvent(const JobEvent& event, std::chrono::steady_clock::time_point at) {
    if (!desktop_) return;
    if (event.kind == JobEvent::Kind::Ended && event.outcome == JobEvent::Outcome::Succeeded && event.outputPath &&
        !event.outputPath->empty()) {
        // What a job wrote is the page's to show and open, and in every file chooser's Recent.
        granted_.add(*event.outputPath);  // the bridge has it already
        desktop_->addRecentFile(*event.outputPath);
    }
    const JobDesktopView view = jobs_.apply(event, window_->isActive());
    show(view);
    if (!view.notice) return;
    desktop_->sendNotification(view.notice->id, view.notice->title, view.notice->body, view.notice->showInFiles);
    const auto delay = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - at);
    platform::logLine("notification \"" + view.notice->title + "\" sent " +
                      std::to_string(static_cast<double>(delay.count()) / 1000.0) + " ms after the job ended");
}

void DesktopJobs::bridgeStopped() {
    // Suspend and the launcher count let go of the stopped bridge's jobs.
    jobs_ = JobDesktop();
    show(jobs_.windowActivated());
}

void DesktopJobs::windowClosing() {
    if (!desktop_) return;
    desktop_->inhibitSuspend(std::nullopt);
    desktop_->setLauncherCount(0, false);
}

void DesktopJobs::showInFiles(const std::string& file, std::function<void(bool)> done) {
    if (desktop_) desktop_->showInFiles(file, std::move(done));
}

void DesktopJobs::openWithDefault(const std::string& file, std::function<void(bool)> done) {
    if (desktop_) desktop_->openWithDefault(file, std::move(done));
}

void DesktopJobs::show(const JobDesktopView& view) {
    if (!desktop_) return;
    desktop_->inhibitSuspend(view.inhibit);
    desktop_->setLauncherCount(view.count, view.urgent);
}

}  // namespace nerix
