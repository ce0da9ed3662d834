#!/usr/bin/python3
"""A stand-in for systemd-logind on a private bus, for the session tests.

    logind_standin.py --bus ADDRESS --sessions FILE --calls FILE [--state-dir DIR]

Owns org.freedesktop.login1 on the bus at ADDRESS and serves the sessions
listed in FILE (a JSON list of objects: id, uid, user, seat, tty,
remote_host, active, state, idle_hint, idle_since_usec, timestamp_usec,
leader, service, display, scope). Manager.ListSessions, Properties.GetAll and Get of each session
object, and
Manager.LockSession / TerminateSession / KillSession, each call appended to
the calls FILE as one JSON line [method, arguments...]. A session that was
terminated or killed is gone afterwards; an unknown session ID gets logind's
NoSuchSession error. With --state-dir, also keeps logind's state files in
DIR as logind keeps them in /run/systemd/sessions: one file <id> per session
(KEY=VALUE lines, the remote host C-escaped) with a FIFO <id>.ref beside it,
removed when the session ends. Prints "ready" once the name is owned.
"""

import argparse
import json
import os
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

MANAGER = "org.freedesktop.login1.Manager"
SESSION = "org.freedesktop.login1.Session"
PROPERTIES = "org.freedesktop.DBus.Properties"


class NoSuchSession(dbus.DBusException):
    _dbus_error_name = "org.freedesktop.login1.NoSuchSession"


class UnknownProperty(dbus.DBusException):
    _dbus_error_name = "org.freedesktop.DBus.Error.UnknownProperty"


def object_path(session_id):
    return "/org/freedesktop/login1/session/_" + "".join(c if c.isalnum() else "_%02x" % ord(c) for c in session_id)


class Session(dbus.service.Object):
    def __init__(self, bus, data):
        self.data = data
        super().__init__(bus, object_path(data["id"]))

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != SESSION:
            return dbus.Dictionary({}, signature="sv")
        return self.properties()

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        properties = self.properties() if interface == SESSION else {}
        if name not in properties:
            raise UnknownProperty("Unknown property %s" % name)
        return properties[name]

    def properties(self):
        d = self.data
        return dbus.Dictionary({
            "Id": dbus.String(d["id"]),
            "Name": dbus.String(d["user"]),
            "User": dbus.Struct((dbus.UInt32(d["uid"]), dbus.ObjectPath("/org/freedesktop/login1/user/_%d" % d["uid"])),
                                signature="uo"),
            "Seat": dbus.Struct((dbus.String(d.get("seat", "")),
                                 dbus.ObjectPath("/org/freedesktop/login1/seat/" + (d.get("seat") or "_"))),
                                signature="so"),
            "TTY": dbus.String(d.get("tty", "")),
            "RemoteHost": dbus.String(d.get("remote_host", "")),
            "Remote": dbus.Boolean(bool(d.get("remote_host"))),
            "Active": dbus.Boolean(d.get("active", False)),
            "State": dbus.String(d.get("state", "online")),
            "IdleHint": dbus.Boolean(d.get("idle_hint", False)),
            "IdleSinceHint": dbus.UInt64(d.get("idle_since_usec", 0)),
            "Timestamp": dbus.UInt64(d.get("timestamp_usec", 0)),
            "Leader": dbus.UInt32(d.get("leader", 0)),
            "Service": dbus.String(service_of(d)),
            "Display": dbus.String(d.get("display", "")),
            "Scope": dbus.String(scope_of(d)),
            "Type": dbus.String("x11" if d.get("display") else "tty" if d.get("tty") else "unspecified"),
        }, signature="sv")


def service_of(d):
    """The PAM service: as given, else a console login's for a seat or a text
    console, else sshd's."""
    if d.get("service"):
        return d["service"]
    return "login" if d.get("seat") or d.get("tty", "").startswith("tty") else "sshd"


def scope_of(d):
    # Not "session-<id>.scope": the tests may themselves run in a real one.
    return d.get("scope") or "standin-session-%s.scope" % d["id"]


def cescape(text):
    """C escapes for a value, as logind writes its state files."""
    out = []
    named = {7: "\\a", 8: "\\b", 12: "\\f", 10: "\\n", 13: "\\r", 9: "\\t", 11: "\\v",
             ord("\\"): "\\\\", ord('"'): '\\"', ord("'"): "\\'"}
    for byte in text.encode("utf-8"):
        if byte in named:
            out.append(named[byte])
        elif byte < 32 or byte >= 127:
            out.append("\\%03o" % byte)
        else:
            out.append(chr(byte))
    return "".join(out)


def write_state_file(directory, d):
    lines = ["# This is private data. Do not parse.",
             "UID=%d" % d["uid"],
             "USER=%s" % d["user"],
             "ACTIVE=%d" % (1 if d.get("active") else 0),
             "IS_DISPLAY=0",
             "STATE=%s" % d.get("state", "online"),
             "REMOTE=%d" % (1 if d.get("remote_host") else 0),
             "TYPE=%s" % ("x11" if d.get("display") else "tty" if d.get("tty") else "unspecified"),
             "CLASS=%s" % ("greeter" if d["id"].startswith("c") else "user"),
             "SCOPE=%s" % scope_of(d),
             "FIFO=%s" % os.path.join(directory, d["id"] + ".ref")]
    if d.get("seat"):
        lines.append("SEAT=%s" % d["seat"])
    if d.get("tty"):
        lines.append("TTY=%s" % d["tty"])
    if d.get("display"):
        lines.append("DISPLAY=%s" % d["display"])
    if d.get("remote_host"):
        lines.append("REMOTE_HOST=%s" % cescape(d["remote_host"]))
    lines.append("SERVICE=%s" % service_of(d))
    if d.get("leader"):
        lines.append("LEADER=%d" % d["leader"])
    if d.get("timestamp_usec"):
        lines.append("REALTIME=%d" % d["timestamp_usec"])
        lines.append("MONOTONIC=%d" % 1000000)
    path = os.path.join(directory, d["id"])
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    os.rename(path + ".tmp", path)
    if not os.path.exists(path + ".ref"):
        os.mkfifo(path + ".ref")


def remove_state_file(directory, session_id):
    for name in (session_id, session_id + ".ref"):
        try:
            os.unlink(os.path.join(directory, name))
        except FileNotFoundError:
            pass


class Manager(dbus.service.Object):
    def __init__(self, bus, sessions, calls_file, state_dir):
        super().__init__(bus, "/org/freedesktop/login1")
        self.bus = bus
        self.calls_file = calls_file
        self.state_dir = state_dir
        self.sessions = {}
        for data in sessions:
            self.sessions[data["id"]] = Session(bus, data)
            if state_dir:
                write_state_file(state_dir, data)

    def record(self, *call):
        with open(self.calls_file, "a", encoding="utf-8") as f:
            f.write(json.dumps([str(c) if isinstance(c, dbus.String) else
                                int(c) if isinstance(c, (dbus.Int32, dbus.UInt32)) else c for c in call],
                               ensure_ascii=False) + "\n")

    def find(self, session_id):
        if session_id not in self.sessions:
            raise NoSuchSession("No session '%s' known" % session_id)
        return self.sessions[session_id]

    def end(self, session_id):
        session = self.sessions.pop(session_id)
        session.remove_from_connection()
        if self.state_dir:
            remove_state_file(self.state_dir, session_id)

    @dbus.service.method(MANAGER, in_signature="", out_signature="a(susso)")
    def ListSessions(self):
        return dbus.Array([dbus.Struct((dbus.String(s.data["id"]), dbus.UInt32(s.data["uid"]),
                                        dbus.String(s.data["user"]), dbus.String(s.data.get("seat", "")),
                                        dbus.ObjectPath(object_path(s.data["id"]))), signature="susso")
                           for s in self.sessions.values()], signature="(susso)")

    @dbus.service.method(MANAGER, in_signature="s", out_signature="")
    def LockSession(self, session_id):
        self.record("LockSession", session_id)
        self.find(session_id)

    @dbus.service.method(MANAGER, in_signature="s", out_signature="")
    def TerminateSession(self, session_id):
        self.record("TerminateSession", session_id)
        self.find(session_id)
        self.end(session_id)

    @dbus.service.method(MANAGER, in_signature="ssi", out_signature="")
    def KillSession(self, session_id, who, signal_number):
        self.record("KillSession", session_id, who, signal_number)
        self.find(session_id)
        self.end(session_id)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bus", required=True)
    parser.add_argument("--sessions", required=True)
    parser.add_argument("--calls", required=True)
    parser.add_argument("--state-dir")
    args = parser.parse_args()

    DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(args.bus)
    with open(args.sessions, encoding="utf-8") as f:
        sessions = json.load(f)
    if args.state_dir:
        os.makedirs(args.state_dir, exist_ok=True)
    manager = Manager(bus, sessions, args.calls, args.state_dir)
    name = dbus.service.BusName("org.freedesktop.login1", bus, do_not_queue=True)
    print("ready", flush=True)
    loop = GLib.MainLoop()
    bus.call_on_disconnection(lambda _conn: loop.quit())
    loop.run()
    del name, manager


if __name__ == "__main__":
    sys.exit(main())
