#include "platform/gtk/window.h"

#include <gtk/gtk.h>

#include <memory>

#include "platform/gtk/gobject_ptr.h"
#include "platform/gtk/settings_bar.h"
#include "platform/gtk/web_view.h"

// Last: Xlib's names (Window, None, Status...) must not shadow anything above.
#include <gdk/x11/gdkx.h>

namespace nerix::platform {

struct Window::Impl {
    GObjectPtr<GtkWindow> window;
    int width = 0;
    int height = 0;
    std::function<bool()> mayClose;
    std::function<void(bool)> activeChanged;
    // What GTK's default size holds beyond the window widget's own (its frame where there is no
    // compositor), learnt at the first frame, when the window has the default size.
    int extraWidth = 0;
    int extraHeight = 0;
    gulong firstFrame = 0;
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
    // The default size is the whole window's, header bar included.
    int width = impl->width, height = impl->height;
    gtk_window_get_default_size(impl->window.get(), &width, &height);
    const int x = area.x + (area.width - width) / 2;
    const int y = area.y + (area.height - height) / 2;

    Display* xdisplay = gdk_x11_display_get_xdisplay(display);
    ::Window xid = gdk_x11_surface_get_xid(surface);
    XMoveWindow(xdisplay, xid, x, y);
    // Tell a window manager that the program chose the place.
    const std::unique_ptr<XSizeHints, int (*)(void*)> hints(XAllocSizeHints(), XFree);
    long supplied = 0;
    XGetWMNormalHints(xdisplay, xid, hints.get(), &supplied);
    hints->flags |= PPosition;
    hints->x = x;
    hints->y = y;
    XSetWMNormalHints(xdisplay, xid, hints.get());
}

gboolean onCloseRequest(GtkWindow*, gpointer data) {
    auto* impl = static_cast<Window::Impl*>(data);
    return impl->mayClose && !impl->mayClose();
}

void onIsActive(GObject*, GParamSpec*, gpointer data) {
    auto* impl = static_cast<Window::Impl*>(data);
    if (impl->activeChanged) impl->activeChanged(gtk_window_is_active(impl->window.get()));
}

void onFirstFrame(GdkFrameClock* clock, gpointer data) {
    auto* impl = static_cast<Window::Impl*>(data);
    g_signal_handler_disconnect(clock, impl->firstFrame);
    impl->firstFrame = 0;
    int width = 0, height = 0;
    gtk_window_get_default_size(impl->window.get(), &width, &height);
    const int extraWidth = width - gtk_widget_get_width(GTK_WIDGET(impl->window.get()));
    const int extraHeight = height - gtk_widget_get_height(GTK_WIDGET(impl->window.get()));
    if (extraWidth >= 0 && extraWidth < 100 && extraHeight >= 0 && extraHeight < 100)
        impl->extraWidth = extraWidth, impl->extraHeight = extraHeight;
}

void onMap(GtkWidget* widget, gpointer data) {
    auto* impl = static_cast<Window::Impl*>(data);
    if (impl->firstFrame) return;
    GdkFrameClock* clock = gtk_widget_get_frame_clock(widget);
    if (clock) impl->firstFrame = g_signal_connect(clock, "after-paint", G_CALLBACK(onFirstFrame), impl);
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
    impl_->window.reset(GTK_WINDOW(g_object_ref(gtk_application_window_new(app))));
    gtk_window_set_default_size(impl_->window.get(), width, height);
    gtk_window_set_resizable(impl_->window.get(), TRUE);
    gtk_window_set_deletable(impl_->window.get(), TRUE);
    g_signal_connect(impl_->window.get(), "map", G_CALLBACK(onMap), impl_.get());
}

Window::~Window() {
    GdkFrameClock* clock = gtk_widget_get_frame_clock(GTK_WIDGET(impl_->window.get()));
    if (impl_->firstFrame && clock) g_signal_handler_disconnect(clock, impl_->firstFrame);
    g_signal_handlers_disconnect_by_data(impl_->window.get(), impl_.get());
}

void Window::setTitle(const std::string& title) { gtk_window_set_title(impl_->window.get(), title.c_str()); }

void Window::setMinimumSize(int width, int height) {
    gtk_widget_set_size_request(GTK_WIDGET(impl_->window.get()), width, height);
}

void Window::setChild(WebView& view) { gtk_window_set_child(impl_->window.get(), GTK_WIDGET(view.widget())); }

void Window::setChild(SettingsBar& bar, WebView& view) {
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    GtkWidget* page = GTK_WIDGET(view.widget());
    gtk_widget_set_vexpand(page, TRUE);
    gtk_box_append(GTK_BOX(box), GTK_WIDGET(bar.widget()));
    gtk_box_append(GTK_BOX(box), page);
    gtk_window_set_child(impl_->window.get(), box);
}

void Window::center() { g_signal_connect_after(impl_->window.get(), "realize", G_CALLBACK(centreOnX11), impl_.get()); }

void Window::present() { gtk_window_present(impl_->window.get()); }

void* Window::widget() const { return impl_->window.get(); }

void Window::setCloseRequest(std::function<bool()> mayClose) {
    if (!impl_->mayClose)
        g_signal_connect(impl_->window.get(), "close-request", G_CALLBACK(onCloseRequest), impl_.get());
    impl_->mayClose = std::move(mayClose);
}

void Window::close() { gtk_window_close(impl_->window.get()); }

bool Window::isActive() const { return gtk_window_is_active(impl_->window.get()); }

void Window::setActiveChanged(std::function<void(bool)> changed) {
    if (!impl_->activeChanged)
        g_signal_connect(impl_->window.get(), "notify::is-active", G_CALLBACK(onIsActive), impl_.get());
    impl_->activeChanged = std::move(changed);
}

WindowPlacement Window::placement() const {
    WindowPlacement p;
    p.maximized = gtk_window_is_maximized(impl_->window.get());
    p.fullScreen = gtk_window_is_fullscreen(impl_->window.get());
    // The size the user gave it; when maximized or full screen, the size it opened at (GTK 4.8
    // does not follow a resize in the default size).
    gtk_window_get_default_size(impl_->window.get(), &p.width, &p.height);
    if (!p.maximized && !p.fullScreen && gtk_widget_get_realized(GTK_WIDGET(impl_->window.get()))) {
        p.width = gtk_widget_get_width(GTK_WIDGET(impl_->window.get())) + impl_->extraWidth;
        p.height = gtk_widget_get_height(GTK_WIDGET(impl_->window.get())) + impl_->extraHeight;
    }
    return p;
}

void Window::restore(const WindowPlacement& placement) {
    if (placement.width > 0 && placement.height > 0)
        gtk_window_set_default_size(impl_->window.get(), placement.width, placement.height);
    if (placement.maximized) gtk_window_maximize(impl_->window.get());
    if (placement.fullScreen) gtk_window_fullscreen(impl_->window.get());
}

std::pair<int, int> Window::monitorSize() {
    GdkDisplay* display = gdk_display_get_default();
    if (!display) return {0, 0};
    GdkMonitor* monitor = nullptr;
    if (GDK_IS_X11_DISPLAY(display)) monitor = gdk_x11_display_get_primary_monitor(display);
    g_autoptr(GdkMonitor) first = nullptr;  // else the first the display lists
    if (GListModel* monitors = gdk_display_get_monitors(display); !monitor && g_list_model_get_n_items(monitors) > 0)
        monitor = first = GDK_MONITOR(g_list_model_get_item(monitors, 0));
    if (!monitor) return {0, 0};
    GdkRectangle area;
    gdk_monitor_get_geometry(monitor, &area);
    return {area.width, area.height};
}

}  // namespace nerix::platform
