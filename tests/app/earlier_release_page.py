#!/usr/bin/python3
"""earlier_release_page.py FOLDER COUNT: what the release before did with the page, for the window
test: a file:// page in WebKit's default session under the program's name, vantorel. The page
stores COUNT as the test page's launch count in localStorage and IndexedDB, and beside it a
record of structured values (a Date, an ArrayBuffer, a Blob). Ends 0 once all are written."""
import pathlib
import sys

import gi

gi.require_version("Gtk", "4.0")
gi.require_version("WebKit", "6.0")
from gi.repository import Gio, GLib, Gtk, WebKit  # noqa: E402

PAGE = """<!doctype html><meta charset="utf-8"><title>storing</title><script>
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
</script>"""

folder, count = sys.argv[1:3]
page = pathlib.Path(folder, "index.html").absolute()
page.write_text(PAGE)
status = 1
GLib.set_prgname("vantorel")  # WebKit's data folder is named after the program: the application's


def titled(view, _):
    global status
    title = view.get_title()
    if title and title != "storing":
        print(title, flush=True)
        status = 0 if title == "stored" else 1
        view.get_root().destroy()


def activate(app):
    window = Gtk.ApplicationWindow(application=app)
    view = WebKit.WebView()
    view.connect("notify::title", titled)
    window.set_child(view)
    window.present()
    view.load_uri(page.as_uri() + "#" + count)


app = Gtk.Application(flags=Gio.ApplicationFlags.NON_UNIQUE)
app.connect("activate", activate)
app.run([sys.argv[0]])
sys.exit(status)
