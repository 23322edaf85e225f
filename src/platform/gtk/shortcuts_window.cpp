#include "platform/gtk/shortcuts_window.h"

#include <gtk/gtk.h>

#include "platform/gtk/window.h"

namespace nerix::platform {

namespace {

// The keys the window's and the application's actions are given (app_actions.cpp,
// window_actions.cpp), as the user reads them.
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

}  // namespace

void presentShortcuts(Window& window) {
    auto* main = GTK_APPLICATION_WINDOW(window.widget());
    if (!gtk_application_window_get_help_overlay(main)) {
        g_autoptr(GtkBuilder) builder = gtk_builder_new_from_string(kShortcutsUi, -1);
        gtk_application_window_set_help_overlay(main,
                                                GTK_SHORTCUTS_WINDOW(gtk_builder_get_object(builder, "shortcuts")));
    }
    gtk_window_present(GTK_WINDOW(gtk_application_window_get_help_overlay(main)));
}

}  // namespace nerix::platform
