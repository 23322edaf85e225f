#include "platform/gtk/file_drop.h"

#include <gtk/gtk.h>

#include "platform/gtk/web_view.h"

namespace nerix::platform {

// The drag over the view now: its files are read as it enters, since the view finishes the drop
// (after which nothing can be read) as soon as the page has it.
struct Hover {
    bool dropped = false;
    bool read = false;
    std::vector<std::string> paths;
};

struct FileDrop::Impl : std::enable_shared_from_this<FileDrop::Impl> {
    GtkWidget* view = nullptr;
    GtkEventController* target = nullptr;
    std::function<void(std::vector<std::string>)> dropped;
    std::shared_ptr<Hover> hover;
};

namespace {

struct Reading {
    std::weak_ptr<FileDrop::Impl> owner;  // the read may end after the view has gone
    std::shared_ptr<Hover> hover;
};

void deliver(FileDrop::Impl& impl, Hover& hover) {
    if (!hover.dropped || !hover.read) return;
    hover.dropped = false;  // once
    impl.dropped(std::move(hover.paths));
}

void onFilesRead(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Reading> reading(static_cast<Reading*>(data));
    const GValue* value = gdk_drop_read_value_finish(GDK_DROP(source), result, nullptr);
    Hover& hover = *reading->hover;
    hover.read = true;
    if (value && G_VALUE_HOLDS(value, GDK_TYPE_FILE_LIST)) {
        auto* list = static_cast<GdkFileList*>(g_value_get_boxed(value));
        g_autoptr(GSList) files = list ? gdk_file_list_get_files(list) : nullptr;  // the list's own files
        for (GSList* item = files; item; item = item->next) {
            g_autofree gchar* path = g_file_get_path(G_FILE(item->data));
            if (path) hover.paths.emplace_back(path);
        }
    }
    if (auto owner = reading->owner.lock()) deliver(*owner, hover);
}

gboolean onAccept(GtkDropTargetAsync*, GdkDrop* drop, gpointer data) {
    auto* impl = static_cast<FileDrop::Impl*>(data);
    GdkContentFormats* formats = gdk_drop_get_formats(drop);
    if (!gdk_content_formats_contain_gtype(formats, GDK_TYPE_FILE_LIST) &&
        !gdk_content_formats_contain_mime_type(formats, "text/uri-list"))
        return FALSE;
    // A new drag: one that went before and was never dropped is forgotten.
    impl->hover = std::make_shared<Hover>();
    gdk_drop_read_value_async(drop, GDK_TYPE_FILE_LIST, G_PRIORITY_DEFAULT, nullptr, onFilesRead,
                              new Reading{impl->weak_from_this(), impl->hover});
    return TRUE;
}

// No say in the action: the view's own handling (the page's dragover) decides it.
GdkDragAction onNoAction(GtkDropTargetAsync*, GdkDrop*, double, double, gpointer) {
    return static_cast<GdkDragAction>(0);
}

gboolean onDrop(GtkDropTargetAsync*, GdkDrop*, double, double, gpointer data) {
    auto* impl = static_cast<FileDrop::Impl*>(data);
    if (impl->hover) {
        impl->hover->dropped = true;
        deliver(*impl, *impl->hover);
    }
    return FALSE;  // not taken: the drop goes on to the view, and the page
}

}  // namespace

FileDrop::FileDrop(WebView& view, std::function<void(std::vector<std::string>)> dropped)
    : impl_(std::make_shared<Impl>()) {
    impl_->view = GTK_WIDGET(view.widget());
    impl_->dropped = std::move(dropped);
    GtkDropTargetAsync* target = gtk_drop_target_async_new(
        nullptr, static_cast<GdkDragAction>(GDK_ACTION_COPY | GDK_ACTION_MOVE | GDK_ACTION_LINK));
    impl_->target = GTK_EVENT_CONTROLLER(target);
    // Before the view's own drop target, which takes the drop.
    gtk_event_controller_set_propagation_phase(impl_->target, GTK_PHASE_CAPTURE);
    g_signal_connect(target, "accept", G_CALLBACK(onAccept), impl_.get());
    g_signal_connect(target, "drag-enter", G_CALLBACK(onNoAction), impl_.get());
    g_signal_connect(target, "drag-motion", G_CALLBACK(onNoAction), impl_.get());
    g_signal_connect(target, "drop", G_CALLBACK(onDrop), impl_.get());
    gtk_widget_add_controller(impl_->view, impl_->target);  // the view takes it
}

FileDrop::~FileDrop() {
    g_signal_handlers_disconnect_by_data(impl_->target, impl_.get());
    gtk_widget_remove_controller(impl_->view, impl_->target);
}

}  // namespace nerix::platform
