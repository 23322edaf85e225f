#include "app/app_delegate.h"

#include <cstdlib>

#include "app/page_origin.h"
#include "app/stored_data_move.h"
#include "app/window_state.h"
#include "platform/gtk/confirm_dialog.h"
#include "platform/gtk/web_data_folder.h"
#include "platform/posix/system_log.h"

namespace nerix {

namespace {
constexpr int kContentWidth = 1240;
constexpr int kContentHeight = 820;
constexpr int kMinWidth = 1040;
constexpr int kMinHeight = 680;

platform::AboutText aboutText() {
    return platform::AboutText{
        "Vantorel",
        VANTOREL_VERSION,
        "\u00a9 2026 The Vantorel developers",
        "The desktop window for the Nerix music tool chain",
        "",
        {"GTK https://gtk.org", "WebKitGTK https://webkitgtk.org", "Asio https://think-async.com",
         "nlohmann/json https://json.nlohmann.me", "libplist https://libimobiledevice.org",
         "utf8proc https://juliastrings.github.io/utf8proc/", "simdjson https://simdjson.org"}};
}
}  // namespace

AppDelegate::AppDelegate(platform::Application& application, std::filesystem::path resourceFolder)
    : application_(application), jobs_(page_.granted()), toolChain_(std::move(resourceFolder), page_, jobs_) {}

void AppDelegate::startup() {
    // What the earlier release's file:// page stored is moved to the page's origin before
    // anything starts WebKit's network process; after the first launch this is one look at a file.
    moveStoredPageData(platform::webDataFolder(), platform::logLine);
}

void AppDelegate::activate() {
    const platform::LaunchOptions& given = application_.launchOptions();
    toolChain_.launch(given);
    // The bridge comes up before any window exists, so the page never loads before the port is known.
    toolChain_.bringUpBridge();
    // A GTK application is an ordinary one with a window of its own already: nothing to ask.
    platform::WebViewConfiguration configuration;
    configuration.enableJavaScript(true);
    configuration.enableDeveloperExtras(application_.inspectorRequested());
    makeWebView(configuration);
    makeWindow();
    // Shown, in front and focused before the page starts to load.
    window_->present();
    page_.load(toolChain_.web());
    toolChain_.report();
    platform::installPreferencesAction([this] { toolChain_.showPreferences(); });
    // Files this launch was given wait for the page.
    open(given.files, given.folder);
}

void AppDelegate::commandLine(const platform::LaunchOptions& later) { toolChain_.takeOptions(later); }

void AppDelegate::open(const std::vector<std::string>& files, const std::string& folder) { page_.open(files, folder); }

void AppDelegate::shutdown() { toolChain_.stop(); }

void AppDelegate::makeWebView(platform::WebViewConfiguration& configuration) {
    // Only the pages of the page's origin see the token.
    if (const auto& script = toolChain_.bridgeScript()) configuration.addUserScript(*script, scriptAllowPattern());
    webView_ = std::make_unique<platform::WebView>(configuration);
    webView_->makeBackgroundTransparent();
}

// The window: the settings bar over the view, the header bar and menu, the desktop beside it,
// and the state it was left in.
void AppDelegate::makeWindow() {
    window_ = std::make_unique<platform::Window>(kContentWidth, kContentHeight);
    window_->setTitle("Vantorel");
    window_->setMinimumSize(kMinWidth, kMinHeight);
    window_->setChild(toolChain_.makeBar(*window_), *webView_);
    menu_ = std::make_unique<platform::MainMenu>(*window_, *webView_, aboutText());
    restoreWindow();
    window_->setCloseRequest([this] { return windowMayClose(); });
    jobs_.attach(*window_);
    page_.attach(*webView_, *window_, jobs_);
    window_->center();
}

// A size never saved keeps the first launch's; one saved is kept between the minimum and the monitor.
void AppDelegate::restoreWindow() {
    stateFile_ = windowStatePath(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
    const auto [monitorWidth, monitorHeight] = platform::Window::monitorSize();
    const WindowState state = clampWindowState(loadWindowState(stateFile_, platform::logLine), kMinWidth, kMinHeight,
                                               monitorWidth, monitorHeight);
    if (state.placement.width == 0) menu_->keepPageSize();
    window_->restore(state.placement);
    webView_->setZoom(state.zoom);
}

bool AppDelegate::windowMayClose() {
    if (jobs_.count() > 0 && !closeConfirmed_ && !application_.stopRequested()) {
        // Asked once: the answer closes the window again, and then it goes.
        platform::askToConfirm(*window_,
                               {"Stop the running " + jobs_.currentJob() + " and quit?",
                                "The job is stopped, and jobs waiting after it are dropped.", "_Stop and Quit"},
                               [this] {
                                   closeConfirmed_ = true;
                                   window_->close();
                               });
        return false;
    }
    saveWindowState(stateFile_, WindowState{window_->placement(), webView_->zoom()}, platform::logLine);
    jobs_.windowClosing();
    return true;
}

}  // namespace nerix
