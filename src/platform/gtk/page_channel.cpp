#include "platform/gtk/page_channel.h"

#include <webkit/webkit.h>

#include "platform/gtk/gobject_ptr.h"
#include "platform/gtk/web_view.h"

namespace nerix::platform {

struct PageReply::Impl {
    OwnedPtr<WebKitScriptMessageReply, webkit_script_message_reply_unref> reply;
    GObjectPtr<JSCContext> context;
    bool answered = false;

    ~Impl() {
        if (answered) return;
        g_autoptr(JSCValue) none = jsc_value_new_null(context.get());
        webkit_script_message_reply_return_value(reply.get(), none);
    }
};

PageReply::PageReply(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

void PageReply::answer(const std::string& json) const {
    if (impl_->answered) return;
    impl_->answered = true;
    g_autoptr(JSCValue) value = jsc_value_new_from_json(impl_->context.get(), json.c_str());
    if (!value) value = jsc_value_new_null(impl_->context.get());
    webkit_script_message_reply_return_value(impl_->reply.get(), value);
}

void PageReply::refuse(const std::string& message) const {
    if (impl_->answered) return;
    impl_->answered = true;
    webkit_script_message_reply_return_error_message(impl_->reply.get(), message.c_str());
}

struct PageChannel::Impl {
    WebView* view = nullptr;
    WebKitWebView* webView = nullptr;
    WebKitUserContentManager* content = nullptr;
    std::string handler;
    gulong signal = 0;
    std::function<void(const std::string&, const std::string&, PageReply)> received;
};

namespace {

gboolean onMessage(WebKitUserContentManager*, JSCValue* value, WebKitScriptMessageReply* reply, gpointer data) {
    auto* impl = static_cast<PageChannel::Impl*>(data);
    auto held = std::make_shared<PageReply::Impl>();
    held->reply.reset(webkit_script_message_reply_ref(reply));
    held->context.reset(JSC_CONTEXT(g_object_ref(jsc_value_get_context(value))));
    PageReply answer(held);
    g_autofree char* json = jsc_value_to_json(value, 0);
    const char* uri = webkit_web_view_get_uri(impl->webView);
    if (impl->received)
        impl->received(uri ? uri : "", json ? json : "", answer);
    else
        answer.refuse("not available");
    return TRUE;
}

}  // namespace

PageChannel::PageChannel(WebView& view, const std::string& handlerName) : impl_(std::make_unique<Impl>()) {
    impl_->view = &view;
    impl_->webView = WEBKIT_WEB_VIEW(view.widget());
    impl_->content = webkit_web_view_get_user_content_manager(impl_->webView);
    impl_->handler = handlerName;
    // In the page's own world: the user script and the page's scripts share window.vantorel.
    webkit_user_content_manager_register_script_message_handler_with_reply(impl_->content, handlerName.c_str(),
                                                                           nullptr);
    const std::string signal = "script-message-with-reply-received::" + handlerName;
    impl_->signal = g_signal_connect(impl_->content, signal.c_str(), G_CALLBACK(onMessage), impl_.get());
}

PageChannel::~PageChannel() {
    g_signal_handler_disconnect(impl_->content, impl_->signal);
    webkit_user_content_manager_unregister_script_message_handler(impl_->content, impl_->handler.c_str(), nullptr);
}

void PageChannel::setReceived(std::function<void(const std::string&, const std::string&, PageReply)> received) {
    impl_->received = std::move(received);
}

void PageChannel::setScript(const std::string& source, const std::string& allowPattern) {
    impl_->view->setStandingScript(source, allowPattern);
}

void PageChannel::run(const std::string& script) {
    webkit_web_view_evaluate_javascript(impl_->webView, script.c_str(), -1, nullptr, nullptr, nullptr, nullptr,
                                        nullptr);
}

std::string PageChannel::pageUri() const {
    const char* uri = webkit_web_view_get_uri(impl_->webView);
    return uri ? uri : "";
}

}  // namespace nerix::platform
