#include "app/page.h"

#include <variant>

#include "app/desktop_jobs.h"
#include "app/page_choice.h"
#include "app/page_origin.h"
#include "bridge/token.h"
#include "http/answer_writer.h"
#include "platform/gtk/file_dialog.h"
#include "platform/posix/random.h"
#include "platform/posix/system_log.h"

namespace nerix {

namespace {

constexpr const char* kHandlerName = "vantorel";
constexpr std::size_t kDropsKept = 8;  // drops the page never asked for do not pile up

platform::FileDialogOptions dialogOptions(const DialogRequest& request) {
    using Mode = platform::FileDialogOptions::Mode;
    platform::FileDialogOptions options;
    options.mode = request.kind == DialogRequest::Kind::SaveFile       ? Mode::Save
                   : request.kind == DialogRequest::Kind::ChooseFolder ? Mode::Folder
                   : request.multiple                                  ? Mode::OpenMany
                                                                       : Mode::Open;
    options.title = request.title;
    options.folder = request.folder;
    options.name = request.name;
    for (const FileFilter& filter : request.filters)
        options.filters.push_back({filter.name, filter.patterns, filter.mimeTypes});
    return options;
}

// The pages the channel's script reaches, and no other.
std::string ownPagePrefix() { return std::string(kPageOrigin) + "/"; }

}  // namespace

void Page::serve(const std::filesystem::path& web) {
    pages_.setFolder(web);
    platform::WebViewConfiguration::serveScheme(std::string(kPageScheme),
                                                [this](const platform::SchemeRequest& asked) { return answer(asked); });
}

void Page::attach(platform::WebView& view, platform::Window& window, DesktopJobs& desktop) {
    view_ = &view;
    window_ = &window;
    desktop_ = &desktop;
    view.setOpensInBrowser(
        [](const std::string& uri, bool followedByUser) { return opensInBrowser(uri, followedByUser); });
    view.setPageLoaded([](const std::string& uri) { platform::logLine("page loaded: " + uri); });
    view.setContentProcessEnded([this](const std::string& reason) { ended(reason); });
    setUpChannel();
}

void Page::load(const std::filesystem::path& web) {
    const PageChoice page = choosePageIn(web);
    pages_.setFolder(web);
    shownMissingScript_.clear();
    if (page.found)
        view_->loadUri(page.uri);
    else
        view_->loadHtml(page.html);
}

void Page::useBridgeScript(const std::optional<std::string>& script) {
    if (script)
        view_->replaceUserScripts(*script, scriptAllowPattern());
    else
        view_->removeUserScripts();
    updateChannelScript();
}

// A request of the page answered from the web folder.
platform::SchemeAnswer Page::answer(const platform::SchemeRequest& asked) {
    PageAnswer answer = pages_.answer(asked.method, asked.path, asked.range, asked.referer);
    if (answer.logLine) platform::logLine(*answer.logLine);
    // The first script or stylesheet the page did not get is named on the bar.
    if (answer.logLine && pages_.firstMissingScript() != shownMissingScript_) {
        shownMissingScript_ = pages_.firstMissingScript();
        if (missingChanged_) missingChanged_();
    }
    return platform::SchemeAnswer{answer.status,          std::string(reasonPhrase(answer.status)),
                                  answer.contentType,     std::move(answer.headers),
                                  std::move(answer.text), answer.file.string(),
                                  answer.offset,          answer.length};
}

void Page::ended(const std::string& reason) {
    const std::string what = "The page's content process " + reason;
    switch (recovery_.pageEnded(PageRecovery::Clock::now())) {
        case PageRecovery::Action::Reload:
            platform::logLine(what + ": loading the page again");
            view_->reload();
            break;
        case PageRecovery::Action::ShowGaveUpPage:
            platform::logLine(what + ", the third time within a minute: showing a plain page instead");
            view_->loadHtml(std::string(kGaveUpPage));
            break;
        case PageRecovery::Action::Nothing: platform::logLine(what + ": not loaded again"); break;
    }
}

void Page::setUpChannel() {
    // The key keeps the channel to the script of the top frame: a frame inside the page reaches
    // the message handler too, but never the key.
    Result<std::string> key = makeToken(platform::secureRandomBytes);
    if (!key) {
        platform::logLine("page channel not offered: " + key.error().message);
        return;
    }
    channelKey_ = *key;
    channel_ = std::make_unique<platform::PageChannel>(*view_, kHandlerName);
    channel_->setReceived([this](const std::string& uri, const std::string& json, const platform::PageReply& reply) {
        message(uri, json, reply);
    });
    updateChannelScript();
    drop_ = std::make_unique<platform::FileDrop>(*view_,
                                                 [this](std::vector<std::string> paths) { dropped(std::move(paths)); });
    view_->setLoadStarted([this] {
        // The page that listened is gone; the next one listens afresh.
        opened_.pageGone();
        drops_.clear();
        dropsAskedFor_.clear();
    });
}

void Page::updateChannelScript() {
    if (channel_) channel_->setScript(channelScript(kHandlerName, channelKey_), scriptAllowPattern());
}

void Page::message(const std::string& pageUri, const std::string& json, const platform::PageReply& reply) {
    // The script reaches only our pages, but the handler is there for every frame: the page
    // shown must be ours as well as the key right.
    if (!fromOwnPage(pageUri, ownPagePrefix())) {
        platform::logLine("page channel: refused a message of " + pageUri.substr(0, 200) +
                          ", not the application's page");
        return reply.refuse("not available to this page");
    }
    Result<PageMessage> message = readPageMessage(json, channelKey_);
    if (!message) {
        platform::logLine("page channel: refused a message: " + message.error().message);
        return reply.refuse(message.error().message);
    }
    if (auto* dialog = std::get_if<DialogRequest>(&*message)) return showDialog(*dialog, reply);
    if (auto* file = std::get_if<FileRequest>(&*message)) return fileRequest(*file, reply);
    if (std::holds_alternative<ListenRequest>(*message)) return reply.answer(pathsJson(opened_.pageListens()));
    // The paths of the drop the page just had: read already, or soon.
    if (drops_.empty()) return dropsAskedFor_.push_back(reply);
    reply.answer(pathsJson(drops_.front()));
    drops_.pop_front();
}

void Page::showDialog(const DialogRequest& request, const platform::PageReply& reply) {
    const bool many = request.kind == DialogRequest::Kind::OpenFiles;
    platform::showFileDialog(*window_, dialogOptions(request),
                             [this, many, reply](std::optional<std::vector<std::string>> paths) {
                                 // Cancelled: no file, which is no error.
                                 if (!paths || paths->empty()) return reply.answer("null");
                                 granted_.add(*paths);
                                 reply.answer(many ? pathsJson(*paths) : pathJson(paths->front()));
                             });
}

void Page::fileRequest(const FileRequest& request, const platform::PageReply& reply) {
    // Only what the user put within the page's reach: nothing else on disk is shown or opened.
    if (!granted_.contains(request.path)) {
        platform::logLine("page channel: refused to show or open " + request.path + ", not a file given to the page");
        return reply.answer("false");
    }
    auto done = [reply](bool worked) { reply.answer(worked ? "true" : "false"); };
    if (request.kind == FileRequest::Kind::ShowInFiles)
        desktop_->showInFiles(request.path, done);
    else
        desktop_->openWithDefault(request.path, done);
}

void Page::dropped(std::vector<std::string> paths) {
    granted_.add(paths);
    if (!dropsAskedFor_.empty()) {
        dropsAskedFor_.front().answer(pathsJson(paths));
        dropsAskedFor_.pop_front();
        return;
    }
    drops_.push_back(std::move(paths));
    if (drops_.size() > kDropsKept) drops_.pop_front();
}

void Page::open(const std::vector<std::string>& files, const std::string& folder) {
    const std::vector<std::string> paths = absolutePaths(files, folder);
    if (paths.empty()) return;
    granted_.add(paths);
    platform::logLine("opened with Vantorel: " + pathsJson(paths));
    const std::vector<std::string> now = opened_.arrive(paths);
    if (!now.empty() && channel_ && fromOwnPage(channel_->pageUri(), ownPagePrefix()))
        channel_->run(pageEventScript("open", now));
}

}  // namespace nerix
