#!/usr/bin/python3
"""Stands in for the desktop's file chooser portal and file manager on the page-files test's own
session bus. Each OpenFile answers the files named by its second argument (a folder dialog: the
folder of the first), each SaveFile is cancelled; ShowItems is noted. Appends each call it
receives to the file named by its first argument, one JSON object a line, after a first line
{"ready": true} once it owns its names."""
import json
import os
import sys
import urllib.parse

import dbus
import dbus.lowlevel
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

RECORD = open(sys.argv[1], "a", buffering=1)
CHOSEN = sys.argv[2].split(",")
PORTAL = "/org/freedesktop/portal/desktop"


def plain(value):
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, dbus.Array) and value.signature == "y":
        return bytes(value).rstrip(b"\0").decode()
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return str(value) if isinstance(value, str) else int(value)


def note(member, *args):
    RECORD.write(json.dumps({"member": member, "args": plain(args)}) + "\n")


class FileChooser(dbus.service.Object):
    def answer(self, sender, options, response, uris):
        token = str(options.get("handle_token", "t"))
        path = PORTAL + "/request/" + sender[1:].replace(".", "_") + "/" + token
        results = {"uris": dbus.Array(uris, signature="s")} if uris else {}

        # To the caller alone, as the portal does: GTK adds no match rule for it.
        def respond():
            message = dbus.lowlevel.SignalMessage(path, "org.freedesktop.portal.Request", "Response")
            message.set_destination(sender)
            message.append(dbus.UInt32(response), dbus.Dictionary(results, signature="sv"), signature="ua{sv}")
            bus.send_message(message)
            return False

        # A moment later, as a user answers: GTK expects the call's own reply to come first. And
        # again later: GDBus delivers a portal's signal only once it has learnt who owns the
        # portal's name, which it asks the bus when the dialog subscribes, and a busy main loop
        # can leave that unanswered past the first. GTK lets go of the request at the answer it
        # gets, so the ones after it reach nobody.
        for delay in (100, 700, 2500):
            GLib.timeout_add(delay, respond)
        return dbus.ObjectPath(path)

    @dbus.service.method("org.freedesktop.portal.FileChooser", in_signature="ssa{sv}", out_signature="o",
                         sender_keyword="sender")
    def OpenFile(self, parent, title, options, sender=None):
        note("OpenFile", parent, title, options)
        folder = bool(options.get("directory", False))
        paths = [os.path.dirname(CHOSEN[0])] if folder else CHOSEN
        return self.answer(sender, options, 0, ["file://" + urllib.parse.quote(p) for p in paths])

    @dbus.service.method("org.freedesktop.portal.FileChooser", in_signature="ssa{sv}", out_signature="o",
                         sender_keyword="sender")
    def SaveFile(self, parent, title, options, sender=None):
        note("SaveFile", parent, title, options)
        return self.answer(sender, options, 1, [])

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return dbus.UInt32(3)

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {"version": dbus.UInt32(3)}


class FileManager(dbus.service.Object):
    @dbus.service.method("org.freedesktop.FileManager1", in_signature="ass")
    def ShowItems(self, uris, startup):
        note("ShowItems", uris, startup)


DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
names = [dbus.service.BusName(name, bus) for name in ("org.freedesktop.portal.Desktop", "org.freedesktop.FileManager1")]
objects = [FileChooser(bus, PORTAL), FileManager(bus, "/org/freedesktop/FileManager1")]
RECORD.write('{"ready": true}\n')
GLib.MainLoop().run()
