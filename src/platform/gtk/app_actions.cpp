#include "platform/gtk/app_actions.h"

#include <gtk/gtk.h>

#include <utility>

#include "platform/gtk/action_keys.h"
#include "platform/gtk/shortcuts_window.h"
#include "platform/gtk/window.h"

namespace nerix::platform {

struct ApplicationActions::Impl {
    Window& window;
    AboutText about;
};

namespace {

ApplicationActions::Impl& implOf(gpointer data) { return *static_cast<ApplicationActions::Impl*>(data); }

void showShortcuts(GSimpleAction*, GVariant*, gpointer data) { presentShortcuts(implOf(data).window); }
void showAbout(GSimpleAction*, GVariant*, gpointer data) { presentAbout(implOf(data).window, implOf(data).about); }
// The window asks first when a job would be stopped, and the application ends once it has gone.
void quit(GSimpleAction*, GVariant*, gpointer data) { implOf(data).window.close(); }

const GActionEntry kActions[] = {{"shortcuts", showShortcuts, nullptr, nullptr, nullptr, {}},
                                 {"about", showAbout, nullptr, nullptr, nullptr, {}},
                                 {"quit", quit, nullptr, nullptr, nullptr, {}}};

GApplication* application() { return g_application_get_default(); }

}  // namespace

ApplicationActions::ApplicationActions(Window& window, AboutText about)
    : impl_(std::make_unique<Impl>(Impl{window, std::move(about)})) {
    g_action_map_add_action_entries(G_ACTION_MAP(application()), kActions, G_N_ELEMENTS(kActions), impl_.get());
    setActionKeys({{"app.preferences", {"<Control>comma"}},
                   {"app.shortcuts", {"<Control>question"}},
                   {"app.quit", {"<Control>q"}}});
}

ApplicationActions::~ApplicationActions() {
    if (GApplication* app = application())
        for (const GActionEntry& action : kActions) g_action_map_remove_action(G_ACTION_MAP(app), action.name);
}

void installPreferencesAction(std::function<void()> open) {
    using Open = std::function<void()>;
    g_autoptr(GSimpleAction) action = g_simple_action_new("preferences", nullptr);
    g_signal_connect_data(
        action, "activate",
        G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer data) { (*static_cast<Open*>(data))(); }),
        new Open(std::move(open)), [](gpointer data, GClosure*) { delete static_cast<Open*>(data); }, GConnectFlags(0));
    g_action_map_add_action(G_ACTION_MAP(application()), G_ACTION(action));
}

}  // namespace nerix::platform
