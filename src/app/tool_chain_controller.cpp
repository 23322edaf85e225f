#include "app/tool_chain_controller.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "app/bundle.h"
#include "app/info_dictionary.h"
#include "app/page_choice.h"
#include "app/page_media.h"
#include "app/settings_check.h"
#include "platform/gtk/confirm_dialog.h"
#include "platform/posix/system_log.h"

namespace nerix {

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

ToolChainController::ToolChainController(std::filesystem::path resourceFolder, Page& page, DesktopJobs& jobs)
    : resourceFolder_(std::move(resourceFolder)), page_(page), jobs_(jobs) {
    // What the user gives the page, the bridge gives it URLs for.
    page_.granted().setAdded([this](const std::string& path) {
        if (bridge_) bridge_->grantFile(path);
    });
    page_.setMissingScriptChanged([this] { showBar(); });
}

std::shared_ptr<NerixBridge> ToolChainController::startWindowBridge(const std::string& node,
                                                                    const std::string& repoRoot) {
    // Job events arrive on the bridge's queue thread and go on to the main thread's loop. Those
    // of a bridge stopped for another are dropped there: its jobs went with it.
    const unsigned generation = ++bridgeGeneration_;
    BridgeOptions options;
    options.jobEvents = [this, generation](const JobEvent& event) {
        platform::Application::runOnMainThread([this, generation, event, at = std::chrono::steady_clock::now()] {
            if (generation == bridgeGeneration_) jobs_.jobEvent(event, at);
        });
    };
    auto bridge = std::make_shared<NerixBridge>(node, repoRoot, std::move(options));
    bridge->start();
    return bridge;
}

void ToolChainController::launch(const platform::LaunchOptions& given) {
    // The settings in layers: Info.plist, the user's file, this launch's options. Nothing is
    // started to find Node.js on the way to the page.
    options_ = resolveOptions(given.settings, given.folder, homeFolder());
    chain_ = readToolChain();
    page_.serve(chain_.web);
}

ToolChain ToolChainController::readToolChain() {
    // Info.plist's values as they stand; the user's file and the options with their paths resolved.
    const InfoDictionary info =
        resourceFolder_.is_absolute() ? InfoDictionary::load(infoPlistPath(resourceFolder_)) : InfoDictionary();
    bundle_ = SettingValues{info.text("NerixNodePath"), info.text("NerixRepoRoot"), std::nullopt};
    const std::string home = homeFolder();
    std::error_code ignored;
    settingsFile_ = readSettingsFile(settingsFilePath(environment("XDG_CONFIG_HOME"), home),
                                     std::filesystem::current_path(ignored), home);
    const Settings settings = layerSettings(bundle_, settingsFile_.values, options_, settingsFile_.path);
    return resolveToolChain(settings, webFolder(resourceFolder_), platform::NodePlaces::fromEnvironment());
}

// The bridge, only when both values are non-empty. Its start blocks (at most about 2 s). It
// grants the files already given to the page and serves the web folder's media: the script
// that hands it to the page points the page's own media there.
void ToolChainController::bringUpBridge() {
    BridgeLaunch launch = nerix::bringUpBridge(
        chain_.inUse(),
        [this](const std::string& node, const std::string& repoRoot) { return startWindowBridge(node, repoRoot); },
        platform::logLine);
    bridge_ = launch.bridge;
    bridgeScript_ = std::move(launch.script);
    if (!bridge_) return;
    for (const std::string& path : page_.granted().paths()) bridge_->grantFile(path);
    if (auto folder = bridge_->serveFolder(chain_.web.string()); folder && bridgeScript_)
        *bridgeScript_ += "\n" + mediaScript(*folder);
}

platform::SettingsBar& ToolChainController::makeBar(platform::Window& window) {
    window_ = &window;
    bar_ = std::make_unique<platform::SettingsBar>();
    bar_->setPreferencesClicked([this] { showPreferences(); });
    return *bar_;
}

void ToolChainController::report() {
    std::string bar;
    auto say = [&](const std::string& logLine, const std::string& sentence) {
        platform::logLine(logLine);
        bar += (bar.empty() ? "" : "\n") + sentence;
    };
    if (settingsFile_.error)
        say("Settings file not used: " + *settingsFile_.error,
            "The settings file could not be read (" + *settingsFile_.error + "); it is left as it is");
    const Setting& node = chain_.settings.node;
    if (!chain_.nodeWhy.empty())
        platform::logLine(chain_.nodeWhy + (node.value.empty() ? std::string(" (node is not set)")
                                                               : " (setting node = \"" + node.value + "\" from " +
                                                                     layerName(chain_.settings, node.layer) + ")"));
    const SettingsReport report = checkSettings(chain_.settings, chain_.node, chain_.web);
    for (std::size_t i = 0; i < report.logLines.size(); ++i) {
        // Node.js by a bare name is not missing before the login shell has answered.
        if (chain_.askLoginShell && report.logLines[i].rfind("Setting node ", 0) == 0) continue;
        say(report.logLines[i], report.sentences[i]);
    }
    settingsBar_ = bar;
    showBar();
    if (chain_.askLoginShell) askLoginShellLater();
}

// The settings' sentences, and the page's missing script (logged as it was asked for) after them.
void ToolChainController::showBar() {
    std::string bar = settingsBar_;
    if (!page_.firstMissingScript().empty())
        bar += std::string(bar.empty() ? "" : "\n") + "The web interface in " + page_.folder().string() +
               " did not load: it asks for " + page_.firstMissingScript() + ", which is not in that folder";
    if (bar_) bar_->show(bar);
}

void ToolChainController::askLoginShellLater() {
    const unsigned asked = ++shellAsked_;
    const std::string name = chain_.node;
    std::thread([this, asked, name] {
        platform::NodeChoice answer = platform::askLoginShell(name, platform::NodePlaces::fromEnvironment());
        platform::Application::runOnMainThread([this, asked, answer = std::move(answer)] {
            if (asked != shellAsked_) return;
            takeLoginShellAnswer(chain_, answer);
            // Found: the bridge starts again with it. Not found: the bar says so.
            if (!answer.path.empty()) return switchToolChain();
            report();
        });
    }).detach();
}

void ToolChainController::showPreferences() {
    if (!preferences_) {
        preferences_ = std::make_unique<platform::PreferencesWindow>();
        using Field = platform::PreferencesWindow::Field;
        preferences_->setCheck([](Field field, const std::string& value) {
            const auto problem = field == Field::Node       ? checkNode(value)
                                 : field == Field::RepoRoot ? checkRepoRoot(value)
                                                            : checkWebFolder(value);
            return problem ? problem->sentence : std::string();
        });
        preferences_->setFindNode([] {
            const auto places = platform::NodePlaces::fromEnvironment();
            auto found = platform::findNode("node", places);
            if (found.path.empty()) found = platform::askLoginShell("node", places);
            return found.path;
        });
        preferences_->setSave([this](const SettingValues& values) { savePreferences(values); });
    }
    // Node.js by a bare name, and the bundled web interface, show as empty fields.
    SettingValues shown = chain_.inUse();
    if (chain_.node.find('/') == std::string::npos) shown.node.reset();
    if (chain_.settings.web.value.empty()) shown.web.reset();
    preferences_->present(shown);
}

void ToolChainController::savePreferences(const SettingValues& chosen) {
    // What the package's Info.plist gives already stays out of the file, so it keeps following the
    // package; everything else chosen is written, and wins over this launch's options from now on.
    const auto places = platform::NodePlaces::fromEnvironment();
    const std::string bundleNode = bundle_.node.value_or("");
    auto unlessBundled = [](const std::optional<std::string>& value, std::initializer_list<std::string> bundled) {
        for (const auto& same : bundled)
            if (value == same) return std::optional<std::string>();
        return value && value->empty() ? std::optional<std::string>() : value;
    };
    const SettingValues values{unlessBundled(chosen.node, {bundleNode, platform::findNode(bundleNode, places).path}),
                               unlessBundled(chosen.repoRoot, {bundle_.repoRoot.value_or("")}),
                               unlessBundled(chosen.web, {})};
    if (auto saved = saveSettingsFile(settingsFile_, values, std::time(nullptr)); !saved) {
        platform::logLine("Settings not saved: " + saved.error().message);
        if (bar_) bar_->show("The settings could not be saved: " + saved.error().message);
        return;
    }
    options_ = {};
    applySettings();
}

void ToolChainController::takeOptions(const platform::LaunchOptions& later) {
    options_ = resolveOptions(later.settings, later.folder, homeFolder());
    applySettings();
}

void ToolChainController::applySettings() {
    if (!bar_) return;  // no window yet: the launch reads the settings itself
    if (jobs_.count() > 0 && bridge_)
        return platform::askToConfirm(
            *window_,
            {"Stop the running job and use the new settings?",
             "The tool chain is started again with the new settings; the job that runs or waits now is stopped.",
             "_Stop and Apply"},
            [this] {
                chain_ = readToolChain();
                switchToolChain();
            });
    chain_ = readToolChain();
    switchToolChain();
}

void ToolChainController::switchToolChain() {
    // The old bridge stops first (its tool ends, its port stops answering); a new one with a new
    // token and port starts with the new values, and the page is loaded again with its script.
    stop();
    bridge_.reset();
    jobs_.bridgeStopped();
    bringUpBridge();
    page_.useBridgeScript(bridgeScript_);
    page_.load(chain_.web);
    report();
}

void ToolChainController::stop() {
    if (bridge_) bridge_->stop();
}

}  // namespace nerix
