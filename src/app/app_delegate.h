#pragma once

#include <chrono>
#include <filesystem>
#include <memory>

#include "app/job_desktop.h"
#include "app/launch_plan.h"
#include "app/page_recovery.h"
#include "app/window_state.h"
#include "platform/gtk/application.h"
#include "platform/gtk/desktop_services.h"
#include "platform/gtk/main_menu.h"
#include "platform/gtk/web_view.h"
#include "platform/gtk/window.h"

namespace nerix {

// The application's delegate: launch completion brings up the bridge, hands it to the page
// and opens the one window with the web interface. It holds the window, the web view and the
// bridge for the life of the process; only the bridge is stopped as the process ends.
class AppDelegate : public platform::ApplicationDelegate {
public:
    AppDelegate(platform::Application& application, std::filesystem::path resourceFolder,
                BridgeStarter startBridge = nerix::startBridge);

    void applicationDidFinishLaunching() override;
    bool applicationShouldTerminateAfterLastWindowClosed() override { return true; }
    // The last window has closed: a running tool is stopped (SIGTERM, SIGKILL after 5 s) and
    // reaped before this returns.
    void applicationWillTerminate();

private:
    void pageEnded(const std::string& reason);
    // The desktop side: the header bar and menu, the remembered window, jobs shown outside it.
    void setUpDesktop(const WindowState& saved);
    bool windowMayClose();
    void jobEvent(const JobEvent& event, std::chrono::steady_clock::time_point at);
    void showJobs(const JobDesktopView& view);

    platform::Application& application_;
    std::filesystem::path resourceFolder_;
    BridgeStarter startBridge_;

    std::unique_ptr<platform::Window> window_;
    std::unique_ptr<platform::WebView> webView_;
    std::shared_ptr<NerixBridge> bridge_;
    PageRecovery recovery_;

    std::unique_ptr<platform::MainMenu> menu_;
    std::unique_ptr<platform::DesktopServices> desktop_;
    JobDesktop jobs_;
    std::filesystem::path stateFile_;
    bool closeConfirmed_ = false;
};

}  // namespace nerix
