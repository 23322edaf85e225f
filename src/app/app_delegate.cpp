#include "app/app_delegate.h"

#include "app/bundle.h"
#include "bridge/nerix_bridge.h"
#include "app/info_dictionary.h"
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
    : application_(application), resourceFolder_(std::move(resourceFolder)), startBridge_(std::move(startBridge)) {}

void AppDelegate::applicationDidFinishLaunching() {
    // An ordinary application with a window of its own.
    application_.setActivationPolicyRegular();

    platform::WebViewConfiguration configuration;
    configuration.setAllowsContentJavaScript(true);

    // The bridge, only when both configuration values are non-empty text. Its start blocks
    // (at most about 2 s) before any window exists, so the page never loads before the port
    // is known.
    const InfoDictionary info =
        resourceFolder_.is_absolute() ? InfoDictionary::load(infoPlistPath(resourceFolder_)) : InfoDictionary();
    BridgeLaunch launch = bringUpBridge(bridgeSettings(info.text("NerixNodePath"), info.text("NerixRepoRoot")),
                                        startBridge_, platform::logLine);
    bridge_ = launch.bridge;
    const std::filesystem::path web = webFolder(resourceFolder_);
    // Only the application's own pages under Web see the token.
    if (launch.script) configuration.addUserScript(*launch.script, scriptAllowPattern(web));

    webView_ = std::make_unique<platform::WebView>(configuration);
    webView_->setDrawsBackground(false);
    webView_->setOpensInBrowser(
        [](const std::string& uri, bool followedByUser) { return opensInBrowser(uri, followedByUser); });

    window_ = std::make_unique<platform::Window>(kContentWidth, kContentHeight);
    window_->setTitle("Vantorel");
    window_->setMinSize(kMinWidth, kMinHeight);
    window_->setContentView(*webView_);
    window_->center();
    // Shown, in front and focused before the page starts to load.
    window_->makeKeyAndOrderFront();

    const PageChoice page = choosePage(resourceFolder_);
    if (page.found)
        webView_->loadFileURL(page.fileUri, page.readAccessUri);
    else
        webView_->loadHTMLString(page.html);
}

void AppDelegate::applicationWillTerminate() {
    if (bridge_) bridge_->stop();
}

}  // namespace nerix
