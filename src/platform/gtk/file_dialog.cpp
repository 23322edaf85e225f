#include "platform/gtk/file_dialog.h"

#include <gtk/gtk.h>

#include <memory>
#include <utility>

#include "platform/gtk/window.h"

namespace nerix::platform {

namespace {

using Chosen = std::function<void(std::optional<std::vector<std::string>>)>;

std::vector<std::string> chosenPaths(GtkFileChooser* chooser) {
    std::vector<std::string> paths;
    g_autoptr(GListModel) files = gtk_file_chooser_get_files(chooser);
    for (guint i = 0; files && i < g_list_model_get_n_items(files); ++i) {
        g_autoptr(GFile) file = G_FILE(g_list_model_get_item(files, i));
        g_autofree gchar* path = g_file_get_path(file);
        if (path) paths.emplace_back(path);
    }
    return paths;
}

void onResponse(GtkNativeDialog* dialog, int response, gpointer data) {
    const std::unique_ptr<Chosen> chosen(static_cast<Chosen*>(data));
    g_autoptr(GtkFileChooserNative) owned = GTK_FILE_CHOOSER_NATIVE(dialog);  // ours since it was made
    std::optional<std::vector<std::string>> paths;
    if (response == GTK_RESPONSE_ACCEPT) paths = chosenPaths(GTK_FILE_CHOOSER(owned));
    gtk_native_dialog_destroy(GTK_NATIVE_DIALOG(owned));
    (*chosen)(std::move(paths));
}

}  // namespace

void showFileDialog(Window& window, const FileDialogOptions& options,
                    std::function<void(std::optional<std::vector<std::string>>)> chosen) {
    using Mode = FileDialogOptions::Mode;
    const GtkFileChooserAction action = options.mode == Mode::Save     ? GTK_FILE_CHOOSER_ACTION_SAVE
                                        : options.mode == Mode::Folder ? GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER
                                                                       : GTK_FILE_CHOOSER_ACTION_OPEN;
    const char* title = !options.title.empty()         ? options.title.c_str()
                        : options.mode == Mode::Save   ? "Save"
                        : options.mode == Mode::Folder ? "Choose a Folder"
                                                       : "Open";
    const char* accept = options.mode == Mode::Save ? "_Save" : options.mode == Mode::Folder ? "_Select" : "_Open";
    GtkFileChooserNative* dialog =
        gtk_file_chooser_native_new(title, GTK_WINDOW(window.widget()), action, accept, "_Cancel");
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(dialog), TRUE);
    gtk_file_chooser_set_select_multiple(chooser, options.mode == Mode::OpenMany);
    if (options.folder) {
        g_autoptr(GFile) folder = g_file_new_for_path(options.folder->c_str());
        gtk_file_chooser_set_current_folder(chooser, folder, nullptr);
    }
    if (options.mode == Mode::Save && !options.name.empty())
        gtk_file_chooser_set_current_name(chooser, options.name.c_str());
    for (const FileDialogFilter& given : options.filters) {
        g_autoptr(GtkFileFilter) filter = gtk_file_filter_new();
        if (!given.name.empty()) gtk_file_filter_set_name(filter, given.name.c_str());
        for (const auto& pattern : given.patterns) gtk_file_filter_add_pattern(filter, pattern.c_str());
        for (const auto& type : given.mimeTypes) gtk_file_filter_add_mime_type(filter, type.c_str());
        gtk_file_chooser_add_filter(chooser, filter);  // the chooser holds its own reference
    }
    g_signal_connect(dialog, "response", G_CALLBACK(onResponse), new Chosen(std::move(chosen)));
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));
}

}  // namespace nerix::platform
