#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/desktop_jobs.h"
#include "app/page.h"
#include "app/tool_chain_controller.h"
#include "platform/gtk/application.h"
#include "platform/gtk/main_menu.h"
#include "platform/gtk/web_view.h"
#include "platform/gtk/window.h"

namespace nerix {

// The application's delegate: the launch brings up the tool chain's bridge, hands it to the
// page and opens the one window with the web interface. It holds the window, the web view, the
// page, the tool chain and the jobs on the desktop for the life of the process; only the bridge
// is stopped as the process ends.
class AppDelegate : public platform::ApplicationDelegate {
public:
    AppDelegate(platform::Application& application, std::filesystem::path resourceFolder);

    void startup() override;
    void activate() override;
    void commandLine(const platform::LaunchOptions& later) override;
    // Files opened with the application: kept for the page until it listens for them.
    void open(const std::vector<std::string>& files, const std::string& folder) override;
    // A running tool is stopped (SIGTERM, SIGKILL after 5 s) and reaped before this returns.
    void shutdown() override;

private:
    void makeWebView(platform::WebViewConfiguration& configuration);
    void makeWindow();
    void restoreWindow();
    bool windowMayClose();

    platform::Application& application_;
    Page page_;
    DesktopJobs jobs_;
    ToolChainController toolChain_;
    std::unique_ptr<platform::WebView> webView_;
    std::unique_ptr<platform::Window> window_;
    std::unique_ptr<platform::MainMenu> menu_;
    std::filesystem::path stateFile_;
    bool closeConfirmed_ = false;
};

}  // namespace nerix
