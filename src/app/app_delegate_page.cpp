// The delegate's side of the page's channel: the calls of window.vantorel (dialogs, show and
// open a file), the files dropped on the window and those opened with the application.
#include <variant>

#include "app/app_delegate.h"
#include "app/page_origin.h"
#include "bridge/token.h"
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

}  // namespace

std::string AppDelegate::ownPagePrefix() const {
    // The pages the channel's script reaches, and no other.
    return std::string(kPageOrigin) + "/";
}

void AppDelegate::setUpPageChannel() {
    // The key keeps the channel to the script of the top frame: a frame inside the page reaches
    // the message handler too, but never the key.
    Result<std::string> key = makeToken(platform::secureRandomBytes);
    if (!key) {
        platform::logLine("page channel not offered: " + key.error().message);
        return;
    }
    channelKey_ = *key;
    channel_ = std::make_unique<platform::PageChannel>(*webView_, kHandlerName);
    channel_->setReceived([this](const std::string& uri, const std::string& json, const platform::PageReply& reply) {
        pageMessage(uri, json, reply);
    });
    updatePageChannelScript();
    drop_ = std::make_unique<platform::FileDrop>(
        *webView_, [this](std::vector<std::string> paths) { filesDropped(std::move(paths)); });
    webView_->setLoadStarted([this] {
        // The page that listened is gone; the next one listens afresh.
        opened_.pageGone();
        drops_.clear();
        dropsAskedFor_.clear();
    });
}

void AppDelegate::updatePageChannelScript() {
    if (channel_) channel_->setScript(channelScript(kHandlerName, channelKey_), scriptAllowPattern());
}

void AppDelegate::pageMessage(const std::string& pageUri, const std::string& json, const platform::PageReply& reply) {
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

void AppDelegate::showDialog(const DialogRequest& request, const platform::PageReply& reply) {
    const bool many = request.kind == DialogRequest::Kind::OpenFiles;
    platform::showFileDialog(*window_, dialogOptions(request),
                             [this, many, reply](std::optional<std::vector<std::string>> paths) {
                                 // Cancelled: no file, which is no error.
                                 if (!paths || paths->empty()) return reply.answer("null");
                                 granted_.add(*paths);
                                 reply.answer(many ? pathsJson(*paths) : pathJson(paths->front()));
                             });
}

void AppDelegate::fileRequest(const FileRequest& request, const platform::PageReply& reply) {
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

void AppDelegate::filesDropped(std::vector<std::string> paths) {
    granted_.add(paths);
    if (!dropsAskedFor_.empty()) {
        dropsAskedFor_.front().answer(pathsJson(paths));
        dropsAskedFor_.pop_front();
        return;
    }
    drops_.push_back(std::move(paths));
    if (drops_.size() > kDropsKept) drops_.pop_front();
}

void AppDelegate::applicationOpenedFiles(const std::vector<std::string>& files, const std::string& folder) {
    const std::vector<std::string> paths = absolutePaths(files, folder);
    if (paths.empty()) return;
    granted_.add(paths);
    platform::logLine("opened with Vantorel: " + pathsJson(paths));
    const std::vector<std::string> now = opened_.arrive(paths);
    if (!now.empty() && channel_ && fromOwnPage(channel_->pageUri(), ownPagePrefix()))
        channel_->run(pageEventScript("open", now));
}

}  // namespace nerix
