#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nerix::platform {

class Window;

// A request to the application's own URI scheme, as its handler sees it.
struct SchemeRequest {
    std::string method;
    std::string path;  // as in the URI: percent-encoded, without query or fragment
    std::optional<std::string> range;
    std::optional<std::string> referer;
};

// The handler's answer: a status, header fields and a body, a text or a span of a file that is
// opened (never following a final link, refused unless a regular file) and read as it is sent.
struct SchemeAnswer {
    int status = 200;
    std::string reason = "OK";  // the status line's phrase
    std::string contentType;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string text;
    std::string file;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// What a web view is made with: script permission, the inspector, the user scripts and the
// application's own URI scheme, fixed before the view exists.
class WebViewConfiguration {
public:
    WebViewConfiguration();
    ~WebViewConfiguration();
    WebViewConfiguration(const WebViewConfiguration&) = delete;
    WebViewConfiguration& operator=(const WebViewConfiguration&) = delete;

    void enableJavaScript(bool allowed);

    // true: "Inspect Element" in the page's context menu opens the web inspector.
    void enableDeveloperExtras(bool enabled);

    // Adds a script that runs at document start, before the page's own scripts, in the top
    // frame only, and only in pages whose URI matches `allowPattern` ("vantorel://app/*").
    void addUserScript(const std::string& source, const std::string& allowPattern);

    // Serves `scheme` with `handler` on the main thread, for every view of the process: a secure
    // origin (as https is) whose pages may make CORS requests. Once per scheme and process.
    static void serveScheme(const std::string& scheme, std::function<SchemeAnswer(const SchemeRequest&)> handler);

    struct Impl;

private:
    friend class WebView;
    std::unique_ptr<Impl> impl_;
};

class WebView {
public:
    explicit WebView(const WebViewConfiguration& configuration);
    ~WebView();
    WebView(const WebView&) = delete;
    WebView& operator=(const WebView&) = delete;

    // The view paints no background of its own, so the window shows where the page paints
    // nothing.
    void makeBackgroundTransparent();

    // Asked for each link the user follows and each new window a page asks for: true hands
    // the URI to the user's browser instead. A new window is never opened in this program.
    void setOpensInBrowser(std::function<bool(const std::string& uri, bool followedByUser)> decide);

    // Told when the main page has finished loading without error, with its URI.
    void setPageLoaded(std::function<void(const std::string& uri)> loaded);

    // Told when a page starts to load (the one shown before is gone).
    void setLoadStarted(std::function<void()> started);

    // Told when the page's content process has ended unexpectedly (it crashed or was killed,
    // or it went over its memory limit), with that reason as text. The view shows nothing
    // until a page is loaded again.
    void setContentProcessEnded(std::function<void(const std::string& reason)> ended);

    // Loads the page at `uri`.
    void loadUri(const std::string& uri);

    // Shows an HTML text with no base address.
    void loadHtml(const std::string& html);

    // Loads the last page again, as it was loaded, in a new content process.
    void reload();

    // Puts `source` in place of every user script, for pages loaded from now on (see
    // WebViewConfiguration::addUserScript).
    void replaceUserScripts(const std::string& source, const std::string& allowPattern);
    // Takes every user script away, for pages loaded from now on.
    void removeUserScripts();
    // A user script that the two above leave in place (the page channel's): `source` replaces
    // the last one given, for pages loaded from now on.
    void setStandingScript(const std::string& source, const std::string& allowPattern);
    // The page's zoom: 1.0 is its own size.
    void setZoom(double level);
    double zoom() const;

    struct Impl;

private:
    friend class Window;
    friend class PageChannel;
    friend class FileDrop;
    void* widget() const;  // the GtkWidget, for the window that shows it

    std::unique_ptr<Impl> impl_;
};

}  // namespace nerix::platform
