#!/usr/bin/python3
"""A drag source of the page-files test's own: a small GTK window titled "drag source" whose
whole area drags the files named by its arguments (as text/uri-list), as a file manager does."""
import sys
import urllib.parse

import gi

gi.require_version("Gtk", "4.0")
gi.require_version("Gdk", "4.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

URIS = "".join("file://" + urllib.parse.quote(path) + "\r\n" for path in sys.argv[1:]).encode()


def activate(app):
    window = Gtk.ApplicationWindow(application=app, title="drag source")
    window.set_default_size(200, 200)
    area = Gtk.Label(label="drag me")
    source = Gtk.DragSource(actions=Gdk.DragAction.COPY)
    source.connect("prepare", lambda *_: Gdk.ContentProvider.new_for_bytes("text/uri-list", GLib.Bytes.new(URIS)))
    area.add_controller(source)
    window.set_child(area)
    window.present()


app = Gtk.Application()
app.connect("activate", activate)
app.run([])
