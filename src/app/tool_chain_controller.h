#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/bridge_launch.h"
#include "app/desktop_jobs.h"
#include "app/page.h"
#include "app/settings.h"
#include "app/tool_chain.h"
#include "base/setting_values.h"
#include "platform/gtk/application.h"
#include "platform/gtk/preferences_window.h"
#include "platform/gtk/settings_bar.h"
#include "platform/gtk/window.h"

namespace nerix {

// The tool chain in use: the settings layers read and joined, what is wrong with them on the
// settings bar, the Preferences window, the bridge brought up and handed to the page, and the
// switch to another tool chain while the window stays. Main thread.
class ToolChainController {
public:
    ToolChainController(std::filesystem::path resourceFolder, Page& page, DesktopJobs& jobs);

    // The launch's options, read with the other layers; the page's origin serves the web folder.
    void launch(const platform::LaunchOptions& given);
    // The bridge for the page (started before any window, so the page never loads before its
    // port is known); the script that hands it to the page while there is one.
    void bringUpBridge();
    const std::optional<std::string>& bridgeScript() const { return bridgeScript_; }
    // The bar above the page, which `window` shows; the questions the controller asks go over it.
    platform::SettingsBar& makeBar(platform::Window& window);
    const std::filesystem::path& web() const { return chain_.web; }
    // One log line for each problem and the bar above the page; the bar goes when all is well.
    void report();

    void showPreferences();
    // A later launch's settings, applied as Save applies the Preferences (without writing them).
    void takeOptions(const platform::LaunchOptions& later);
    // The process ends: a running tool is stopped (SIGTERM, SIGKILL after 5 s) and reaped.
    void stop();

private:
    std::shared_ptr<NerixBridge> startWindowBridge(const std::string& node, const std::string& repoRoot);
    ToolChain readToolChain();
    void showBar();
    void askLoginShellLater();
    void savePreferences(const SettingValues& chosen);
    void applySettings();
    void switchToolChain();

    std::filesystem::path resourceFolder_;
    Page& page_;
    DesktopJobs& jobs_;

    std::shared_ptr<NerixBridge> bridge_;
    std::optional<std::string> bridgeScript_;  // the page's script for bridge_, while there is one
    unsigned bridgeGeneration_ = 0;            // which bridge's job events count
    SettingValues bundle_;                     // Info.plist's
    SettingValues options_;                    // this launch's, or the last handed over
    SettingsFile settingsFile_;
    ToolChain chain_;
    unsigned shellAsked_ = 0;             // an answer for an earlier tool chain is dropped
    std::string settingsBar_;             // what the bar says of the settings
    platform::Window* window_ = nullptr;  // the window the bar is in
    std::unique_ptr<platform::SettingsBar> bar_;
    std::unique_ptr<platform::PreferencesWindow> preferences_;
};

}  // namespace nerix
