#include "platform/gtk/web_view.h"

#include <functional>
#include <string>

#include <gio/gio.h>
#include <webkit/webkit.h>

namespace nerix::platform {

struct WebViewConfiguration::Impl {
    WebKitSettings* settings = nullptr;
    WebKitUserContentManager* content = nullptr;
};

WebViewConfiguration::WebViewConfiguration() : impl_(std::make_unique<Impl>()) {
    impl_->settings = webkit_settings_new();
    // A page may fetch the files beside it; file pages are otherwise each their own origin.
    // Which files it may read is limited when the page is loaded (see loadFileURL).
    webkit_settings_set_allow_file_access_from_file_urls(impl_->settings, TRUE);
    impl_->content = webkit_user_content_manager_new();
}

WebViewConfiguration::~WebViewConfiguration() {
    g_object_unref(impl_->content);
    g_object_unref(impl_->settings);
}

void WebViewConfiguration::setAllowsContentJavaScript(bool allowed) {
    webkit_settings_set_enable_javascript(impl_->settings, allowed);
}

void WebViewConfiguration::addUserScript(const std::string& source, const std::string& allowPattern) {
    const char* allowList[] = {allowPattern.c_str(), nullptr};
    WebKitUserScript* script =
        webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, allowList, nullptr);
    webkit_user_content_manager_add_script(impl_->content, script);
    webkit_user_script_unref(script);
}

struct WebView::Impl {
    WebKitWebView* view = nullptr;
    WebKitUserContentManager* content = nullptr;
    std::function<bool(const std::string&, bool)> opensInBrowser;
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

// Content rules that refuse every file load outside `folderUri` (a file URI without a final
// "/"), navigations included. The URI holds only unreserved characters, "/", ":" and
// percent escapes; of those only "." means something in a rule's pattern.
std::string readAccessRules(const std::string& folderUri) {
    std::string pattern = "^";
    for (char c : folderUri) {
        if (c == '.') pattern += "\\\\";  // a literal "." is \. in the pattern, \\. in JSON
        pattern += c;
    }
    pattern += "/";
    return R"([{"trigger":{"url-filter":"^file:"},"action":{"type":"block"}},)"
           R"({"trigger":{"url-filter":")" +
           pattern + R"("},"action":{"type":"ignore-previous-rules"}}])";
}

// Where the compiled read limits are kept: the user's cache, beside WebKit's own.
const std::string& contentRulesFolder() {
    static const std::string folder = [] {
        gchar* path = g_build_filename(g_get_user_cache_dir(), "vantorel", "content-rules", nullptr);
        std::string text = path;
        g_free(path);
        g_mkdir_with_parents(text.c_str(), 0700);
        return text;
    }();
    return folder;
}

// A page load that waits for its read limit to be compiled; holds what it needs itself.
struct PendingLoad {
    WebKitWebView* view;
    WebKitUserContentManager* content;
    std::string uri;
};

void onReadLimitSaved(GObject* source, GAsyncResult* result, gpointer data) {
    auto* load = static_cast<PendingLoad*>(data);
    GError* error = nullptr;
    WebKitUserContentFilter* filter =
        webkit_user_content_filter_store_save_finish(WEBKIT_USER_CONTENT_FILTER_STORE(source), result, &error);
    // Without a filter store the page still loads; it then reads what the user may read.
    if (filter) {
        webkit_user_content_manager_add_filter(load->content, filter);
        webkit_user_content_filter_unref(filter);
    }
    g_clear_error(&error);
    webkit_web_view_load_uri(load->view, load->uri.c_str());
    g_object_unref(source);
    g_object_unref(load->content);
    g_object_unref(load->view);
    delete load;
}

}  // namespace

WebView::WebView(const WebViewConfiguration& configuration) : impl_(std::make_unique<Impl>()) {
    GObject* object = G_OBJECT(g_object_new(WEBKIT_TYPE_WEB_VIEW, "settings", configuration.impl_->settings,
                                            "user-content-manager", configuration.impl_->content, nullptr));
    impl_->view = WEBKIT_WEB_VIEW(g_object_ref_sink(object));
    impl_->content = configuration.impl_->content;
    g_signal_connect(impl_->view, "decide-policy", G_CALLBACK(onDecidePolicy), impl_.get());
}

WebView::~WebView() {
    g_signal_handlers_disconnect_by_data(impl_->view, impl_.get());
    g_object_unref(impl_->view);
}

void* WebView::widget() const { return impl_->view; }

void WebView::setDrawsBackground(bool draws) {
    GdkRGBA colour{1.0f, 1.0f, 1.0f, draws ? 1.0f : 0.0f};
    webkit_web_view_set_background_color(impl_->view, &colour);
}

void WebView::setOpensInBrowser(std::function<bool(const std::string& uri, bool followedByUser)> decide) {
    impl_->opensInBrowser = std::move(decide);
}

void WebView::loadFileURL(const std::string& fileUri, const std::string& readAccessUri) {
    // The page may read the files of its folder and below, nothing else: content rules refuse
    // the rest. They are compiled into a store first, so the page loads once they are in place.
    const std::string rules = readAccessRules(readAccessUri);
    WebKitUserContentFilterStore* store = webkit_user_content_filter_store_new(contentRulesFolder().c_str());
    const std::string identifier = "read-access-" + std::to_string(std::hash<std::string>{}(rules));
    GBytes* source = g_bytes_new(rules.data(), rules.size());
    auto* load = new PendingLoad{WEBKIT_WEB_VIEW(g_object_ref(impl_->view)),
                                 WEBKIT_USER_CONTENT_MANAGER(g_object_ref(impl_->content)), fileUri};
    webkit_user_content_filter_store_save(store, identifier.c_str(), source, nullptr, onReadLimitSaved, load);
    g_bytes_unref(source);
}

void WebView::loadHTMLString(const std::string& html) { webkit_web_view_load_html(impl_->view, html.c_str(), nullptr); }

}  // namespace nerix::platform
