#include "app/app_delegate.h"

#include <cstdlib>

#include "app/bundle.h"
#include "app/info_dictionary.h"
#include "app/page_media.h"
#include "app/page_origin.h"
#include "app/page_recovery.h"
#include "app/stored_data_move.h"
#include "bridge/nerix_bridge.h"
#include "platform/gtk/confirm_dialog.h"
#include "platform/gtk/web_data_folder.h"
#include "platform/posix/system_log.h"

namespace nerix {

namespace {
constexpr int kContentWidth = 1240;
constexpr int kContentHeight = 820;
constexpr int kMinWidth = 1040;
constexpr int kMinHeight = 680;
}  // namespace

AppDelegate::AppDelegate(platform::Application& application, std::filesystem::path resourceFolder,
                         BridgeStarter startBridge)
    : application_(application), resourceFolder_(std::move(resourceFolder)), startBridge_(std::move(startBridge)) {
    if (!startBridge_) startBridge_ = [this](const BridgeSettings& settings) { return startWindowBridge(settings); };
}

void AppDelegate::applicationDidFinishLaunching() {
    // What the earlier release's file:// page stored is moved to the page's origin before
    // anything starts WebKit's network process; after the first launch this is one look at a file.
    moveStoredPageData(platform::webDataFolder(), platform::logLine);
    // A GTK application is an ordinary one with a window of its own already: nothing to ask.
    platform::WebViewConfiguration configuration;
    configuration.enableJavaScript(true);
    configuration.enableDeveloperExtras(application_.inspectorRequested());
    // The settings in layers: Info.plist, the user's file, this launch's options. Nothing is
    // started to find Node.js on the way to the page.
    const platform::LaunchOptions& given = application_.launchOptions();
    options_ = resolveOptions(SettingValues{given.node, given.repoRoot, given.web}, given.folder, homeFolder());
    chain_ = readToolChain();
    const PageChoice page = servePageOrigin();
    // The bridge, only when both values are non-empty. Its start blocks (at most about 2 s)
    // before any window exists, so the page never loads before the port is known.
    // What the user gives the page, the bridge gives it URLs for.
    granted_.setAdded([this](const std::string& path) {
        if (bridge_) bridge_->grantFile(path);
    });
    bringUpPageBridge();
    // Only the pages of the page's origin see the token.
    if (bridgeScript_) configuration.addUserScript(*bridgeScript_, scriptAllowPattern());
    makeWebView(configuration);
    makeWindow();
    // Shown, in front and focused before the page starts to load.
    window_->present();

    if (page.found)
        webView_->loadUri(page.uri);
    else
        webView_->loadHtml(page.html);
    reportToolChain();
    platform::installPreferencesAction([this] { showPreferences(); });
    // Files this launch was given wait for the page.
    applicationOpenedFiles(given.files, given.folder);
}

// The page's origin answers from the web folder in use, whichever it is at the time. Returns
// the page to load first.
PageChoice AppDelegate::servePageOrigin() {
    PageChoice page = choosePageIn(chain_.web);
    pages_.setFolder(chain_.web);
    platform::WebViewConfiguration::serveScheme(
        std::string(kPageScheme), [this](const platform::SchemeRequest& asked) { return servePage(asked); });
    return page;
}

void AppDelegate::makeWebView(const platform::WebViewConfiguration& configuration) {
    webView_ = std::make_unique<platform::WebView>(configuration);
    webView_->makeBackgroundTransparent();
    webView_->setOpensInBrowser(
        [](const std::string& uri, bool followedByUser) { return opensInBrowser(uri, followedByUser); });
    webView_->setPageLoaded([](const std::string& uri) { platform::logLine("page loaded: " + uri); });
    webView_->setContentProcessEnded([this](const std::string& reason) { pageEnded(reason); });
    setUpPageChannel();
}

// The window: the settings bar over the view, and the desktop side with the state it was left in.
void AppDelegate::makeWindow() {
    window_ = std::make_unique<platform::Window>(kContentWidth, kContentHeight);
    window_->setTitle("Vantorel");
    window_->setMinimumSize(kMinWidth, kMinHeight);
    bar_ = std::make_unique<platform::SettingsBar>();
    bar_->setPreferencesClicked([this] { showPreferences(); });
    window_->setChild(*bar_, *webView_);
    setUpDesktop(loadWindowState(stateFile_ = windowStatePath(std::getenv("XDG_STATE_HOME"), std::getenv("HOME")),
                                 platform::logLine));
    window_->center();
}

// The bridge for the page, with the files already given to the page and its web folder, whose
// media it serves: the script that hands it to the page points the page's own media there.
void AppDelegate::bringUpPageBridge() {
    BridgeLaunch launch = bringUpBridge(chain_.bridge, startBridge_, platform::logLine);
    bridge_ = launch.bridge;
    bridgeScript_ = std::move(launch.script);
    if (!bridge_) return;
    for (const std::string& path : granted_.paths()) bridge_->grantFile(path);
    if (auto folder = bridge_->serveFolder(chain_.web.string()); folder && bridgeScript_)
        *bridgeScript_ += "\n" + mediaScript(*folder);
}

void AppDelegate::setUpDesktop(const WindowState& saved) {
    menu_ = std::make_unique<platform::MainMenu>(
        *window_, *webView_,
        platform::AboutText{"Vantorel",
                            VANTOREL_VERSION,
                            "\u00a9 2026 The Vantorel developers",
                            "The desktop window for the Nerix music tool chain",
                            "",
                            {"GTK https://gtk.org", "WebKitGTK https://webkitgtk.org", "Asio https://think-async.com",
                             "nlohmann/json https://json.nlohmann.me", "libplist https://libimobiledevice.org",
                             "utf8proc https://juliastrings.github.io/utf8proc/", "simdjson https://simdjson.org"}});
    // A size never saved keeps the first launch's; one saved is kept between the minimum and
    // the monitor.
    const auto [monitorWidth, monitorHeight] = platform::Window::monitorSize();
    const WindowState state = clampWindowState(saved, kMinWidth, kMinHeight, monitorWidth, monitorHeight);
    if (state.width == 0) menu_->keepPageSize();
    window_->restore({state.width, state.height, state.maximized, state.fullScreen});
    webView_->setZoom(state.zoom);
    window_->setCloseRequest([this] { return windowMayClose(); });
    desktop_ = std::make_unique<platform::DesktopServices>(*window_);
    desktop_->followColorScheme();
    window_->setActiveChanged([this](bool active) {
        if (active) showJobs(jobs_.windowActivated());
    });
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
    const platform::Window::Placement placement = window_->placement();
    saveWindowState(
        stateFile_,
        WindowState{placement.width, placement.height, placement.maximized, placement.fullScreen, webView_->zoom()},
        platform::logLine);
    // The tools stop as the application ends; the desktop hears the end of them now.
    desktop_->inhibitSuspend(std::nullopt);
    desktop_->setLauncherCount(0, false);
    return true;
}

void AppDelegate::jobEvent(const JobEvent& event, std::chrono::steady_clock::time_point at) {
    if (event.kind == JobEvent::Kind::Ended && event.outcome == JobEvent::Outcome::Succeeded && event.outputPath &&
        !event.outputPath->empty()) {
        // What a job wrote is the page's to show and open, and in every file chooser's Recent.
        granted_.add(*event.outputPath);  // the bridge has it already
        desktop_->addRecentFile(*event.outputPath);
    }
    const JobDesktopView view = jobs_.apply(event, window_->isActive());
    showJobs(view);
    if (!view.notice) return;
    desktop_->sendNotification(view.notice->id, view.notice->title, view.notice->body, view.notice->showInFiles);
    const auto delay = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - at);
    platform::logLine("notification \"" + view.notice->title + "\" sent " +
                      std::to_string(static_cast<double>(delay.count()) / 1000.0) + " ms after the job ended");
}

void AppDelegate::showJobs(const JobDesktopView& view) {
    if (!desktop_) return;
    desktop_->inhibitSuspend(view.inhibit);
    desktop_->setLauncherCount(view.count, view.urgent);
}

void AppDelegate::pageEnded(const std::string& reason) {
    const std::string what = "The page's content process " + reason;
    switch (recovery_.pageEnded(PageRecovery::Clock::now())) {
        case PageRecovery::Action::Reload:
            platform::logLine(what + ": loading the page again");
            webView_->reload();
            break;
        case PageRecovery::Action::ShowGaveUpPage:
            platform::logLine(what + ", the third time within a minute: showing a plain page instead");
            webView_->loadHtml(std::string(kGaveUpPage));
            break;
        case PageRecovery::Action::Nothing: platform::logLine(what + ": not loaded again"); break;
    }
}

platform::SchemeAnswer AppDelegate::servePage(const platform::SchemeRequest& asked) {
    PageAnswer answer = pages_.answer(asked.method, asked.path, asked.range, asked.referer);
    if (answer.logLine) platform::logLine(*answer.logLine);
    // The first script or stylesheet the page did not get is named on the bar.
    if (answer.logLine && pages_.firstMissingScript() != shownMissingScript_) {
        shownMissingScript_ = pages_.firstMissingScript();
        showBar();
    }
    return platform::SchemeAnswer{answer.status,          answer.contentType,   std::move(answer.headers),
                                  std::move(answer.text), answer.file.string(), answer.offset,
                                  answer.length};
}

void AppDelegate::applicationWillTerminate() {
    if (bridge_) bridge_->stop();
}

}  // namespace nerix
