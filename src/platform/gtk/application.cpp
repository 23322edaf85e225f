#include "platform/gtk/application.h"

#include <csignal>

#include <glib-unix.h>
#include <gtk/gtk.h>

#include "platform/gtk/gobject_ptr.h"

namespace nerix::platform {

struct Application::Impl {
    GObjectPtr<GtkApplication> app;
    ApplicationDelegate* delegate = nullptr;
    std::string versionText;
    bool launched = false;
    bool inspect = false;
    LaunchOptions options;
    bool stopRequested = false;
};

namespace {

void onActivate(GtkApplication* app, gpointer data) {
    auto* impl = static_cast<Application::Impl*>(data);
    // Launch completion runs once; a later start of the program only brings the window forward.
    if (impl->launched) {
        if (GtkWindow* window = gtk_application_get_active_window(app)) gtk_window_present(window);
        return;
    }
    if (!impl->delegate) return;
    impl->launched = true;
    impl->delegate->activate();
}

void onStartup(GApplication*, gpointer data) {
    auto* impl = static_cast<Application::Impl*>(data);
    if (impl->delegate) impl->delegate->startup();
}

void onShutdown(GApplication*, gpointer data) {
    auto* impl = static_cast<Application::Impl*>(data);
    if (impl->delegate) impl->delegate->shutdown();
}

// The settings options of one command line, as typed, and the folder it was started in.
LaunchOptions settingsOptions(GApplicationCommandLine* line) {
    GVariantDict* options = g_application_command_line_get_options_dict(line);
    auto text = [&](const char* name) -> std::optional<std::string> {
        const char* value = nullptr;
        if (!g_variant_dict_lookup(options, name, "^&ay", &value) || !value) return std::nullopt;
        return std::string(value);
    };
    const char* folder = g_application_command_line_get_cwd(line);
    LaunchOptions launch{{text("node"), text("repo-root"), text("web")}, folder ? folder : "", {}};
    g_autofree const char** files = nullptr;  // the array alone: its strings are the dictionary's
    if (g_variant_dict_lookup(options, G_OPTION_REMAINING, "^a&ay", &files) && files)
        for (const char** file = files; *file; ++file) launch.files.emplace_back(*file);
    return launch;
}

// Every start's command line reaches the running copy: the first launches with its options,
// a later one with settings hands them to the window, a later one without only presents it.
gint onCommandLine(GApplication* app, GApplicationCommandLine* line, gpointer data) {
    auto* impl = static_cast<Application::Impl*>(data);
    LaunchOptions options = settingsOptions(line);
    if (!impl->launched) {
        impl->options = std::move(options);
        g_application_activate(app);
        return 0;
    }
    if (options.settings.any() && impl->delegate) impl->delegate->commandLine(options);
    if (!options.files.empty() && impl->delegate) impl->delegate->open(options.files, options.folder);
    if (GtkWindow* window = gtk_application_get_active_window(GTK_APPLICATION(app))) gtk_window_present(window);
    return 0;
}

// Files the desktop asks to open over the bus (an "Open With" that starts no command line).
void onOpen(GApplication* app, GFile** files, gint count, const gchar*, gpointer data) {
    auto* impl = static_cast<Application::Impl*>(data);
    std::vector<std::string> paths;
    for (gint i = 0; i < count; ++i) {
        g_autofree gchar* path = g_file_get_path(files[i]);
        if (path) paths.emplace_back(path);
    }
    if (!impl->launched) {
        impl->options.files = std::move(paths);
        g_application_activate(app);
        return;
    }
    if (impl->delegate && !paths.empty()) impl->delegate->open(paths, "/");
    if (GtkWindow* window = gtk_application_get_active_window(GTK_APPLICATION(app))) gtk_window_present(window);
}

// Runs in the process that was started, before it looks for a running copy: --version answers
// here, and --inspect is noted for this process's own launch.
gint onLocalOptions(GApplication*, GVariantDict* options, gpointer data) {
    auto* impl = static_cast<Application::Impl*>(data);
    if (g_variant_dict_contains(options, "version")) {
        g_print("%s\n", impl->versionText.c_str());
        return 0;
    }
    impl->inspect = g_variant_dict_contains(options, "inspect");
    return -1;
}

gboolean onStopSignal(gpointer data) {
    // A stop request from the terminal or the session closes the windows the way the user
    // would, so the application ends as it does when its window is closed.
    auto* impl = static_cast<Application::Impl*>(data);
    impl->stopRequested = true;
    GtkApplication* app = impl->app.get();
    g_autoptr(GList) windows = g_list_copy(gtk_application_get_windows(app));  // closing one changes the list
    for (GList* item = windows; item; item = item->next) gtk_window_close(GTK_WINDOW(item->data));
    return G_SOURCE_CONTINUE;
}

const GOptionEntry kOptions[] = {
    {"version", 0, 0, G_OPTION_ARG_NONE, nullptr, "Show the version and exit", nullptr},
    {"inspect", 0, 0, G_OPTION_ARG_NONE, nullptr,
     "Offer the web inspector (\"Inspect Element\" in the page's context menu)", nullptr},
    {"node", 0, 0, G_OPTION_ARG_FILENAME, nullptr, "Node.js to run the tool chain with, for this launch only", "PATH"},
    {"repo-root", 0, 0, G_OPTION_ARG_FILENAME, nullptr,
     "The tool chain's folder (holding packages/cli/dist/index.js), for this launch only", "DIR"},
    {"web", 0, 0, G_OPTION_ARG_FILENAME, nullptr,
     "The web interface's folder (holding index.html), for this launch only", "DIR"},
    {G_OPTION_REMAINING, 0, 0, G_OPTION_ARG_FILENAME_ARRAY, nullptr, nullptr, "[FILE…]"},
    {}};

constexpr const char* kOptionsDescription =
    "Settings are read from the bundle's Info.plist, then from\n"
    "$XDG_CONFIG_HOME/vantorel/settings.ini (~/.config/vantorel/settings.ini when unset;\n"
    "[toolchain] node, repo-root; [web] folder), then from the options above.\n"
    "A later launch with options hands them to the running window, and files\n"
    "given to a later launch are opened in the running window's page.";

}  // namespace

Application::Application(const std::string& id, std::string versionText) : impl_(std::make_unique<Impl>()) {
    impl_->versionText = std::move(versionText);
    // Unique: the first start owns the ID on the session bus, later ones hand over to it.
    impl_->app.reset(gtk_application_new(
        id.c_str(), static_cast<GApplicationFlags>(G_APPLICATION_HANDLES_COMMAND_LINE | G_APPLICATION_HANDLES_OPEN)));
    g_application_add_main_option_entries(G_APPLICATION(impl_->app.get()), kOptions);
    g_application_set_option_context_summary(G_APPLICATION(impl_->app.get()),
                                             "The desktop window for the Nerix music tool chain.");
    g_application_set_option_context_description(G_APPLICATION(impl_->app.get()), kOptionsDescription);
    g_signal_connect(impl_->app.get(), "command-line", G_CALLBACK(onCommandLine), impl_.get());
    g_signal_connect(impl_->app.get(), "handle-local-options", G_CALLBACK(onLocalOptions), impl_.get());
    g_signal_connect(impl_->app.get(), "activate", G_CALLBACK(onActivate), impl_.get());
    g_signal_connect(impl_->app.get(), "open", G_CALLBACK(onOpen), impl_.get());
    g_signal_connect(impl_->app.get(), "startup", G_CALLBACK(onStartup), impl_.get());
    g_signal_connect(impl_->app.get(), "shutdown", G_CALLBACK(onShutdown), impl_.get());
    g_unix_signal_add(SIGINT, onStopSignal, impl_.get());
    g_unix_signal_add(SIGTERM, onStopSignal, impl_.get());
}

Application::~Application() = default;

void Application::setDelegate(ApplicationDelegate& delegate) { impl_->delegate = &delegate; }

int Application::run(int argc, char** argv) { return g_application_run(G_APPLICATION(impl_->app.get()), argc, argv); }

bool Application::inspectorRequested() const { return impl_->inspect; }

const LaunchOptions& Application::launchOptions() const { return impl_->options; }

void Application::runOnMainThread(std::function<void()> work) {
    auto* held = new std::function<void()>(std::move(work));
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        },
        held, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}
bool Application::stopRequested() const { return impl_->stopRequested; }

}  // namespace nerix::platform
