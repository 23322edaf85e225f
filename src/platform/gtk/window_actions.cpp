#include "platform/gtk/window_actions.h"

#include <gtk/gtk.h>

#include <iterator>

#include "platform/gtk/action_keys.h"
#include "platform/gtk/web_view.h"
#include "platform/gtk/window.h"

namespace nerix::platform {

struct WindowActions::Impl {
    Window& window;
    WebView& view;
};

namespace {

// The zoom steps a browser offers, so a step in and one out come back to where they were.
constexpr double kZoomSteps[] = {0.3, 0.5, 0.67, 0.8, 0.9, 1.0, 1.1, 1.25, 1.5, 1.75, 2.0, 2.5, 3.0};

double nextZoom(double current, bool in) {
    if (in) {
        for (double step : kZoomSteps)
            if (step > current + 0.001) return step;
        return kZoomSteps[std::size(kZoomSteps) - 1];
    }
    for (auto it = std::rbegin(kZoomSteps); it != std::rend(kZoomSteps); ++it)
        if (*it < current - 0.001) return *it;
    return kZoomSteps[0];
}

WindowActions::Impl& implOf(gpointer data) { return *static_cast<WindowActions::Impl*>(data); }
GtkWindow* gtkWindowOf(gpointer data) { return GTK_WINDOW(implOf(data).window.widget()); }

void zoomIn(GSimpleAction*, GVariant*, gpointer data) {
    WebView& view = implOf(data).view;
    view.setZoom(nextZoom(view.zoom(), true));
}
void zoomOut(GSimpleAction*, GVariant*, gpointer data) {
    WebView& view = implOf(data).view;
    view.setZoom(nextZoom(view.zoom(), false));
}
void zoomReset(GSimpleAction*, GVariant*, gpointer data) { implOf(data).view.setZoom(1.0); }

void toggleFullScreen(GSimpleAction*, GVariant*, gpointer data) {
    GtkWindow* window = gtkWindowOf(data);
    if (gtk_window_is_fullscreen(window))
        gtk_window_unfullscreen(window);
    else
        gtk_window_fullscreen(window);
}

void close(GSimpleAction*, GVariant*, gpointer data) { implOf(data).window.close(); }

const GActionEntry kActions[] = {{"zoom-in", zoomIn, nullptr, nullptr, nullptr, {}},
                                 {"zoom-out", zoomOut, nullptr, nullptr, nullptr, {}},
                                 {"zoom-reset", zoomReset, nullptr, nullptr, nullptr, {}},
                                 {"fullscreen", toggleFullScreen, nullptr, nullptr, nullptr, {}},
                                 {"close", close, nullptr, nullptr, nullptr, {}}};

}  // namespace

WindowActions::WindowActions(Window& window, WebView& view) : impl_(std::make_unique<Impl>(Impl{window, view})) {
    auto* map = G_ACTION_MAP(window.widget());
    g_action_map_add_action_entries(map, kActions, G_N_ELEMENTS(kActions), impl_.get());
    setActionKeys({{"win.zoom-in", {"<Control>plus", "<Control>equal", "<Control>KP_Add"}},
                   {"win.zoom-out", {"<Control>minus", "<Control>KP_Subtract"}},
                   {"win.zoom-reset", {"<Control>0", "<Control>KP_0"}},
                   {"win.fullscreen", {"F11"}},
                   {"win.close", {"<Control>w"}}});
}

WindowActions::~WindowActions() {
    for (const GActionEntry& action : kActions)
        g_action_map_remove_action(G_ACTION_MAP(impl_->window.widget()), action.name);
}

}  // namespace nerix::platform
