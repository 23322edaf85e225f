#include "platform/gtk/file_dialog.h"

#include <gtk/gtk.h>

#include "platform/gtk/window.h"

namespace nerix::platform {

namespace {

struct Pending {
    GtkFileChooserNative* dialog = nullptr;
    std::function<void(std::optional<std::vector<std::string>>)> chosen;
};

std::vector<std::string> chosenPaths(GtkFileChooser* chooser) {
    std::vector<std::string> paths;
    GListModel* files = gtk_file_chooser_get_files(chooser);
    for (guint i = 0; files && i < g_list_model_get_n_items(files); ++i) {
        auto* file = G_FILE(g_list_model_get_item(files, i));
        if (gchar* path = g_file_get_path(file)) {
            paths.emplace_back(path);
            g_free(path);
        }
        g_object_unref(file);
    }
    if (files) g_object_unref(files);
    return paths;
}

void onResponse(GtkNativeDialog* dialog, int response, gpointer data) {
    std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
    std::optional<std::vector<std::string>> paths;
    if (response == GTK_RESPONSE_ACCEPT) paths = chosenPaths(GTK_FILE_CHOOSER(dialog));
    gtk_native_dialog_destroy(dialog);
    g_object_unref(dialog);
    pending->chosen(std::move(paths));
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
        GFile* folder = g_file_new_for_path(options.folder->c_str());
        gtk_file_chooser_set_current_folder(chooser, folder, nullptr);
        g_object_unref(folder);
    }
    if (options.mode == Mode::Save && !options.name.empty())
        gtk_file_chooser_set_current_name(chooser, options.name.c_str());
    for (const FileDialogFilter& given : options.filters) {
        GtkFileFilter* filter = gtk_file_filter_new();
        if (!given.name.empty()) gtk_file_filter_set_name(filter, given.name.c_str());
        for (const auto& pattern : given.patterns) gtk_file_filter_add_pattern(filter, pattern.c_str());
        for (const auto& type : given.mimeTypes) gtk_file_filter_add_mime_type(filter, type.c_str());
        gtk_file_chooser_add_filter(chooser, filter);  // the chooser takes it
        g_object_unref(filter);
    }
    auto* pending = new Pending{dialog, std::move(chosen)};
    g_signal_connect(dialog, "response", G_CALLBACK(onResponse), pending);
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));
}

}  // namespace nerix::platform
