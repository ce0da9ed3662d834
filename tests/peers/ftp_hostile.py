#!/usr/bin/python3
"""An FTP server that misbehaves on purpose, for the upload tests.

Standard library only, so that every fault is exactly the one asked for.
Listens on 127.0.0.1 on a free port and prints "PORT <n>" once it is ready;
it runs until the end of its standard input or SIGTERM. Any user name and
password are accepted. Every command line received goes into
<records>/commands.log (the password as "PASS ***").

--mode:
  drip      the data connection is read at --rate bytes per second, with a
            small receive buffer, so the client's bytes pile up unread;
            <records>/received holds the byte count read so far
  silent    the data connection is accepted and never read
  dead-pasv the PASV reply names a port on 127.0.0.1 where nothing listens;
            <records>/pasv-port holds that port
  mute      the control connection is accepted and never answered, not
            even with a greeting
  stranger  on PORT, the server first connects to the announced address
            itself from 127.0.0.2 (a third host) and reads what comes;
            <records>/stranger holds "<address> <bytes received>" once that
            connection has ended. APPE is answered 226 when the stranger got
            something, as a server would that took the data from anyone.
"""

import argparse
import os
import signal
import socket
import sys
import threading
import time

SMALL_BUFFER = 4096


def write_record(records, name, text):
    path = os.path.join(records, name)
    with open(path + ".new", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(path + ".new", path)


def free_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Session:
    def __init__(self, conn, args):
        self.conn = conn
        self.args = args
        self.reader = conn.makefile("rb")
        self.data_listener = None
        self.port_target = None
        self.stranger_thread = None
        self.stranger_bytes = 0

    def reply(self, line):
        self.conn.sendall((line + "\r\n").encode("utf-8"))

    def record(self, line):
        shown = "PASS ***" if line.upper().startswith("PASS ") else line
        with open(os.path.join(self.args.records, "commands.log"), "a", encoding="utf-8") as f:
            f.write(shown + "\n")

    def run(self):
        if self.args.mode == "mute":
            while self.reader.readline():
                pass
            return
        self.reply("220 Hostile test FTP server ready.")
        while True:
            raw = self.reader.readline()
            if not raw:
                return
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            self.record(line)
            cmd, _, arg = line.partition(" ")
            cmd = cmd.upper()
            handler = getattr(self, "cmd_" + cmd, None)
            if handler is None:
                self.reply("502 Command not implemented.")
            elif handler(arg) is False:
                return

    def cmd_USER(self, arg):
        self.reply("331 Password required.")

    def cmd_PASS(self, arg):
        self.reply("230 Logged in.")

    def cmd_PWD(self, arg):
        self.reply('257 "/" is the current directory.')

    def cmd_CWD(self, arg):
        self.reply("250 Directory changed.")

    def cmd_TYPE(self, arg):
        self.reply("200 Type set.")

    def cmd_QUIT(self, arg):
        self.reply("221 Goodbye.")
        return False

    def cmd_PASV(self, arg):
        if self.args.mode == "dead-pasv":
            port = free_port()
            write_record(self.args.records, "pasv-port", str(port))
        else:
            listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            if self.args.mode == "drip":
                # Inherited by the accepted connection: the window stays small.
                listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, SMALL_BUFFER)
            listener.bind(("127.0.0.1", 0))
            listener.listen(1)
            self.data_listener = listener
            port = listener.getsockname()[1]
        self.reply("227 Entering Passive Mode (127,0,0,1,%d,%d)." % (port >> 8, port & 255))

    def cmd_PORT(self, arg):
        parts = [int(p) for p in arg.split(",")]
        self.port_target = (".".join(str(p) for p in parts[:4]), parts[4] * 256 + parts[5])
        if self.args.mode == "stranger":
            self.stranger_thread = threading.Thread(target=self.stranger, daemon=True)
            self.stranger_thread.start()
            time.sleep(0.2)  # the stranger is first in the client's queue
        self.reply("200 PORT command successful.")

    def stranger(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        address = "127.0.0.2"
        try:
            s.bind(("127.0.0.2", 0))
            address = "%s:%d" % s.getsockname()
            s.settimeout(30)
            s.connect(self.port_target)
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                self.stranger_bytes += len(chunk)
        except OSError:
            pass
        finally:
            s.close()
        write_record(self.args.records, "stranger", "%s %d" % (address, self.stranger_bytes))

    def cmd_APPE(self, arg):
        if self.args.mode == "stranger":
            self.reply("150 Opening data connection.")
            self.stranger_thread.join(60)
            if self.stranger_bytes > 0:
                self.reply("226 Transfer complete.")
            else:
                self.reply("426 Connection closed; transfer aborted.")
            return
        if self.data_listener is None:
            self.reply("425 Use PASV first.")
            return
        self.reply("150 Opening data connection.")
        data, _ = self.data_listener.accept()
        self.data_listener.close()
        self.data_listener = None
        if self.args.mode == "silent":
            # Never read; wait for the client to give up on the control connection.
            self.conn.settimeout(None)
            while self.reader.readline():
                pass
            data.close()
            return False
        received = 0
        step = max(1, self.args.rate // 10)
        while True:
            chunk = data.recv(step)
            if not chunk:
                break
            received += len(chunk)
            write_record(self.args.records, "received", str(received))
            time.sleep(0.1)
        data.close()
        self.reply("226 Transfer complete.")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", required=True)
    parser.add_argument("--mode", required=True, choices=["drip", "silent", "dead-pasv", "mute", "stranger"])
    parser.add_argument("--rate", type=int, default=2048)
    args = parser.parse_args()

    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(("127.0.0.1", 0))
    server.listen(8)

    def serve(conn):
        try:
            Session(conn, args).run()
        except OSError:
            pass
        finally:
            conn.close()

    def accept_forever():
        while True:
            conn, _ = server.accept()
            threading.Thread(target=serve, args=(conn,), daemon=True).start()

    threading.Thread(target=accept_forever, daemon=True).start()
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    print("PORT %d" % server.getsockname()[1], flush=True)
    sys.stdin.read()
    os._exit(0)


if __name__ == "__main__":
    main()
