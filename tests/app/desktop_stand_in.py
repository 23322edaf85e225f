#!/usr/bin/python3
"""Stands in for the desktop on a window test's own session bus: GTK's session manager (inhibit),
a notification server, a listener for the launcher's Update signal, the file chooser portal (each
OpenFile answers the comma-separated files of the second argument, a folder dialog the first one's
folder; each SaveFile is cancelled) and the file manager. Each call or signal is appended to the
file of the first argument as a JSON line, after {"ready": true} once it owns its names."""
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
    return str(value) if isinstance(value, str) else value if isinstance(value, float) else int(value)


def note(member, *args, **extra):
    RECORD.write(json.dumps({"member": member, "args": plain(args), **extra}) + "\n")


class SessionManager(dbus.service.Object):
    cookies = 0

    @dbus.service.method("org.gnome.SessionManager", in_signature="susu", out_signature="u")
    def Inhibit(self, app_id, toplevel, reason, flags):
        SessionManager.cookies += 1
        note("Inhibit", app_id, toplevel, reason, flags, cookie=self.cookies)
        return self.cookies

    @dbus.service.method("org.gnome.SessionManager", in_signature="u")
    def Uninhibit(self, cookie):
        note("Uninhibit", cookie)


class Notifications(dbus.service.Object):
    @dbus.service.method("org.freedesktop.Notifications", in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app_name, replaces, icon, summary, body, actions, hints, timeout):
        note("Notify", app_name, replaces, icon, summary, body, actions)
        return 1

    @dbus.service.method("org.freedesktop.Notifications", out_signature="as")
    def GetCapabilities(self):
        return ["actions", "body"]

    @dbus.service.method("org.freedesktop.Notifications", out_signature="ssss")
    def GetServerInformation(self):
        return ("stand-in", "vantorel tests", "1", "1.2")


def request(sender, options):
    token = str(options.get("handle_token", "t"))
    return PORTAL + "/request/" + sender[1:].replace(".", "_") + "/" + token


class Portal(dbus.service.Object):
    def answer(self, sender, options, response, uris):
        path = request(sender, options)
        results = {"uris": dbus.Array(uris, signature="s")} if uris else {}

        # To the caller alone, as the portal does: GTK adds no match rule for it.
        def respond():
            message = dbus.lowlevel.SignalMessage(path, "org.freedesktop.portal.Request", "Response")
            message.set_destination(sender)
            message.append(dbus.UInt32(response), dbus.Dictionary(results, signature="sv"), signature="ua{sv}")
            bus.send_message(message)
            return False

        # A moment later, as a user answers: GTK expects the call's own reply to come first.
        GLib.timeout_add(100, respond)
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

    # The portal's inhibit call, which GTK makes while a job runs when it uses the portal: noted,
    # and answered with its request, as the portal does. Refused (no such method), it cost a
    # dialog opened meanwhile its answer now and then: GTK never told the page.
    @dbus.service.method("org.freedesktop.portal.Inhibit", in_signature="sua{sv}", out_signature="o",
                         sender_keyword="sender")
    def Inhibit(self, window, flags, options, sender=None):
        note("Inhibit", window, flags, options)
        return dbus.ObjectPath(request(sender, options))

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
names = [dbus.service.BusName(name, bus) for name in ("org.gnome.SessionManager", "org.freedesktop.Notifications",
                                                      "org.freedesktop.portal.Desktop", "org.freedesktop.FileManager1")]
objects = [SessionManager(bus, "/org/gnome/SessionManager"), Notifications(bus, "/org/freedesktop/Notifications"),
           Portal(bus, PORTAL), FileManager(bus, "/org/freedesktop/FileManager1")]
bus.add_signal_receiver(lambda uri, properties: note("Update", uri, properties), "Update",
                        "com.canonical.Unity.LauncherEntry")
RECORD.write('{"ready": true}\n')
GLib.MainLoop().run()
