#include "platform/gtk/header_bar.h"

#include <gtk/gtk.h>

#include "platform/gtk/window.h"

namespace nerix::platform {

namespace {

GMenuModel* newMainMenuModel() {
    GMenu* menu = g_menu_new();
    g_autoptr(GMenu) settings = g_menu_new();
    g_menu_append(settings, "_Preferences", "app.preferences");
    g_autoptr(GMenu) help = g_menu_new();
    g_menu_append(help, "_Keyboard Shortcuts", "app.shortcuts");
    g_menu_append(help, "_About Vantorel", "app.about");
    g_autoptr(GMenu) end = g_menu_new();
    g_menu_append(end, "_Quit", "app.quit");
    for (GMenu* section : {settings, help, end}) g_menu_append_section(menu, nullptr, G_MENU_MODEL(section));
    return G_MENU_MODEL(menu);
}

// Without a compositor GTK draws a solid frame (its border and padding) inside the window
// instead of a shadow outside it; the window grows by that too, so the page keeps its size.
void addFrameBorder(GtkWidget* widget, gpointer) {
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GtkBorder border{}, padding{};
    GtkStyleContext* style = gtk_widget_get_style_context(widget);
    gtk_style_context_get_border(style, &border);
    gtk_style_context_get_padding(style, &padding);
    G_GNUC_END_IGNORE_DEPRECATIONS
    const int extraWidth = border.left + border.right + padding.left + padding.right;
    const int extraHeight = border.top + border.bottom + padding.top + padding.bottom;
    if (extraWidth == 0 && extraHeight == 0) return;
    int width = 0, height = 0;
    gtk_window_get_default_size(GTK_WINDOW(widget), &width, &height);
    if (width > 0 && height > 0)
        gtk_window_set_default_size(GTK_WINDOW(widget), width + extraWidth, height + extraHeight);
}

}  // namespace

HeaderBar::HeaderBar(Window& window) : window_(window.widget()), header_(gtk_header_bar_new()) {
    GtkWidget* menuButton = gtk_menu_button_new();
    gtk_menu_button_set_icon_name(GTK_MENU_BUTTON(menuButton), "open-menu-symbolic");
    gtk_widget_set_tooltip_text(menuButton, "Main Menu");
    g_autoptr(GMenuModel) model = newMainMenuModel();
    gtk_menu_button_set_menu_model(GTK_MENU_BUTTON(menuButton), model);
    gtk_menu_button_set_primary(GTK_MENU_BUTTON(menuButton), TRUE);  // F10 opens it
    gtk_header_bar_pack_end(GTK_HEADER_BAR(header_), menuButton);
    gtk_window_set_titlebar(GTK_WINDOW(window_), GTK_WIDGET(header_));
}

void HeaderBar::keepPageSize() {
    auto* window = GTK_WINDOW(window_);
    int headerHeight = 0, width = 0, height = 0;
    gtk_widget_measure(GTK_WIDGET(header_), GTK_ORIENTATION_VERTICAL, -1, nullptr, &headerHeight, nullptr, nullptr);
    gtk_window_get_default_size(window, &width, &height);
    if (height > 0) gtk_window_set_default_size(window, width, height + headerHeight);
    g_signal_connect(window, "realize", G_CALLBACK(addFrameBorder), nullptr);
}

}  // namespace nerix::platform
