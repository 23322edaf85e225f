#pragma once

#include <functional>
#include <memory>
#include <string>

namespace nerix::platform {

class Window;

// What a web view is made with: script permission and the user scripts, fixed before the
// view exists.
class WebViewConfiguration {
public:
    WebViewConfiguration();
    ~WebViewConfiguration();
    WebViewConfiguration(const WebViewConfiguration&) = delete;
    WebViewConfiguration& operator=(const WebViewConfiguration&) = delete;

    void setAllowsContentJavaScript(bool allowed);

    // Adds a script that runs at document start, before the page's own scripts, in the top
    // frame only, and only in pages whose URI matches `allowPattern` ("file:///some/folder/*").
    void addUserScript(const std::string& source, const std::string& allowPattern);

private:
    friend class WebView;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class WebView {
public:
    explicit WebView(const WebViewConfiguration& configuration);
    ~WebView();
    WebView(const WebView&) = delete;
    WebView& operator=(const WebView&) = delete;

    // false: the view paints no background of its own, so the window shows where the page
    // paints nothing.
    void setDrawsBackground(bool draws);

    // Asked for each link the user follows and each new window a page asks for: true hands
    // the URI to the user's browser instead. A new window is never opened in this program.
    void setOpensInBrowser(std::function<bool(const std::string& uri, bool followedByUser)> decide);

    // Loads a local page that may read the files of `readAccessUri` (its folder).
    void loadFileURL(const std::string& fileUri, const std::string& readAccessUri);

    // Shows an HTML text with no base address.
    void loadHTMLString(const std::string& html);

    struct Impl;

private:
    friend class Window;
    void* widget() const;  // the GtkWidget, for the window that shows it

    std::unique_ptr<Impl> impl_;
};

}  // namespace nerix::platform
