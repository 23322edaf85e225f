// bare_webview URI: the least GTK 4 + WebKitGTK program that shows a page, the floor that
// window_bench measures the application against. One window of the application's size, one web
// view filling it, the page loaded as soon as the window is shown (loading first starts the web
// processes before the window, which shows it later and draws the page no sooner).
#include <gtk/gtk.h>
#include <webkit/webkit.h>

namespace {

void onActivate(GtkApplication* app, gpointer uri) {
    GtkWidget* window = gtk_application_window_new(app);
    gtk_window_set_default_size(GTK_WINDOW(window), 1240, 820);
    GtkWidget* view = webkit_web_view_new();
    gtk_window_set_child(GTK_WINDOW(window), view);
    gtk_window_present(GTK_WINDOW(window));
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), static_cast<const char*>(uri));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        g_printerr("usage: bare_webview URI\n");
        return 2;
    }
    GtkApplication* app = gtk_application_new(nullptr, G_APPLICATION_NON_UNIQUE);
    g_signal_connect(app, "activate", G_CALLBACK(onActivate), argv[1]);
    const int status = g_application_run(G_APPLICATION(app), 1, argv);
    g_object_unref(app);
    return status;
}
