#!/usr/bin/python3
# A stand-in desktop notification service (org.freedesktop.Notifications) on
# the bus at the given address. Every Notify call is appended to the record
# file as one JSON line; "ready" is printed once the name is owned.
#
#   notification_server.py unix:path=/tmp/x/bus /tmp/x/calls.jsonl

import json
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

ADDRESS, RECORD = sys.argv[1], sys.argv[2]
IFACE = "org.freedesktop.Notifications"


class Notifications(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.next_id = 0

    @dbus.service.method(IFACE, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        self.next_id += 1
        with open(RECORD, "a", encoding="utf-8") as f:
            f.write(json.dumps({"app": str(app), "replaces": int(replaces), "icon": str(icon),
                                "summary": str(summary), "body": str(body),
                                "actions": [str(a) for a in actions], "timeout": int(timeout)},
                               ensure_ascii=False) + "\n")
        return dbus.UInt32(self.next_id)

    @dbus.service.method(IFACE, in_signature="", out_signature="ssss")
    def GetServerInformation(self):
        return ("stand-in", "dozorix tests", "1", "1.2")


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(ADDRESS)
name = dbus.service.BusName(IFACE, bus)
service = Notifications(bus)
print("ready", flush=True)
GLib.MainLoop().run()
