#include "platform/gtk/preferences_window.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>

#include "platform/gtk/application.h"
#include "platform/posix/program_output.h"

namespace nerix::platform {

namespace {

// Node.js answers --version at once; one that has not within this is taken as not answering.
constexpr std::chrono::seconds kVersionLimit{5};

GtkWindow* applicationWindow() {
    auto* app = GTK_APPLICATION(g_application_get_default());
    return app ? gtk_application_get_active_window(app) : nullptr;
}

// One row: the value chosen, and the labels that show it and what is wrong with it.
struct Row {
    PreferencesWindow::Impl* owner;
    PreferencesWindow::Field field;
    GtkWidget* value = nullptr;
    GtkWidget* problem = nullptr;
    std::string chosen;
};

}  // namespace

struct PreferencesWindow::Impl {
    GtkWindow* window = nullptr;
    Row rows[3] = {{this, Field::RepoRoot, nullptr, nullptr, {}},
                   {this, Field::Node, nullptr, nullptr, {}},
                   {this, Field::Web, nullptr, nullptr, {}}};
    std::function<std::string(Field, const std::string&)> check;
    std::function<std::string()> findNode;
    std::function<void(const SettingValues&)> save;
    unsigned versionAsked = 0;  // a version that arrives for an earlier choice is dropped
    // Gone with the window: what comes back from another thread, or from a dialog that outlived
    // it, finds it expired and touches nothing.
    std::shared_ptr<int> alive = std::make_shared<int>(0);

    Row& row(Field field) { return rows[static_cast<int>(field)]; }
    void choose(Field field, const std::string& value);
    void askVersion(const std::string& node);
    void build();
};

// Asked on a thread of its own, so that a Node.js slow to start never holds up the window; the
// answer is shown on the main thread, unless the window has gone or another was chosen meanwhile.
void PreferencesWindow::Impl::askVersion(const std::string& node) {
    std::thread([self = this, alive = std::weak_ptr<int>(alive), asked = versionAsked, node] {
        auto version = programOutput({node, "--version"}, kVersionLimit);
        std::string text = node + (version ? " (" + std::string(g_strstrip(version->data())) + ")"
                                           : std::string(" (no version: it did not answer node --version)"));
        Application::runOnMainThread([self, alive, asked, text = std::move(text)] {
            if (alive.expired() || asked != self->versionAsked) return;
            gtk_label_set_text(GTK_LABEL(self->row(Field::Node).value), text.c_str());
        });
    }).detach();
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

// A chooser's answer goes to its row, unless the window has gone meanwhile.
struct Choosing {
    Row* row;
    std::weak_ptr<int> alive;
};

void onChosen(GtkNativeDialog* dialog, int response, gpointer data) {
    g_autoptr(GtkFileChooserNative) owned = GTK_FILE_CHOOSER_NATIVE(dialog);  // ours since it was made
    const auto* choosing = static_cast<const Choosing*>(data);
    if (response != GTK_RESPONSE_ACCEPT || choosing->alive.expired()) return;
    g_autoptr(GFile) file = gtk_file_chooser_get_file(GTK_FILE_CHOOSER(owned));
    g_autofree char* path = file ? g_file_get_path(file) : nullptr;
    if (path) choosing->row->owner->choose(choosing->row->field, path);
}

void chooseFile(Row* row) {
    using Field = PreferencesWindow::Field;
    const bool folder = row->field != Field::Node;
    const char* title = row->field == Field::Node       ? "Choose Node.js"
                        : row->field == Field::RepoRoot ? "Choose the Tool Chain Folder"
                                                        : "Choose the Web Interface Folder";
    GtkFileChooserNative* dialog = gtk_file_chooser_native_new(
        title, row->owner->window, folder ? GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER : GTK_FILE_CHOOSER_ACTION_OPEN,
        "_Select", "_Cancel");
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(dialog), TRUE);
    g_signal_connect_data(
        dialog, "response", G_CALLBACK(onChosen), new Choosing{row, row->owner->alive},
        [](gpointer data, GClosure*) { delete static_cast<Choosing*>(data); }, GConnectFlags(0));
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));
}

GtkWidget* button(const char* label, GCallback clicked, gpointer data) {
    GtkWidget* widget = gtk_button_new_with_mnemonic(label);
    g_signal_connect_swapped(widget, "clicked", clicked, data);
    return widget;
}

GtkWidget* boldLabel(const char* text) {
    GtkWidget* label = gtk_label_new(nullptr);
    g_autofree gchar* markup = g_markup_printf_escaped("<b>%s</b>", text);
    gtk_label_set_markup(GTK_LABEL(label), markup);
    gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
    return label;
}

using Field = PreferencesWindow::Field;
using Impl = PreferencesWindow::Impl;

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
    gtk_box_append(GTK_BOX(buttons), button("_Choose…", G_CALLBACK(chooseFile), &impl->row(field)));
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

}  // namespace nerix::platform
