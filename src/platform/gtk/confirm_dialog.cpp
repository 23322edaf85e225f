#include "platform/gtk/confirm_dialog.h"

#include <gtk/gtk.h>

#include <utility>

#include "platform/gtk/window.h"

namespace nerix::platform {

namespace {

using Confirmed = std::function<void()>;

void onResponse(GtkDialog* dialog, int response, gpointer data) {
    // A copy: what it does may close the window, and the dialog with it.
    const Confirmed confirmed = *static_cast<Confirmed*>(data);
    gtk_window_destroy(GTK_WINDOW(dialog));
    if (response == GTK_RESPONSE_ACCEPT) confirmed();
}

}  // namespace

void askToConfirm(Window& window, const Confirmation& asked, std::function<void()> confirmed) {
    GtkWidget* dialog = gtk_message_dialog_new(GTK_WINDOW(window.widget()),
                                               GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                               GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, "%s", asked.question.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", asked.detail.c_str());
    gtk_dialog_add_button(GTK_DIALOG(dialog), "_Cancel", GTK_RESPONSE_CANCEL);
    GtkWidget* confirm = gtk_dialog_add_button(GTK_DIALOG(dialog), asked.confirmLabel.c_str(), GTK_RESPONSE_ACCEPT);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    gtk_widget_add_css_class(confirm, "destructive-action");
    // The closure owns the callback: freed with the dialog, however it goes.
    g_signal_connect_data(
        dialog, "response", G_CALLBACK(onResponse), new Confirmed(std::move(confirmed)),
        [](gpointer data, GClosure*) { delete static_cast<Confirmed*>(data); }, GConnectFlags(0));
    gtk_window_present(GTK_WINDOW(dialog));
}

}  // namespace nerix::platform
