#include "platform/gtk/about_window.h"

#include <gtk/gtk.h>

#include "platform/gtk/window.h"

namespace nerix::platform {

void presentAbout(Window& window, const AboutText& about) {
    auto* dialog = GTK_ABOUT_DIALOG(gtk_about_dialog_new());
    gtk_about_dialog_set_program_name(dialog, about.name.c_str());
    gtk_about_dialog_set_version(dialog, about.version.c_str());
    gtk_about_dialog_set_copyright(dialog, about.copyright.c_str());
    gtk_about_dialog_set_comments(dialog, about.comments.c_str());
    if (!about.website.empty()) gtk_about_dialog_set_website(dialog, about.website.c_str());
    gtk_about_dialog_set_license_type(dialog, GTK_LICENSE_MIT_X11);
    gtk_about_dialog_set_logo_icon_name(dialog, g_application_get_application_id(g_application_get_default()));
    std::vector<const char*> credits;  // the dialog copies them
    for (const std::string& credit : about.credits) credits.push_back(credit.c_str());
    credits.push_back(nullptr);
    gtk_about_dialog_add_credit_section(dialog, "Built with", credits.data());
    GtkWindow* shown = GTK_WINDOW(dialog);
    gtk_window_set_transient_for(shown, GTK_WINDOW(window.widget()));
    gtk_window_set_modal(shown, TRUE);
    gtk_window_set_destroy_with_parent(shown, TRUE);
    gtk_window_set_hide_on_close(shown, FALSE);
    gtk_window_present(shown);
}

}  // namespace nerix::platform
