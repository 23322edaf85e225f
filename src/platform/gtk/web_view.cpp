#include "platform/gtk/web_view.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gio/gio.h>
#include <webkit/webkit.h>

#include "platform/gtk/gobject_ptr.h"

namespace nerix::platform {

struct WebViewConfiguration::Impl {
    GObjectPtr<WebKitSettings> settings{webkit_settings_new()};
    GObjectPtr<WebKitUserContentManager> content{webkit_user_content_manager_new()};
    std::vector<std::pair<std::string, std::string>> scripts;  // source, allow pattern
};

namespace {

// A script run at document start in the top frame of pages that match `allowPattern`.
void addTopFrameScript(WebKitUserContentManager* content, const std::string& source, const std::string& allowPattern) {
    const char* allowList[] = {allowPattern.c_str(), nullptr};
    g_autoptr(WebKitUserScript) script =
        webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, allowList, nullptr);
    webkit_user_content_manager_add_script(content, script);
}

}  // namespace

WebViewConfiguration::WebViewConfiguration() : impl_(std::make_unique<Impl>()) {
    // The page is served by the application's own scheme: no page reads file:// at all.
    webkit_settings_set_allow_file_access_from_file_urls(impl_->settings.get(), FALSE);
    webkit_settings_set_allow_universal_access_from_file_urls(impl_->settings.get(), FALSE);
}

WebViewConfiguration::~WebViewConfiguration() = default;

void WebViewConfiguration::enableJavaScript(bool allowed) {
    webkit_settings_set_enable_javascript(impl_->settings.get(), allowed);
}

void WebViewConfiguration::enableDeveloperExtras(bool enabled) {
    webkit_settings_set_enable_developer_extras(impl_->settings.get(), enabled);
}

void WebViewConfiguration::addUserScript(const std::string& source, const std::string& allowPattern) {
    addTopFrameScript(impl_->content.get(), source, allowPattern);
    impl_->scripts.emplace_back(source, allowPattern);
}

struct WebView::Impl {
    GObjectPtr<WebKitWebView> view;
    WebKitUserContentManager* content = nullptr;
    std::function<bool(const std::string&, bool)> opensInBrowser;
    std::function<void(const std::string&)> pageLoaded;
    std::function<void()> loadStarted;
    std::function<void(const std::string&)> contentProcessEnded;
    std::function<void()> lastLoad;
    bool loadFailed = false;
    std::vector<std::pair<std::string, std::string>> otherScripts;  // source, allow pattern
    std::string standingSource, standingPattern;
};

namespace {

gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer data) {
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)
        return FALSE;
    auto* impl = static_cast<WebView::Impl*>(data);
    const bool newWindow = type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION;
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    const bool followedByUser =
        webkit_navigation_action_get_navigation_type(action) == WEBKIT_NAVIGATION_TYPE_LINK_CLICKED ||
        (newWindow && webkit_navigation_action_is_user_gesture(action));

    if (uri && impl->opensInBrowser && impl->opensInBrowser(uri, followedByUser)) {
        g_app_info_launch_default_for_uri_async(uri, nullptr, nullptr, nullptr, nullptr);
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    // One window only: a page that asks for another gets none.
    if (newWindow) {
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    return FALSE;
}

void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
    auto* impl = static_cast<WebView::Impl*>(data);
    if (event == WEBKIT_LOAD_STARTED) {
        impl->loadFailed = false;
        if (impl->loadStarted) impl->loadStarted();
    }
    if (event != WEBKIT_LOAD_FINISHED || impl->loadFailed || !impl->pageLoaded) return;
    const char* uri = webkit_web_view_get_uri(view);
    impl->pageLoaded(uri ? uri : "");
}

gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, char*, GError*, gpointer data) {
    static_cast<WebView::Impl*>(data)->loadFailed = true;
    return FALSE;
}

void onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer data) {
    auto* impl = static_cast<WebView::Impl*>(data);
    if (reason == WEBKIT_WEB_PROCESS_TERMINATED_BY_API || !impl->contentProcessEnded) return;
    impl->contentProcessEnded(reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT ? "went over its memory limit"
                                                                                 : "crashed or was killed");
}

}  // namespace

WebView::WebView(const WebViewConfiguration& configuration) : impl_(std::make_unique<Impl>()) {
    GObject* object = G_OBJECT(g_object_new(WEBKIT_TYPE_WEB_VIEW, "settings", configuration.impl_->settings.get(),
                                            "user-content-manager", configuration.impl_->content.get(), nullptr));
    impl_->view.reset(WEBKIT_WEB_VIEW(g_object_ref_sink(object)));
    impl_->content = configuration.impl_->content.get();
    impl_->otherScripts = configuration.impl_->scripts;
    g_signal_connect(impl_->view.get(), "decide-policy", G_CALLBACK(onDecidePolicy), impl_.get());
    g_signal_connect(impl_->view.get(), "load-changed", G_CALLBACK(onLoadChanged), impl_.get());
    g_signal_connect(impl_->view.get(), "load-failed", G_CALLBACK(onLoadFailed), impl_.get());
    g_signal_connect(impl_->view.get(), "web-process-terminated", G_CALLBACK(onWebProcessTerminated), impl_.get());
}

WebView::~WebView() { g_signal_handlers_disconnect_by_data(impl_->view.get(), impl_.get()); }

void* WebView::widget() const { return impl_->view.get(); }

void WebView::makeBackgroundTransparent() {
    GdkRGBA colour{1.0f, 1.0f, 1.0f, 0.0f};
    webkit_web_view_set_background_color(impl_->view.get(), &colour);
}

void WebView::setOpensInBrowser(std::function<bool(const std::string& uri, bool followedByUser)> decide) {
    impl_->opensInBrowser = std::move(decide);
}

void WebView::setPageLoaded(std::function<void(const std::string& uri)> loaded) {
    impl_->pageLoaded = std::move(loaded);
}

void WebView::setLoadStarted(std::function<void()> started) { impl_->loadStarted = std::move(started); }

void WebView::setContentProcessEnded(std::function<void(const std::string& reason)> ended) {
    impl_->contentProcessEnded = std::move(ended);
}

void WebView::loadUri(const std::string& uri) {
    webkit_web_view_load_uri(impl_->view.get(), uri.c_str());
    impl_->lastLoad = [view = impl_->view.get(), uri] { webkit_web_view_load_uri(view, uri.c_str()); };
}

void WebView::loadHtml(const std::string& html) {
    webkit_web_view_load_html(impl_->view.get(), html.c_str(), nullptr);
    impl_->lastLoad = [view = impl_->view.get(), html] { webkit_web_view_load_html(view, html.c_str(), nullptr); };
}

void WebView::replaceUserScripts(const std::string& source, const std::string& allowPattern) {
    removeUserScripts();
    addTopFrameScript(impl_->content, source, allowPattern);
    impl_->otherScripts = {{source, allowPattern}};
}

void WebView::removeUserScripts() {
    webkit_user_content_manager_remove_all_scripts(impl_->content);
    impl_->otherScripts.clear();
    if (!impl_->standingSource.empty())
        addTopFrameScript(impl_->content, impl_->standingSource, impl_->standingPattern);
}

void WebView::setStandingScript(const std::string& source, const std::string& allowPattern) {
    // The manager keeps no names for its scripts: the others are put back beside the new one.
    impl_->standingSource = source;
    impl_->standingPattern = allowPattern;
    webkit_user_content_manager_remove_all_scripts(impl_->content);
    for (const auto& [kept, pattern] : impl_->otherScripts) addTopFrameScript(impl_->content, kept, pattern);
    addTopFrameScript(impl_->content, source, allowPattern);
}

void WebView::reload() {
    if (impl_->lastLoad) impl_->lastLoad();
}

void WebView::setZoom(double level) { webkit_web_view_set_zoom_level(impl_->view.get(), level); }

double WebView::zoom() const { return webkit_web_view_get_zoom_level(impl_->view.get()); }

}  // namespace nerix::platform
