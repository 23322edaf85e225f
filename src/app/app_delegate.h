#pragma once

#include <filesystem>
#include <memory>

#include "app/launch_plan.h"
#include "app/page_recovery.h"
#include "platform/gtk/application.h"
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

    platform::Application& application_;
    std::filesystem::path resourceFolder_;
    BridgeStarter startBridge_;

    std::unique_ptr<platform::Window> window_;
    std::unique_ptr<platform::WebView> webView_;
    std::shared_ptr<NerixBridge> bridge_;
    PageRecovery recovery_;
};

}  // namespace nerix
