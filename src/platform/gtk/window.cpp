#include "platform/gtk/window.h"

#include <gtk/gtk.h>

#include "platform/gtk/settings_bar.h"
#include "platform/gtk/web_view.h"

// Last: Xlib's names (Window, None, Status...) must not shadow anything above.
#include <gdk/x11/gdkx.h>

namespace nerix::platform {

struct Window::Impl {
    GtkWindow* window = nullptr;
    int width = 0;
    int height = 0;
};

namespace {

// GTK 4 leaves the place of a new window to the window manager, and on X11 with no window
// manager nobody places it at all. Put it in the middle of the primary monitor before it is
// mapped; a window manager may still choose otherwise.
void centreOnX11(GtkWidget* widget, gpointer data) {
    auto* impl = static_cast<Window::Impl*>(data);
    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(widget));
    if (!surface || !GDK_IS_X11_SURFACE(surface)) return;
    GdkDisplay* display = gdk_surface_get_display(surface);
    GdkMonitor* monitor = gdk_x11_display_get_primary_monitor(display);
    if (!monitor) return;
    GdkRectangle area;
    gdk_monitor_get_geometry(monitor, &area);
    const int x = area.x + (area.width - impl->width) / 2;
    const int y = area.y + (area.height - impl->height) / 2;

    Display* xdisplay = gdk_x11_display_get_xdisplay(display);
    ::Window xid = gdk_x11_surface_get_xid(surface);
    XMoveWindow(xdisplay, xid, x, y);
    // Tell a window manager that the program chose the place.
    XSizeHints* hints = XAllocSizeHints();
    long supplied = 0;
    XGetWMNormalHints(xdisplay, xid, hints, &supplied);
    hints->flags |= PPosition;
    hints->x = x;
    hints->y = y;
    XSetWMNormalHints(xdisplay, xid, hints);
    XFree(hints);
}

}  // namespace

Window::Window(int width, int height) : impl_(std::make_unique<Impl>()) {
    impl_->width = width;
    impl_->height = height;
    auto* app = GTK_APPLICATION(g_application_get_default());
    // The window's X11 class is the application's ID, as the desktop entry names it, so that a
    // dock matches the two (on Wayland GTK makes the ID the window's app ID).
    GdkDisplay* display = gdk_display_get_default();
    const char* id = g_application_get_application_id(G_APPLICATION(app));
    if (id && GDK_IS_X11_DISPLAY(display)) gdk_x11_display_set_program_class(display, id);
    impl_->window = GTK_WINDOW(g_object_ref(gtk_application_window_new(app)));
    gtk_window_set_default_size(impl_->window, width, height);
    gtk_window_set_resizable(impl_->window, TRUE);
    gtk_window_set_deletable(impl_->window, TRUE);
}

Window::~Window() {
    g_signal_handlers_disconnect_by_data(impl_->window, impl_.get());
    g_object_unref(impl_->window);
}

void Window::setTitle(const std::string& title) { gtk_window_set_title(impl_->window, title.c_str()); }

void Window::setMinimumSize(int width, int height) {
    gtk_widget_set_size_request(GTK_WIDGET(impl_->window), width, height);
}

void Window::setChild(WebView& view) { gtk_window_set_child(impl_->window, GTK_WIDGET(view.widget())); }

void Window::setChild(SettingsBar& bar, WebView& view) {
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    GtkWidget* page = GTK_WIDGET(view.widget());
    gtk_widget_set_vexpand(page, TRUE);
    gtk_box_append(GTK_BOX(box), GTK_WIDGET(bar.widget()));
    gtk_box_append(GTK_BOX(box), page);
    gtk_window_set_child(impl_->window, box);
}

void Window::center() { g_signal_connect_after(impl_->window, "realize", G_CALLBACK(centreOnX11), impl_.get()); }

void Window::present() { gtk_window_present(impl_->window); }

}  // namespace nerix::platform
