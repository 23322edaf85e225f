#!/usr/bin/python3
"""Stands in for the desktop on the window test's own session bus: a session manager that
answers GTK's inhibit, a notification server, and a listener for the launcher's Update signal.
Appends each call or signal it receives to the file named by its argument, one JSON object a
line, after a first line {"ready": true} once it owns its names."""
import json
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

RECORD = open(sys.argv[1], "a", buffering=1)


def plain(value):
    if isinstance(value, dbus.Boolean):
        return bool(value)
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


DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
names = [dbus.service.BusName(name, bus) for name in ("org.gnome.SessionManager", "org.freedesktop.Notifications")]
objects = [SessionManager(bus, "/org/gnome/SessionManager"), Notifications(bus, "/org/freedesktop/Notifications")]
bus.add_signal_receiver(lambda uri, properties: note("Update", uri, properties), "Update",
                        "com.canonical.Unity.LauncherEntry")
RECORD.write('{"ready": true}\n')
GLib.MainLoop().run()
