#include "platform/gtk/desktop_services.h"

#include <gtk/gtk.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "platform/gtk/window.h"

namespace nerix::platform {

namespace {
constexpr const char* kLauncherUri = "application://org.vantorel.Vantorel.desktop";
constexpr const char* kLauncherPath = "/org/vantorel/Vantorel/LauncherEntry";
constexpr guint32 kPreferDark = 1;  // the portal's color-scheme: 0 none, 1 prefer dark, 2 prefer light
}  // namespace

struct DesktopServices::Impl {
    GtkApplication* app = nullptr;
    GtkWindow* window = nullptr;
    GDBusConnection* bus = nullptr;  // the application's session bus, or none
    guint inhibitCookie = 0;
    guint settingChanged = 0;
};

namespace {

// Takes `taken`. Read answers a variant holding the variant; the signal holds the value itself.
void applyColorScheme(GVariant* taken) {
    g_autoptr(GVariant) value = taken;
    while (value && g_variant_is_of_type(value, G_VARIANT_TYPE_VARIANT)) {
        g_autoptr(GVariant) outer = g_steal_pointer(&value);
        value = g_variant_get_variant(outer);
    }
    if (value && g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32)) {
        const gboolean dark = g_variant_get_uint32(value) == kPreferDark;
        g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", dark, nullptr);
    }
}

void onColorSchemeRead(GObject* source, GAsyncResult* result, gpointer) {
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
    if (!reply) return;  // no settings portal: GTK's own preference stays
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    applyColorScheme(value);
}

void onSettingChanged(GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* parameters,
                      gpointer) {
    const char* group = nullptr;
    const char* key = nullptr;
    GVariant* value = nullptr;
    g_variant_get(parameters, "(&s&sv)", &group, &key, &value);
    if (g_strcmp0(group, "org.freedesktop.appearance") == 0 && g_strcmp0(key, "color-scheme") == 0)
        applyColorScheme(value);
}

using Done = std::function<void(bool)>;

void onLaunched(GObject*, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Done> done(static_cast<Done*>(data));
    const gboolean launched = g_app_info_launch_default_for_uri_finish(result, nullptr);
    if (*done) (*done)(launched);
}

// `uri` in the user's default application for it.
void launchDefault(const std::string& path, Done done) {
    g_autoptr(GFile) file = g_file_new_for_path(path.c_str());
    g_autofree gchar* uri = g_file_get_uri(file);
    g_app_info_launch_default_for_uri_async(uri, nullptr, nullptr, onLaunched, new Done(std::move(done)));
}

struct Showing {
    std::string file;
    Done done;
};

void onShowItems(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Showing> showing(static_cast<Showing*>(data));
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
    if (reply) {
        if (showing->done) showing->done(true);
        return;
    }
    // No file manager answers: the folder, in whatever opens folders.
    launchDefault(std::filesystem::path(showing->file).parent_path().string(), std::move(showing->done));
}

void show(DesktopServices::Impl& impl, const std::string& file, Done done) {
    if (!impl.bus) return launchDefault(std::filesystem::path(file).parent_path().string(), std::move(done));
    g_autoptr(GFile) item = g_file_new_for_path(file.c_str());
    g_autofree gchar* uri = g_file_get_uri(item);
    const gchar* uris[] = {uri, nullptr};
    g_dbus_connection_call(impl.bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                           "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(^ass)", uris, ""), nullptr,
                           G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, onShowItems, new Showing{file, std::move(done)});
}

void showInFilesAction(GSimpleAction*, GVariant* parameter, gpointer data) {
    show(*static_cast<DesktopServices::Impl*>(data), g_variant_get_string(parameter, nullptr), nullptr);
}

void presentWindow(GSimpleAction*, GVariant*, gpointer data) {
    gtk_window_present(static_cast<DesktopServices::Impl*>(data)->window);
}

}  // namespace

DesktopServices::DesktopServices(Window& window) : impl_(std::make_unique<Impl>()) {
    impl_->app = GTK_APPLICATION(g_application_get_default());
    impl_->window = GTK_WINDOW(window.widget());
    impl_->bus = g_application_get_dbus_connection(G_APPLICATION(impl_->app));
    const GActionEntry actions[] = {{"show-in-files", showInFilesAction, "s", nullptr, nullptr, {}},
                                    {"present-window", presentWindow, nullptr, nullptr, nullptr, {}}};
    g_action_map_add_action_entries(G_ACTION_MAP(impl_->app), actions, G_N_ELEMENTS(actions), impl_.get());
}

DesktopServices::~DesktopServices() {
    inhibitSuspend(std::nullopt);
    if (impl_->settingChanged) g_dbus_connection_signal_unsubscribe(impl_->bus, impl_->settingChanged);
    for (const char* name : {"show-in-files", "present-window"})
        g_action_map_remove_action(G_ACTION_MAP(impl_->app), name);
}

void DesktopServices::inhibitSuspend(const std::optional<std::string>& reason) {
    if (reason && !impl_->inhibitCookie) {
        impl_->inhibitCookie =
            gtk_application_inhibit(impl_->app, impl_->window, GTK_APPLICATION_INHIBIT_SUSPEND, reason->c_str());
    } else if (!reason && impl_->inhibitCookie) {
        gtk_application_uninhibit(impl_->app, impl_->inhibitCookie);
        impl_->inhibitCookie = 0;
    }
}

void DesktopServices::setLauncherCount(int count, bool urgent) {
    if (!impl_->bus) return;
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "count", g_variant_new_int64(count));
    g_variant_builder_add(&properties, "{sv}", "count-visible", g_variant_new_boolean(count > 0));
    g_variant_builder_add(&properties, "{sv}", "urgent", g_variant_new_boolean(urgent));
    g_dbus_connection_emit_signal(impl_->bus, nullptr, kLauncherPath, "com.canonical.Unity.LauncherEntry", "Update",
                                  g_variant_new("(sa{sv})", kLauncherUri, &properties), nullptr);
}

void DesktopServices::sendNotification(const std::string& id, const std::string& title, const std::string& body,
                                       const std::optional<std::string>& showInFiles) {
    // Clicking it presents the window.
    g_autoptr(GNotification) notification = g_notification_new(title.c_str());
    g_notification_set_default_action(notification, "app.present-window");
    g_notification_set_body(notification, body.c_str());
    if (showInFiles)
        g_notification_add_button_with_target(notification, "Show in Files", "app.show-in-files", "s",
                                              showInFiles->c_str());
    g_application_send_notification(G_APPLICATION(impl_->app), id.c_str(), notification);
}

void DesktopServices::showInFiles(const std::string& file, std::function<void(bool)> done) {
    show(*impl_, file, std::move(done));
}

void DesktopServices::openWithDefault(const std::string& file, std::function<void(bool)> done) {
    launchDefault(file, std::move(done));
}

void DesktopServices::addRecentFile(const std::string& file) {
    g_autoptr(GFile) item = g_file_new_for_path(file.c_str());
    g_autofree gchar* uri = g_file_get_uri(item);
    g_autofree gchar* type = g_content_type_guess(file.c_str(), nullptr, 0, nullptr);
    g_autofree gchar* mime = type ? g_content_type_get_mime_type(type) : nullptr;
    GtkRecentData data{};
    data.mime_type = mime ? mime : const_cast<char*>("application/octet-stream");
    data.app_name = const_cast<char*>("Vantorel");
    data.app_exec = const_cast<char*>("vantorel %f");
    gtk_recent_manager_add_full(gtk_recent_manager_get_default(), uri, &data);
}

void DesktopServices::followColorScheme() {
    if (!impl_->bus) return;
    impl_->settingChanged = g_dbus_connection_signal_subscribe(
        impl_->bus, "org.freedesktop.portal.Desktop", "org.freedesktop.portal.Settings", "SettingChanged",
        "/org/freedesktop/portal/desktop", nullptr, G_DBUS_SIGNAL_FLAGS_NONE, onSettingChanged, nullptr, nullptr);
    // In the background: the window never waits for the answer. A portal that is not running
    // is not started for it.
    g_dbus_connection_call(impl_->bus, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                           "org.freedesktop.portal.Settings", "Read",
                           g_variant_new("(ss)", "org.freedesktop.appearance", "color-scheme"), G_VARIANT_TYPE("(v)"),
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, 2000, nullptr, onColorSchemeRead, nullptr);
}

}  // namespace nerix::platform
