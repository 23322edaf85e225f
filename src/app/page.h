#pragma once

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/page_files.h"
#include "app/page_message.h"
#include "app/page_recovery.h"
#include "app/page_server.h"
#include "platform/gtk/file_drop.h"
#include "platform/gtk/page_channel.h"
#include "platform/gtk/web_view.h"
#include "platform/gtk/window.h"

namespace nerix {

class DesktopJobs;

// The page in the web view: its origin answered from the web folder in use, the page chosen
// and loaded again after its content process ends, and its channel (window.vantorel: dialogs,
// Show in Files and Open), with the files dropped on the window and those opened with the
// application. What the user gives the page is kept in its granted files. Main thread.
class Page {
public:
    // The page's origin answers from `web` from now on, for every web view of the process.
    void serve(const std::filesystem::path& web);
    // The web view and window are there: the page's callbacks and channel are set up.
    void attach(platform::WebView& view, platform::Window& window, DesktopJobs& desktop);
    // Loads the page of the web folder `web` (or the fallback text), which its origin answers
    // from now on.
    void load(const std::filesystem::path& web);
    // The bridge's script in place of the last one, for pages loaded from now on; none: no bridge.
    void useBridgeScript(const std::optional<std::string>& script);

    // Files opened with the application, kept for the page until it listens for them.
    void open(const std::vector<std::string>& files, const std::string& folder);

    GrantedFiles& granted() { return granted_; }
    const std::filesystem::path& folder() const { return pages_.folder(); }
    // The first script or stylesheet the page asked for and did not get; `changed` is told when
    // it is a new one.
    const std::string& firstMissingScript() const { return pages_.firstMissingScript(); }
    void setMissingScriptChanged(std::function<void()> changed) { missingChanged_ = std::move(changed); }

private:
    platform::SchemeAnswer answer(const platform::SchemeRequest& asked);
    void ended(const std::string& reason);
    void setUpChannel();
    void updateChannelScript();
    void message(const std::string& pageUri, const std::string& json, const platform::PageReply& reply);
    void showDialog(const DialogRequest& request, const platform::PageReply& reply);
    void fileRequest(const FileRequest& request, const platform::PageReply& reply);
    void dropped(std::vector<std::string> paths);

    platform::WebView* view_ = nullptr;
    platform::Window* window_ = nullptr;
    DesktopJobs* desktop_ = nullptr;
    PageServer pages_;
    PageRecovery recovery_;
    std::string shownMissingScript_;  // the missing script or stylesheet the bar names
    std::function<void()> missingChanged_;

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
