// The application's own URI scheme: WebKit's requests handed to a handler of plain values, and
// its answers turned into WebKit's responses with their bodies streamed from disk.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include <webkit/webkit.h>

#include "platform/gtk/file_span_stream.h"
#include "platform/gtk/web_view.h"

namespace nerix::platform {

namespace {

using Handler = std::function<SchemeAnswer(const SchemeRequest&)>;

std::optional<std::string> header(SoupMessageHeaders* headers, const char* name) {
    const char* value = headers ? soup_message_headers_get_one(headers, name) : nullptr;
    if (!value) return std::nullopt;
    return std::string(value);
}

// The file of an answer, opened for reading: nothing when it is gone or has become something
// other than a regular file (a link put in its place is not followed).
int openRegularFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void respond(WebKitURISchemeRequest* request, SchemeAnswer answer) {
    g_autoptr(GInputStream) body = nullptr;
    gint64 length = 0;
    if (!answer.file.empty()) {
        const int fd = openRegularFile(answer.file);
        if (fd >= 0) {
            body = newFileSpanStream(fd, answer.offset, answer.length);
            length = static_cast<gint64>(answer.length);
        } else {
            answer = SchemeAnswer{404, "Not Found", "text/plain", {{"Content-Length", "10"}}, "Not found\n", {}, 0, 0};
        }
    }
    if (!body) {
        body = g_memory_input_stream_new_from_data(g_memdup2(answer.text.data(), answer.text.size()),
                                                   static_cast<gssize>(answer.text.size()), g_free);
        length = static_cast<gint64>(answer.text.size());
    }
    g_autoptr(WebKitURISchemeResponse) response = webkit_uri_scheme_response_new(body, length);
    webkit_uri_scheme_response_set_status(response, static_cast<guint>(answer.status), answer.reason.c_str());
    // The engine takes the bare type; the header field keeps its charset.
    const std::string type = answer.contentType.substr(0, answer.contentType.find(';'));
    webkit_uri_scheme_response_set_content_type(response, type.c_str());
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);  // the response takes it
    for (const auto& [name, value] : answer.headers) soup_message_headers_append(headers, name.c_str(), value.c_str());
    webkit_uri_scheme_response_set_http_headers(response, headers);
    webkit_uri_scheme_request_finish_with_response(request, response);
}

void onSchemeRequest(WebKitURISchemeRequest* request, gpointer data) {
    const auto& handler = *static_cast<Handler*>(data);
    SoupMessageHeaders* headers = webkit_uri_scheme_request_get_http_headers(request);
    const char* method = webkit_uri_scheme_request_get_http_method(request);
    const char* path = webkit_uri_scheme_request_get_path(request);
    SchemeRequest asked{method ? method : "GET", path ? path : "/", header(headers, "Range"),
                        header(headers, "Referer")};
    respond(request, handler(asked));
}

}  // namespace

void WebViewConfiguration::serveScheme(const std::string& scheme, Handler handler) {
    // Kept for the process: WebKit calls the handler until the process ends.
    static std::map<std::string, Handler*> handlers;
    if (auto known = handlers.find(scheme); known != handlers.end()) {
        *known->second = std::move(handler);
        return;
    }
    auto* kept = handlers[scheme] = new Handler(std::move(handler));
    WebKitWebContext* context = webkit_web_context_get_default();
    webkit_web_context_register_uri_scheme(context, scheme.c_str(), onSchemeRequest, kept, nullptr);
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
    webkit_security_manager_register_uri_scheme_as_secure(security, scheme.c_str());
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, scheme.c_str());
}

}  // namespace nerix::platform
