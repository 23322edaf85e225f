#pragma once

#include <functional>
#include <memory>
#include <string>

namespace nerix::platform {

class WebView;

// The answer to one message of the page, given once, now or later (after a dialog): a JSON
// value for the page's promise, or a refusal that rejects it. One that is dropped unanswered
// answers null.
class PageReply {
public:
    struct Impl;
    explicit PageReply(std::shared_ptr<Impl> impl);
    void answer(const std::string& json) const;
    void refuse(const std::string& message) const;

private:
    std::shared_ptr<Impl> impl_;
};

// The page's way to ask the application: a script message handler with replies on the view's
// pages, and the user script that puts the page's own object on top of it. Main thread.
class PageChannel {
public:
    // `handlerName` is the name under window.webkit.messageHandlers.
    PageChannel(WebView& view, const std::string& handlerName);
    ~PageChannel();
    PageChannel(const PageChannel&) = delete;
    PageChannel& operator=(const PageChannel&) = delete;

    // Told each message: the URI of the page shown when it came, and the message as JSON.
    void setReceived(
        std::function<void(const std::string& pageUri, const std::string& json, PageReply reply)> received);

    // The user script, for the pages that match `allowPattern` only; kept when the view's other
    // user scripts are replaced. Takes effect for pages loaded from now on.
    void setScript(const std::string& source, const std::string& allowPattern);

    // Runs `script` in the page shown now.
    void run(const std::string& script);

    // The URI of the page shown now.
    std::string pageUri() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace nerix::platform
