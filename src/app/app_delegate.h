#pragma once

#include <chrono>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/bridge_launch.h"
#include "app/job_desktop.h"
#include "app/page_choice.h"
#include "app/page_files.h"
#include "app/page_message.h"
#include "app/page_recovery.h"
#include "app/page_server.h"
#include "app/settings.h"
#include "app/tool_chain.h"
#include "app/window_state.h"
#include "platform/gtk/application.h"
#include "platform/gtk/desktop_services.h"
#include "platform/gtk/file_drop.h"
#include "platform/gtk/main_menu.h"
#include "platform/gtk/page_channel.h"
#include "platform/gtk/preferences_window.h"
#include "platform/gtk/settings_bar.h"
#include "platform/gtk/web_view.h"
#include "platform/gtk/window.h"

namespace nerix {

// The application's delegate: launch completion brings up the bridge, hands it to the page
// and opens the one window with the web interface. It holds the window, the web view and the
// bridge for the life of the process; only the bridge is stopped as the process ends.
class AppDelegate : public platform::ApplicationDelegate {
public:
    AppDelegate(platform::Application& application, std::filesystem::path resourceFolder);

    void applicationDidFinishLaunching() override;
    bool applicationShouldTerminateAfterLastWindowClosed() override { return true; }
    // The last window has closed: a running tool is stopped (SIGTERM, SIGKILL after 5 s) and
    // reaped before this returns.
    void applicationWillTerminate();
    // A later launch's settings, applied as Save applies the Preferences (without writing them).
    void applicationReceivedOptions(const platform::LaunchOptions& given) override;
    // Files opened with the application: kept for the page until it listens for them.
    void applicationOpenedFiles(const std::vector<std::string>& files, const std::string& folder) override;

private:
    // Launch completion's pieces: the page's origin, the web view, the window.
    PageChoice servePageOrigin();
    void makeWebView(const platform::WebViewConfiguration& configuration);
    void makeWindow();
    void pageEnded(const std::string& reason);
    // The page's origin: a request of the page answered from the web folder (main thread).
    platform::SchemeAnswer servePage(const platform::SchemeRequest& asked);
    // The desktop side: the header bar and menu, the remembered window, jobs shown outside it.
    void setUpDesktop(const WindowState& saved);
    bool windowMayClose();
    void jobEvent(const JobEvent& event, std::chrono::steady_clock::time_point at);
    void showJobs(const JobDesktopView& view);

    // The page's channel (app_delegate_page.cpp): its calls, the files dropped and opened.
    void setUpPageChannel();
    void updatePageChannelScript();
    std::string ownPagePrefix() const;
    void pageMessage(const std::string& pageUri, const std::string& json, const platform::PageReply& reply);
    void showDialog(const DialogRequest& request, const platform::PageReply& reply);
    void fileRequest(const FileRequest& request, const platform::PageReply& reply);
    void filesDropped(std::vector<std::string> paths);

    // Settings (app_delegate_settings.cpp): the layers read and joined, the checks, the bar,
    // Preferences, and the switch to another tool chain while the window stays.
    ToolChain readToolChain();
    void reportToolChain();
    void showBar();
    void askLoginShellLater();
    void showPreferences();
    void savePreferences(const SettingValues& chosen);
    void applySettings();
    void switchToolChain();
    void bringUpPageBridge();
    std::shared_ptr<NerixBridge> startWindowBridge(const std::string& node, const std::string& repoRoot);

    platform::Application& application_;
    std::filesystem::path resourceFolder_;

    std::unique_ptr<platform::Window> window_;
    std::unique_ptr<platform::WebView> webView_;
    std::shared_ptr<NerixBridge> bridge_;
    std::optional<std::string> bridgeScript_;  // the page's script for bridge_, while there is one
    PageRecovery recovery_;
    PageServer pages_;
    std::string shownMissingScript_;  // the missing script or stylesheet the bar names
    std::string settingsBar_;         // what the bar says of the settings

    SettingValues bundle_;   // Info.plist's
    SettingValues options_;  // this launch's, or the last handed over
    SettingsFile settingsFile_;
    ToolChain chain_;
    std::unique_ptr<platform::SettingsBar> bar_;
    std::unique_ptr<platform::PreferencesWindow> preferences_;
    unsigned bridgeGeneration_ = 0;  // which bridge's job events count (main thread)
    unsigned shellAsked_ = 0;        // an answer for an earlier tool chain is dropped
    std::unique_ptr<platform::MainMenu> menu_;
    std::unique_ptr<platform::DesktopServices> desktop_;
    JobDesktop jobs_;
    std::filesystem::path stateFile_;
    bool closeConfirmed_ = false;

    std::unique_ptr<platform::PageChannel> channel_;
    std::unique_ptr<platform::FileDrop> drop_;
    std::string channelKey_;
    OpenedFiles opened_;
    // What the user put within the page's reach; the bridge's file URLs are granted from it.
    GrantedFiles granted_;
    std::deque<std::vector<std::string>> drops_;     // read, not yet asked for by the page
    std::deque<platform::PageReply> dropsAskedFor_;  // asked for by the page, not yet read
};

}  // namespace nerix
