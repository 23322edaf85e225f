#include "platform/gtk/application.h"

#include <csignal>

#include <glib-unix.h>
#include <gtk/gtk.h>

namespace nerix::platform {

struct Application::Impl {
    GtkApplication* app = nullptr;
    ApplicationDelegate* delegate = nullptr;
    bool launched = false;
};

namespace {

void onActivate(GtkApplication* app, gpointer data) {
    auto* impl = static_cast<Application::Impl*>(data);
    // Launch completion runs once, however often the application is activated.
    if (impl->launched || !impl->delegate) return;
    impl->launched = true;
    impl->delegate->applicationDidFinishLaunching();
    // GTK ends the loop when the last window goes; a delegate that says otherwise keeps it.
    if (!impl->delegate->applicationShouldTerminateAfterLastWindowClosed()) g_application_hold(G_APPLICATION(app));
}

gboolean onStopSignal(gpointer data) {
    // A stop request from the terminal or the session closes the windows the way the user
    // would, so the application ends as it does when its window is closed.
    auto* app = static_cast<GtkApplication*>(data);
    GList* windows = g_list_copy(gtk_application_get_windows(app));
    for (GList* item = windows; item; item = item->next) gtk_window_close(GTK_WINDOW(item->data));
    g_list_free(windows);
    return G_SOURCE_CONTINUE;
}

}  // namespace

Application::Application() : impl_(std::make_unique<Impl>()) {
    // No application id and not unique: every start is its own process with its own bridge,
    // and nothing is registered on a session bus.
    impl_->app = gtk_application_new(nullptr, G_APPLICATION_NON_UNIQUE);
    g_signal_connect(impl_->app, "activate", G_CALLBACK(onActivate), impl_.get());
    g_unix_signal_add(SIGINT, onStopSignal, impl_->app);
    g_unix_signal_add(SIGTERM, onStopSignal, impl_->app);
}

Application::~Application() {
    g_object_unref(impl_->app);
}

void Application::setDelegate(ApplicationDelegate& delegate) { impl_->delegate = &delegate; }

int Application::run() {
    // The program takes no arguments: none reach GTK's own option parsing.
    g_application_run(G_APPLICATION(impl_->app), 0, nullptr);
    return 0;
}

void Application::setActivationPolicyRegular() {}

}  // namespace nerix::platform
