#pragma once

// For this folder's action files alone: it includes GTK's header.
#include <gtk/gtk.h>

#include <initializer_list>
#include <vector>

namespace nerix::platform {

// An action's keys, as GTK writes them ("<Control>q").
struct ActionKeys {
    const char* action;  // "app.quit", "win.close"
    std::initializer_list<const char*> keys;
};

// Gives each action its keys, for every window of the application.
inline void setActionKeys(std::initializer_list<ActionKeys> table) {
    auto* app = GTK_APPLICATION(g_application_get_default());
    for (const ActionKeys& entry : table) {
        std::vector<const char*> keys(entry.keys);
        keys.push_back(nullptr);
        gtk_application_set_accels_for_action(app, entry.action, keys.data());
    }
}

}  // namespace nerix::platform
