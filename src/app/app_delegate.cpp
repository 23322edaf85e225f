#include "app/app_delegate.h"

#include "app/bundle.h"
#include "app/info_dictionary.h"
#include "app/page_recovery.h"
#include "bridge/nerix_bridge.h"
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
    if (!startBridge_) startBridge_ = [this](const BridgeSettings& settings) { return startCountingJobs(settings); };
}

void AppDelegate::applicationDidFinishLaunching() {
    // A GTK application is an ordinary one with a window of its own already: nothing to ask.
    platform::WebViewConfiguration configuration;
    configuration.enableJavaScript(true);
    configuration.enableDeveloperExtras(application_.inspectorRequested());
    // The settings in layers: Info.plist, the user's file, this launch's options. Nothing is
    // started to find Node.js on the way to the page.
    const platform::LaunchOptions& given = application_.launchOptions();
    options_ = resolveOptions(SettingValues{given.node, given.repoRoot, given.web}, given.folder, homeFolder());
    chain_ = readToolChain();
    // The page's read limit is prepared in the background while the bridge starts and the window
    // is made: the page never loads before it is in place, and waits for it as little as possible.
    const PageChoice page = choosePageIn(chain_.web);
    if (page.found) configuration.prepareReadAccess(page.readAccessUri);

    // The bridge, only when both values are non-empty. Its start blocks (at most about 2 s)
    // before any window exists, so the page never loads before the port is known.
    BridgeLaunch launch = bringUpBridge(chain_.bridge, startBridge_, platform::logLine);
    bridge_ = launch.bridge;
    // Only the pages of the web folder in use see the token.
    if (launch.script) configuration.addUserScript(*launch.script, scriptAllowPattern(chain_.web));

    webView_ = std::make_unique<platform::WebView>(configuration);
    webView_->makeBackgroundTransparent();
    webView_->setOpensInBrowser(
        [](const std::string& uri, bool followedByUser) { return opensInBrowser(uri, followedByUser); });
    webView_->setPageLoaded([](const std::string& uri) { platform::logLine("page loaded: " + uri); });
    webView_->setContentProcessEnded([this](const std::string& reason) { pageEnded(reason); });

    window_ = std::make_unique<platform::Window>(kContentWidth, kContentHeight);
    window_->setTitle("Vantorel");
    window_->setMinimumSize(kMinWidth, kMinHeight);
    bar_ = std::make_unique<platform::SettingsBar>();
    bar_->setPreferencesClicked([this] { showPreferences(); });
    window_->setChild(*bar_, *webView_);
    window_->center();
    // The read limit is ready by now (a lookup, or a compile in a fresh home, beside the bridge
    // and the window), but its completion waits on the event loop, where a shown window's first
    // frame would go before it. Taking it now lets the page load as soon as the window is shown.
    application_.runPendingEvents();
    // Shown, in front and focused before the page starts to load.
    window_->present();

    if (page.found)
        webView_->loadFile(page.fileUri, page.readAccessUri);
    else
        webView_->loadHtml(page.html);
    reportToolChain();
    platform::installPreferencesAction([this] { showPreferences(); });
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

void AppDelegate::applicationWillTerminate() {
    if (bridge_) bridge_->stop();
}

}  // namespace nerix
