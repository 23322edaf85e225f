#include "platform/gtk/preferences_window.h"

#include <gtk/gtk.h>

namespace nerix::platform {

namespace {

GtkWindow* applicationWindow() {
    auto* app = GTK_APPLICATION(g_application_get_default());
    return app ? gtk_application_get_active_window(app) : nullptr;
}

// One row: its name, the value chosen, what is wrong with it, and its buttons.
struct Row {
    PreferencesWindow::Field field;
    GtkWidget* value = nullptr;
    GtkWidget* problem = nullptr;
    std::string chosen;
};

}  // namespace

struct PreferencesWindow::Impl {
    GtkWindow* window = nullptr;
    Row rows[3] = {{Field::RepoRoot, nullptr, nullptr, {}},
                   {Field::Node, nullptr, nullptr, {}},
                   {Field::Web, nullptr, nullptr, {}}};
    std::function<std::string(Field, const std::string&)> check;
    std::function<std::string()> findNode;
    std::function<void(const SettingValues&)> save;
    unsigned versionAsked = 0;  // a version that arrives for an earlier choice is dropped

    Row& row(Field field) { return rows[static_cast<int>(field)]; }
    void choose(Field field, const std::string& value);
    void askVersion(const std::string& node);
    void build();
};

namespace {

struct VersionQuestion {
    PreferencesWindow::Impl* impl;
    unsigned asked;
    std::string node;
};

void onVersion(GObject* source, GAsyncResult* result, gpointer data) {
    auto* question = static_cast<VersionQuestion*>(data);
    gchar* out = nullptr;
    GError* error = nullptr;
    const bool ran = g_subprocess_communicate_utf8_finish(G_SUBPROCESS(source), result, &out, nullptr, &error);
    auto* impl = question->impl;
    if (question->asked == impl->versionAsked) {
        std::string text = question->node;
        if (ran && out && g_subprocess_get_successful(G_SUBPROCESS(source)))
            text += " (" + std::string(g_strstrip(out)) + ")";
        else
            text += " (no version: it did not answer node --version)";
        gtk_label_set_text(GTK_LABEL(impl->row(PreferencesWindow::Field::Node).value), text.c_str());
    }
    g_free(out);
    if (error) g_error_free(error);
    g_object_unref(source);
    delete question;
}

}  // namespace

void PreferencesWindow::Impl::askVersion(const std::string& node) {
    const unsigned asked = ++versionAsked;
    GSubprocess* process = g_subprocess_new(
        static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_SILENCE), nullptr,
        node.c_str(), "--version", nullptr);
    if (!process) return;
    g_subprocess_communicate_utf8_async(process, nullptr, nullptr, onVersion, new VersionQuestion{this, asked, node});
}

void PreferencesWindow::Impl::choose(Field field, const std::string& value) {
    Row& r = row(field);
    r.chosen = value;
    std::string shown = value;
    if (field == Field::Web && value.empty()) shown = "The bundled web interface";
    if (field == Field::Node && value.empty()) shown = "Not found";
    gtk_label_set_text(GTK_LABEL(r.value), shown.c_str());
    const std::string problem = check && !(field == Field::Web && value.empty()) ? check(field, value) : "";
    gtk_label_set_text(GTK_LABEL(r.problem), problem.c_str());
    gtk_widget_set_visible(r.problem, !problem.empty());
    if (field == Field::Node) {
        ++versionAsked;
        if (problem.empty() && !value.empty()) askVersion(value);
    }
}

namespace {

struct Choice {
    PreferencesWindow::Impl* impl;
    PreferencesWindow::Field field;
};

void onChosen(GtkNativeDialog* dialog, int response, gpointer data) {
    auto* choice = static_cast<Choice*>(data);
    if (response == GTK_RESPONSE_ACCEPT) {
        GFile* file = gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog));
        if (char* path = file ? g_file_get_path(file) : nullptr) {
            choice->impl->choose(choice->field, path);
            g_free(path);
        }
        if (file) g_object_unref(file);
    }
    g_object_unref(dialog);
    delete choice;
}

void chooseFile(PreferencesWindow::Impl* impl, PreferencesWindow::Field field) {
    const bool folder = field != PreferencesWindow::Field::Node;
    const char* title = field == PreferencesWindow::Field::Node       ? "Choose Node.js"
                        : field == PreferencesWindow::Field::RepoRoot ? "Choose the Tool Chain Folder"
                                                                      : "Choose the Web Interface Folder";
    GtkFileChooserNative* dialog = gtk_file_chooser_native_new(
        title, impl->window, folder ? GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER : GTK_FILE_CHOOSER_ACTION_OPEN, "_Select",
        "_Cancel");
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(dialog), TRUE);
    auto* choice = new Choice{impl, field};
    g_signal_connect(dialog, "response", G_CALLBACK(onChosen), choice);
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));
}

GtkWidget* button(const char* label, GCallback clicked, gpointer data) {
    GtkWidget* widget = gtk_button_new_with_mnemonic(label);
    g_signal_connect_swapped(widget, "clicked", clicked, data);
    return widget;
}

GtkWidget* boldLabel(const char* text) {
    GtkWidget* label = gtk_label_new(nullptr);
    gchar* markup = g_markup_printf_escaped("<b>%s</b>", text);
    gtk_label_set_markup(GTK_LABEL(label), markup);
    g_free(markup);
    gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
    return label;
}

using Field = PreferencesWindow::Field;
using Impl = PreferencesWindow::Impl;

void onChooseRow(Choice* choice) { chooseFile(choice->impl, choice->field); }
void onFindNode(Impl* self) { self->choose(Field::Node, self->findNode ? self->findNode() : ""); }
void onUseBundled(Impl* self) { self->choose(Field::Web, ""); }
void onCancel(Impl* self) { gtk_widget_set_visible(GTK_WIDGET(self->window), FALSE); }

void onSave(Impl* self) {
    gtk_widget_set_visible(GTK_WIDGET(self->window), FALSE);
    if (self->save)
        self->save(SettingValues{.node = self->row(Field::Node).chosen,
                                 .repoRoot = self->row(Field::RepoRoot).chosen,
                                 .web = self->row(Field::Web).chosen});
}

// The window itself: modal, and hidden rather than destroyed when closed.
GtkWindow* newPreferencesWindow() {
    auto* window = GTK_WINDOW(gtk_window_new());
    gtk_window_set_title(window, "Preferences");
    gtk_window_set_modal(window, TRUE);
    gtk_window_set_hide_on_close(window, TRUE);
    gtk_window_set_default_size(window, 640, -1);
    return window;
}

// The grid the rows stand in: names, values, buttons.
GtkWidget* newFormGrid() {
    GtkWidget* grid = gtk_grid_new();
    gtk_grid_set_row_spacing(GTK_GRID(grid), 6);
    gtk_grid_set_column_spacing(GTK_GRID(grid), 12);
    for (auto margin : {gtk_widget_set_margin_top, gtk_widget_set_margin_bottom, gtk_widget_set_margin_start,
                        gtk_widget_set_margin_end})
        margin(grid, 18);
    return grid;
}

// A row's value: one line, shortened in the middle when long, and selectable.
GtkWidget* newValueLabel() {
    GtkWidget* value = gtk_label_new(nullptr);
    gtk_label_set_xalign(GTK_LABEL(value), 0.0f);
    gtk_label_set_selectable(GTK_LABEL(value), TRUE);
    gtk_label_set_ellipsize(GTK_LABEL(value), PANGO_ELLIPSIZE_MIDDLE);
    gtk_widget_set_hexpand(value, TRUE);
    return value;
}

// What is wrong with a row's value, wrapped, in the error style.
GtkWidget* newProblemLabel() {
    GtkWidget* problem = gtk_label_new(nullptr);
    gtk_label_set_xalign(GTK_LABEL(problem), 0.0f);
    gtk_label_set_wrap(GTK_LABEL(problem), TRUE);
    gtk_widget_add_css_class(problem, "error");
    return problem;
}

// A row's buttons: Choose…, and Node.js's Find Automatically or the web interface's Use the
// Bundled One.
GtkWidget* newRowButtons(Impl* impl, Field field) {
    GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    auto* choice = new Choice{impl, field};  // kept with the window, which lives as long as the program
    gtk_box_append(GTK_BOX(buttons), button("_Choose…", G_CALLBACK(onChooseRow), choice));
    if (field == Field::Node)
        gtk_box_append(GTK_BOX(buttons), button("_Find Automatically", G_CALLBACK(onFindNode), impl));
    if (field == Field::Web)
        gtk_box_append(GTK_BOX(buttons), button("Use the _Bundled One", G_CALLBACK(onUseBundled), impl));
    return buttons;
}

// A row on two lines of the grid from `line`: its name, value and buttons, and under them
// what is wrong with the value.
void attachRow(GtkWidget* grid, int line, const char* name, const Row& row, GtkWidget* buttons) {
    gtk_grid_attach(GTK_GRID(grid), boldLabel(name), 0, line, 1, 1);
    gtk_grid_attach(GTK_GRID(grid), row.value, 1, line, 1, 1);
    gtk_grid_attach(GTK_GRID(grid), buttons, 2, line, 1, 1);
    gtk_grid_attach(GTK_GRID(grid), row.problem, 1, line + 1, 2, 1);
}

// Cancel and Save, at the end of the grid's last line.
GtkWidget* newActionButtons(Impl* impl) {
    GtkWidget* actions = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    gtk_widget_set_halign(actions, GTK_ALIGN_END);
    gtk_widget_set_margin_top(actions, 12);
    gtk_box_append(GTK_BOX(actions), button("_Cancel", G_CALLBACK(onCancel), impl));
    GtkWidget* save = button("_Save", G_CALLBACK(onSave), impl);
    gtk_widget_add_css_class(save, "suggested-action");
    gtk_box_append(GTK_BOX(actions), save);
    return actions;
}

}  // namespace

PreferencesWindow::PreferencesWindow() : impl_(std::make_unique<Impl>()) {}

PreferencesWindow::~PreferencesWindow() {
    if (impl_->window) gtk_window_destroy(impl_->window);
}

void PreferencesWindow::setCheck(std::function<std::string(Field, const std::string&)> check) {
    impl_->check = std::move(check);
}
void PreferencesWindow::setFindNode(std::function<std::string()> find) { impl_->findNode = std::move(find); }
void PreferencesWindow::setSave(std::function<void(const SettingValues&)> save) { impl_->save = std::move(save); }

void PreferencesWindow::Impl::build() {
    window = newPreferencesWindow();
    GtkWidget* grid = newFormGrid();
    const char* names[] = {"Tool chain folder", "Node.js", "Web interface"};
    for (int i = 0; i < 3; ++i) {
        Row& r = rows[i];
        r.value = newValueLabel();
        r.problem = newProblemLabel();
        attachRow(grid, 2 * i, names[i], r, newRowButtons(this, r.field));
    }
    gtk_grid_attach(GTK_GRID(grid), newActionButtons(this), 0, 6, 3, 1);
    gtk_window_set_child(window, grid);
}

void PreferencesWindow::present(const SettingValues& values) {
    Impl* impl = impl_.get();
    if (!impl->window) impl->build();
    gtk_window_set_transient_for(impl->window, applicationWindow());
    impl->choose(Field::RepoRoot, values.repoRoot.value_or(""));
    impl->choose(Field::Node, values.node.value_or(""));
    impl->choose(Field::Web, values.web.value_or(""));
    gtk_window_present(impl->window);
}

void installPreferencesAction(std::function<void()> open) {
    auto* app = G_APPLICATION(g_application_get_default());
    GSimpleAction* action = g_simple_action_new("preferences", nullptr);
    g_signal_connect_data(
        action, "activate",
        G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer data) { (*static_cast<std::function<void()>*>(data))(); }),
        new std::function<void()>(std::move(open)),
        [](gpointer data, GClosure*) { delete static_cast<std::function<void()>*>(data); }, GConnectFlags(0));
    g_action_map_add_action(G_ACTION_MAP(app), G_ACTION(action));
    g_object_unref(action);
    const char* keys[] = {"<Control>comma", nullptr};
    gtk_application_set_accels_for_action(GTK_APPLICATION(app), "app.preferences", keys);
}

namespace {

void onConfirmResponse(GtkDialog* dialog, int response, gpointer data) {
    auto* confirmed = static_cast<std::function<void()>*>(data);
    gtk_window_destroy(GTK_WINDOW(dialog));
    if (response == GTK_RESPONSE_ACCEPT) (*confirmed)();
    delete confirmed;
}

}  // namespace

void askToConfirm(const std::string& question, const std::string& detail, const std::string& goOn,
                  std::function<void()> confirmed) {
    GtkWidget* dialog = gtk_message_dialog_new(applicationWindow(), GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION,
                                               GTK_BUTTONS_NONE, "%s", question.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", detail.c_str());
    gtk_dialog_add_button(GTK_DIALOG(dialog), "_Cancel", GTK_RESPONSE_CANCEL);
    gtk_dialog_add_button(GTK_DIALOG(dialog), goOn.c_str(), GTK_RESPONSE_ACCEPT);
    auto* held = new std::function<void()>(std::move(confirmed));
    g_signal_connect(dialog, "response", G_CALLBACK(onConfirmResponse), held);
    gtk_window_present(GTK_WINDOW(dialog));
}

}  // namespace nerix::platform
