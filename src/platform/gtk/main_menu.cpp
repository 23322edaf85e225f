#include "platform/gtk/main_menu.h"

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <algorithm>
#include <cmath>

#include "platform/gtk/web_view.h"
#include "platform/gtk/window.h"

namespace nerix::platform {

struct MainMenu::Impl {
    GtkWindow* window = nullptr;
    WebKitWebView* view = nullptr;
    GtkWidget* header = nullptr;
    AboutText about;
    std::vector<const char*> credits;  // into about.credits, NULL-terminated
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

MainMenu::Impl* implOf(gpointer data) { return static_cast<MainMenu::Impl*>(data); }

void zoomIn(GSimpleAction*, GVariant*, gpointer data) {
    auto* view = implOf(data)->view;
    webkit_web_view_set_zoom_level(view, nextZoom(webkit_web_view_get_zoom_level(view), true));
}
void zoomOut(GSimpleAction*, GVariant*, gpointer data) {
    auto* view = implOf(data)->view;
    webkit_web_view_set_zoom_level(view, nextZoom(webkit_web_view_get_zoom_level(view), false));
}
void zoomReset(GSimpleAction*, GVariant*, gpointer data) { webkit_web_view_set_zoom_level(implOf(data)->view, 1.0); }

void toggleFullScreen(GSimpleAction*, GVariant*, gpointer data) {
    GtkWindow* window = implOf(data)->window;
    if (gtk_window_is_fullscreen(window))
        gtk_window_unfullscreen(window);
    else
        gtk_window_fullscreen(window);
}

// Quit closes the window, which asks first when a job would be stopped and ends the
// application once it has gone.
void quit(GSimpleAction*, GVariant*, gpointer data) { gtk_window_close(implOf(data)->window); }

void showAbout(GSimpleAction*, GVariant*, gpointer data) {
    auto* impl = implOf(data);
    GtkWidget* dialog = gtk_about_dialog_new();
    auto* about = GTK_ABOUT_DIALOG(dialog);
    gtk_about_dialog_set_program_name(about, impl->about.name.c_str());
    gtk_about_dialog_set_version(about, impl->about.version.c_str());
    gtk_about_dialog_set_copyright(about, impl->about.copyright.c_str());
    gtk_about_dialog_set_comments(about, impl->about.comments.c_str());
    if (!impl->about.website.empty()) gtk_about_dialog_set_website(about, impl->about.website.c_str());
    gtk_about_dialog_set_license_type(about, GTK_LICENSE_MIT_X11);
    gtk_about_dialog_set_logo_icon_name(about, g_application_get_application_id(g_application_get_default()));
    gtk_about_dialog_add_credit_section(about, "Built with", impl->credits.data());
    gtk_window_set_transient_for(GTK_WINDOW(dialog), impl->window);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_destroy_with_parent(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_hide_on_close(GTK_WINDOW(dialog), FALSE);
    gtk_window_present(GTK_WINDOW(dialog));
}

constexpr const char* kShortcutsUi = R"(<interface>
  <object class="GtkShortcutsWindow" id="shortcuts">
    <property name="modal">1</property>
    <child>
      <object class="GtkShortcutsSection">
        <property name="section-name">shortcuts</property>
        <child>
          <object class="GtkShortcutsGroup">
            <property name="title">Window</property>
            <child><object class="GtkShortcutsShortcut">
              <property name="title">Preferences</property><property name="accelerator">&lt;Control&gt;comma</property>
            </object></child>
            <child><object class="GtkShortcutsShortcut">
              <property name="title">Keyboard Shortcuts</property><property name="accelerator">&lt;Control&gt;question</property>
            </object></child>
            <child><object class="GtkShortcutsShortcut">
              <property name="title">Full Screen</property><property name="accelerator">F11</property>
            </object></child>
            <child><object class="GtkShortcutsShortcut">
              <property name="title">Close the Window</property><property name="accelerator">&lt;Control&gt;w</property>
            </object></child>
            <child><object class="GtkShortcutsShortcut">
              <property name="title">Quit</property><property name="accelerator">&lt;Control&gt;q</property>
            </object></child>
          </object>
        </child>
        <child>
          <object class="GtkShortcutsGroup">
            <property name="title">Page</property>
            <child><object class="GtkShortcutsShortcut">
              <property name="title">Zoom In</property><property name="accelerator">&lt;Control&gt;plus</property>
            </object></child>
            <child><object class="GtkShortcutsShortcut">
              <property name="title">Zoom Out</property><property name="accelerator">&lt;Control&gt;minus</property>
            </object></child>
            <child><object class="GtkShortcutsShortcut">
              <property name="title">Original Size</property><property name="accelerator">&lt;Control&gt;0</property>
            </object></child>
          </object>
        </child>
      </object>
    </child>
  </object>
</interface>)";

// Made when first asked for, so that it costs the launch nothing.
void showShortcuts(GSimpleAction*, GVariant*, gpointer data) {
    auto* impl = implOf(data);
    if (!gtk_application_window_get_help_overlay(GTK_APPLICATION_WINDOW(impl->window))) {
        GtkBuilder* builder = gtk_builder_new_from_string(kShortcutsUi, -1);
        auto* shortcuts = GTK_SHORTCUTS_WINDOW(gtk_builder_get_object(builder, "shortcuts"));
        gtk_application_window_set_help_overlay(GTK_APPLICATION_WINDOW(impl->window), shortcuts);
        g_object_unref(builder);
    }
    gtk_window_present(GTK_WINDOW(gtk_application_window_get_help_overlay(GTK_APPLICATION_WINDOW(impl->window))));
}

GMenuModel* mainMenuModel() {
    GMenu* menu = g_menu_new();
    GMenu* settings = g_menu_new();
    g_menu_append(settings, "_Preferences", "app.preferences");
    GMenu* help = g_menu_new();
    g_menu_append(help, "_Keyboard Shortcuts", "win.shortcuts");
    g_menu_append(help, "_About Vantorel", "app.about");
    GMenu* end = g_menu_new();
    g_menu_append(end, "_Quit", "app.quit");
    for (GMenu* section : {settings, help, end}) {
        g_menu_append_section(menu, nullptr, G_MENU_MODEL(section));
        g_object_unref(section);
    }
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

void setAccels(GtkApplication* app, const char* action, std::initializer_list<const char*> keys) {
    std::vector<const char*> list(keys);
    list.push_back(nullptr);
    gtk_application_set_accels_for_action(app, action, list.data());
}

}  // namespace

MainMenu::MainMenu(Window& window, WebView& view, AboutText about) : impl_(std::make_unique<Impl>()) {
    impl_->window = GTK_WINDOW(window.widget());
    impl_->view = WEBKIT_WEB_VIEW(view.widget());
    impl_->about = std::move(about);
    for (const std::string& credit : impl_->about.credits) impl_->credits.push_back(credit.c_str());
    impl_->credits.push_back(nullptr);
    auto* app = GTK_APPLICATION(g_application_get_default());

    GtkWidget* header = gtk_header_bar_new();
    GtkWidget* menuButton = gtk_menu_button_new();
    gtk_menu_button_set_icon_name(GTK_MENU_BUTTON(menuButton), "open-menu-symbolic");
    gtk_widget_set_tooltip_text(menuButton, "Main Menu");
    GMenuModel* model = mainMenuModel();
    gtk_menu_button_set_menu_model(GTK_MENU_BUTTON(menuButton), model);
    g_object_unref(model);
    gtk_menu_button_set_primary(GTK_MENU_BUTTON(menuButton), TRUE);  // F10 opens it
    gtk_header_bar_pack_end(GTK_HEADER_BAR(header), menuButton);
    gtk_window_set_titlebar(impl_->window, header);
    impl_->header = header;

    const GActionEntry appActions[] = {{"about", showAbout, nullptr, nullptr, nullptr, {}},
                                       {"quit", quit, nullptr, nullptr, nullptr, {}}};
    g_action_map_add_action_entries(G_ACTION_MAP(app), appActions, G_N_ELEMENTS(appActions), impl_.get());
    const GActionEntry windowActions[] = {{"zoom-in", zoomIn, nullptr, nullptr, nullptr, {}},
                                          {"zoom-out", zoomOut, nullptr, nullptr, nullptr, {}},
                                          {"zoom-reset", zoomReset, nullptr, nullptr, nullptr, {}},
                                          {"fullscreen", toggleFullScreen, nullptr, nullptr, nullptr, {}},
                                          {"shortcuts", showShortcuts, nullptr, nullptr, nullptr, {}}};
    g_action_map_add_action_entries(G_ACTION_MAP(impl_->window), windowActions, G_N_ELEMENTS(windowActions),
                                    impl_.get());

    // Only keys that no text field uses: copy, paste, cut, undo and select all stay the page's.
    setAccels(app, "app.quit", {"<Control>q"});
    setAccels(app, "window.close", {"<Control>w"});
    setAccels(app, "app.preferences", {"<Control>comma"});
    setAccels(app, "win.shortcuts", {"<Control>question"});
    setAccels(app, "win.fullscreen", {"F11"});
    setAccels(app, "win.zoom-in", {"<Control>plus", "<Control>equal", "<Control>KP_Add"});
    setAccels(app, "win.zoom-out", {"<Control>minus", "<Control>KP_Subtract"});
    setAccels(app, "win.zoom-reset", {"<Control>0", "<Control>KP_0"});
}

void MainMenu::keepPageSize() {
    int headerHeight = 0, width = 0, height = 0;
    gtk_widget_measure(impl_->header, GTK_ORIENTATION_VERTICAL, -1, nullptr, &headerHeight, nullptr, nullptr);
    gtk_window_get_default_size(impl_->window, &width, &height);
    if (height > 0) gtk_window_set_default_size(impl_->window, width, height + headerHeight);
    g_signal_connect(impl_->window, "realize", G_CALLBACK(addFrameBorder), nullptr);
}

MainMenu::~MainMenu() {
    GActionMap* app = G_ACTION_MAP(g_application_get_default());
    if (app)
        for (const char* name : {"about", "quit"}) g_action_map_remove_action(app, name);
}

void MainMenu::ask(const std::string& question, const std::string& detail, const std::string& confirmLabel,
                   std::function<void(bool)> answer) {
    GtkWidget* dialog =
        gtk_message_dialog_new(impl_->window, GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                               GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, "%s", question.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", detail.c_str());
    gtk_dialog_add_button(GTK_DIALOG(dialog), "_Cancel", GTK_RESPONSE_CANCEL);
    GtkWidget* confirm = gtk_dialog_add_button(GTK_DIALOG(dialog), confirmLabel.c_str(), GTK_RESPONSE_ACCEPT);
    gtk_widget_add_css_class(confirm, "destructive-action");
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    auto* held = new std::function<void(bool)>(std::move(answer));
    g_signal_connect_data(
        dialog, "response", G_CALLBACK(+[](GtkDialog* d, int response, gpointer data) {
            // A copy: the answer may close the window, and the dialog with it.
            std::function<void(bool)> told = *static_cast<std::function<void(bool)>*>(data);
            gtk_window_destroy(GTK_WINDOW(d));
            told(response == GTK_RESPONSE_ACCEPT);
        }),
        held, [](gpointer data, GClosure*) { delete static_cast<std::function<void(bool)>*>(data); }, GConnectFlags(0));
    gtk_window_present(GTK_WINDOW(dialog));
}

}  // namespace nerix::platform
