// earlier_release_page FOLDER COUNT: what the release before did with the page, for the window
// test: a file:// page in WebKit's default session under the program's name, vantorel. The page
// stores COUNT as the test page's launch count in localStorage and IndexedDB, and beside it a
// record of structured values (a Date, an ArrayBuffer, a Blob). Ends 0 once all are written.
#include <cstdio>
#include <fstream>
#include <string>

#include <gtk/gtk.h>
#include <webkit/webkit.h>

namespace {

const char* const kPage = R"(<!doctype html><meta charset="utf-8"><title>storing</title><script>
const count = Number(location.hash.slice(1));
localStorage.setItem('launches', String(count));
const open = indexedDB.open('fixture', 1);
open.onupgradeneeded = () => open.result.createObjectStore('counts');
open.onerror = () => { document.title = 'failed: ' + open.error; };
open.onsuccess = () => {
  const done = open.result.transaction('counts', 'readwrite');
  const store = done.objectStore('counts');
  store.put(count, 'launches');
  store.put({ date: new Date(Date.UTC(2026, 0, 2)), bytes: new Uint8Array([1, 2, 3]).buffer,
              blob: new Blob(['kept'], { type: 'text/plain' }) }, 'kept');
  done.oncomplete = () => { document.title = 'stored'; };
  done.onerror = () => { document.title = 'failed: ' + done.error; };
};
</script>)";

struct Run {
    std::string uri;
    int status = 1;
    GtkWindow* window = nullptr;
};

void onTitle(GObject* view, GParamSpec*, gpointer data) {
    auto* run = static_cast<Run*>(data);
    const char* title = webkit_web_view_get_title(WEBKIT_WEB_VIEW(view));
    if (!title || std::string(title) == "storing") return;
    std::printf("%s\n", title);
    run->status = std::string(title) == "stored" ? 0 : 1;
    gtk_window_destroy(run->window);
}

void onActivate(GtkApplication* app, gpointer data) {
    auto* run = static_cast<Run*>(data);
    run->window = GTK_WINDOW(gtk_application_window_new(app));
    GtkWidget* view = webkit_web_view_new();
    g_signal_connect(view, "notify::title", G_CALLBACK(onTitle), run);
    gtk_window_set_child(run->window, view);
    gtk_window_present(run->window);
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), run->uri.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: earlier_release_page FOLDER COUNT\n");
        return 2;
    }
    const std::string page = std::string(argv[1]) + "/index.html";
    std::ofstream(page) << kPage;
    Run run;
    gchar* uri = g_filename_to_uri(page.c_str(), nullptr, nullptr);
    run.uri = std::string(uri) + "#" + argv[2];
    g_free(uri);
    // WebKit's data folder is named after the program: the application's.
    g_set_prgname("vantorel");
    GtkApplication* app = gtk_application_new(nullptr, G_APPLICATION_NON_UNIQUE);
    g_signal_connect(app, "activate", G_CALLBACK(onActivate), &run);
    char* args[] = {argv[0], nullptr};
    g_application_run(G_APPLICATION(app), 1, args);
    g_object_unref(app);
    return run.status;
}
