#include "platform/gtk/settings_bar.h"

#include <gtk/gtk.h>

#include "platform/gtk/gobject_ptr.h"

namespace nerix::platform {

struct SettingsBar::Impl {
    GObjectPtr<GtkWidget> revealer;  // sunk: ours until the window takes it too
    GtkWidget* label = nullptr;
    std::function<void()> preferencesClicked;
};

namespace {

// A warning's yellow, dark text on it whatever the theme.
constexpr const char* kStyle =
    ".vantorel-settings-bar { background-color: #f8e45c; color: #241f31; padding: 6px 12px; }";

void onPreferences(GtkButton*, gpointer data) {
    auto* impl = static_cast<SettingsBar::Impl*>(data);
    if (impl->preferencesClicked) impl->preferencesClicked();
}

}  // namespace

SettingsBar::SettingsBar() : impl_(std::make_unique<Impl>()) {
    static const bool styled = [] {
        g_autoptr(GtkCssProvider) provider = gtk_css_provider_new();  // the display holds its own
        gtk_css_provider_load_from_data(provider, kStyle, -1);
        gtk_style_context_add_provider_for_display(gdk_display_get_default(), GTK_STYLE_PROVIDER(provider),
                                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
        return true;
    }();
    (void)styled;
    GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    gtk_widget_add_css_class(bar, "vantorel-settings-bar");
    impl_->label = gtk_label_new(nullptr);
    gtk_label_set_wrap(GTK_LABEL(impl_->label), TRUE);
    gtk_label_set_xalign(GTK_LABEL(impl_->label), 0.0f);
    gtk_label_set_selectable(GTK_LABEL(impl_->label), TRUE);
    gtk_widget_set_hexpand(impl_->label, TRUE);
    GtkWidget* button = gtk_button_new_with_mnemonic("_Preferences…");
    gtk_widget_set_valign(button, GTK_ALIGN_CENTER);
    g_signal_connect(button, "clicked", G_CALLBACK(onPreferences), impl_.get());
    gtk_box_append(GTK_BOX(bar), impl_->label);
    gtk_box_append(GTK_BOX(bar), button);
    impl_->revealer.reset(GTK_WIDGET(g_object_ref_sink(gtk_revealer_new())));
    gtk_revealer_set_transition_type(GTK_REVEALER(impl_->revealer.get()), GTK_REVEALER_TRANSITION_TYPE_NONE);
    gtk_revealer_set_child(GTK_REVEALER(impl_->revealer.get()), bar);
    gtk_widget_set_visible(impl_->revealer.get(), FALSE);  // until there is something to say
}

SettingsBar::~SettingsBar() = default;

void SettingsBar::show(const std::string& text) {
    gtk_label_set_text(GTK_LABEL(impl_->label), text.c_str());
    // A revealer whose child is hidden still takes its child's height: the bar goes altogether.
    gtk_revealer_set_reveal_child(GTK_REVEALER(impl_->revealer.get()), !text.empty());
    gtk_widget_set_visible(impl_->revealer.get(), !text.empty());
}

void SettingsBar::setPreferencesClicked(std::function<void()> clicked) {
    impl_->preferencesClicked = std::move(clicked);
}

void* SettingsBar::widget() const { return impl_->revealer.get(); }

}  // namespace nerix::platform
