#!/usr/bin/python3
"""A real FTP server for the upload tests, on pyftpdlib.

Listens on 127.0.0.1 on a free port; when it is ready it prints "PORT <n>" on
a line of its own. It runs until the end of its standard input (so it never
outlives the test that started it) or SIGTERM.

One account (--user/--password) with full rights on --root; any other login
is refused with 530. Every command the server receives goes, one per line,
into <records>/commands.log (the password as "PASS ***").

Faults:
  --reset-after BYTES  once a data transfer has received BYTES bytes, reset
                       both connections (RST), as a server that dies mid-transfer
  --close-on-appe      on APPE, close the control connection in an orderly
                       way (FIN) without a reply
"""

import argparse
import logging
import os
import signal
import socket
import struct
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer


def reset(sock):
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--records", required=True)
    parser.add_argument("--user", default="backup")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--reset-after", type=int, default=0)
    parser.add_argument("--close-on-appe", action="store_true")
    args = parser.parse_args()

    log_path = os.path.join(args.records, "commands.log")

    class ResettingDTP(DTPHandler):
        def handle_read(self):
            super().handle_read()
            if args.reset_after and self.tot_bytes_received >= args.reset_after:
                reset(self.socket)
                reset(self.cmd_channel.socket)
                self.cmd_channel.close()

        handle_read_event = handle_read

    class RecordingHandler(FTPHandler):
        dtp_handler = ResettingDTP
        permit_foreign_addresses = False
        banner = "Dozorix test FTP server ready."

        def pre_process_command(self, line, cmd, arg):
            shown = "PASS ***" if cmd == "PASS" else line
            with open(log_path, "a", encoding="utf-8") as f:
                f.write(shown + "\n")
            if cmd == "APPE" and args.close_on_appe:
                self.close_when_done()
                return
            super().pre_process_command(line, cmd, arg)

    # Only pyftpdlib's warnings on standard error (PEER_LOG=10 shows everything).
    peer_logger = logging.getLogger("pyftpdlib")
    peer_logger.addHandler(logging.StreamHandler(sys.stderr))
    peer_logger.setLevel(int(os.environ.get("PEER_LOG", logging.WARNING)))

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    RecordingHandler.authorizer = authorizer
    RecordingHandler.passive_ports = None

    server = FTPServer(("127.0.0.1", 0), RecordingHandler)
    port = server.socket.getsockname()[1]

    def stop_on_eof():
        sys.stdin.read()
        os._exit(0)

    threading.Thread(target=stop_on_eof, daemon=True).start()
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    print("PORT %d" % port, flush=True)
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
