#!/usr/bin/python3
"""A real SMTP server with implicit TLS for the mail tests.

Listens on 127.0.0.1 with TLS from the first byte (as on port 465), using a
self-signed certificate made at start in a temporary folder. When it is ready
it prints "PORT <n>" on a line of its own; it runs until SIGTERM, SIGINT or the
end of its standard input (so it never outlives the test that started it).

Everything it sees goes into the records folder:
  connections.log    one line per accepted connection
  auth.log           one line per AUTH attempt: "<mechanism> <login> ok|fail"
  letter-NNNN.eml    the raw message of each accepted letter
  letter-NNNN.json   envelope, authentication and the message decoded with
                     Python's email package (subject, body text, charset ...)

Modes:
  --auth any           AUTH LOGIN and PLAIN offered, any credentials accepted,
                       letters accepted without AUTH too (default)
  --auth require       AUTH LOGIN and PLAIN offered and required; only
                       --user/--password pass, anything else gets 535
  --auth plain-only    only AUTH PLAIN offered; letters accepted without AUTH
  --auth none          no AUTH in the EHLO reply at all
  --drop-after-ehlo    answer EHLO, then close the connection on the next command
  --data-delay SEC     record the letter, then wait SEC seconds before the
                       final 250 reply to DATA
  --reject-data        refuse every letter at the end of DATA with 554
  --reject-rcpt ADDR   refuse the recipient ADDR with 550
  --no-tls             plain text, as a server that expects STARTTLS

PEER_LOG=10 in the environment shows aiosmtpd's own log on standard error.
"""

import argparse
import asyncio
import datetime
import email
import email.policy
import email.utils
import json
import logging
import os
import signal
import ssl
import subprocess
import sys
import tempfile
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def make_certificate(folder):
    cert = os.path.join(folder, "cert.pem")
    key = os.path.join(folder, "key.pem")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec",
         "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
         "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=localhost"],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def append_line(path, line):
    with open(path, "a", encoding="utf-8") as f:
        f.write(line + "\n")


def date_utc(value):
    """The Date header as ISO 8601 in UTC, or None when it does not parse."""
    try:
        return email.utils.parsedate_to_datetime(str(value)).astimezone(
            datetime.timezone.utc).isoformat()
    except (TypeError, ValueError):
        return None


def text_of(value):
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    return value


class Recorder:
    def __init__(self, args):
        self.records = args.records
        self.data_delay = args.data_delay
        self.reject_data = args.reject_data
        self.reject_rcpt = args.reject_rcpt
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address == self.reject_rcpt:
            return "550 5.1.1 No such user here"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.reject_data:
            return "554 5.6.0 Message refused"
        self.count += 1
        stem = os.path.join(self.records, "letter-%04d" % self.count)
        raw = envelope.original_content or envelope.content
        with open(stem + ".eml", "wb") as f:
            f.write(raw)
        message = email.message_from_bytes(raw, policy=email.policy.default)
        body_part = message.get_body(preferencelist=("html", "plain"))
        tls = server.transport.get_extra_info("ssl_object")
        record = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "auth_mechanism": getattr(session, "dozorix_mechanism", None),
            "auth_login": getattr(session, "dozorix_login", None),
            "tls_version": tls.version() if tls is not None else None,
            "from": str(message.get("From", "")),
            "to": str(message.get("To", "")),
            "subject": str(message.get("Subject", "")),
            "date": str(message.get("Date", "")),
            "date_utc": date_utc(message.get("Date")),
            "mime_version": str(message.get("MIME-Version", "")),
            "content_type": message.get_content_type(),
            "charset": message.get_content_charset(),
            "transfer_encoding": str(message.get("Content-Transfer-Encoding", "")),
            "body": body_part.get_content() if body_part is not None else None,
            "max_line_length": max((len(l) for l in raw.split(b"\r\n")), default=0),
            "defects": [type(d).__name__ for d in message.defects],
        }
        # Written under a temporary name first, so a reader never sees half a record.
        with open(stem + ".json.part", "w", encoding="utf-8") as f:
            json.dump(record, f, ensure_ascii=False)
        os.replace(stem + ".json.part", stem + ".json")
        if self.data_delay > 0:
            await asyncio.sleep(self.data_delay)
        return "250 2.0.0 Message accepted for delivery"


class Authenticator:
    def __init__(self, records, mode, user, password):
        self.records = records
        self.mode = mode
        self.user = user
        self.password = password

    def __call__(self, server, session, envelope, mechanism, auth_data):
        login = password = ""
        if isinstance(auth_data, LoginPassword):
            login = text_of(auth_data.login)
            password = text_of(auth_data.password)
        ok = self.mode != "require" or (login == self.user and password == self.password)
        append_line(os.path.join(self.records, "auth.log"),
                    "%s %s %s" % (mechanism, login, "ok" if ok else "fail"))
        if ok:
            session.dozorix_mechanism = mechanism
            session.dozorix_login = login
        # handled=False lets the server answer a failure itself, with 535.
        return AuthResult(success=ok, handled=False)


class PeerSMTP(SMTP):
    records = None
    drop_after_ehlo = False

    def connection_made(self, transport):
        super().connection_made(transport)
        append_line(os.path.join(self.records, "connections.log"), str(self.session.peer))

    async def _drop(self):
        self.transport.close()

    async def smtp_AUTH(self, arg):
        if self.drop_after_ehlo:
            return await self._drop()
        return await super().smtp_AUTH(arg)

    async def smtp_MAIL(self, arg):
        if self.drop_after_ehlo:
            return await self._drop()
        return await super().smtp_MAIL(arg)


async def serve(args, tls):
    loop = asyncio.get_running_loop()
    stop = loop.create_future()

    def finish(*_):
        if not stop.done():
            stop.set_result(None)

    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, finish)

    def stdin_ready():
        if not os.read(sys.stdin.fileno(), 4096):
            loop.remove_reader(sys.stdin.fileno())
            finish()

    loop.add_reader(sys.stdin.fileno(), stdin_ready)

    recorder = Recorder(args)
    authenticator = Authenticator(args.records, args.auth, args.user, args.password)
    PeerSMTP.records = args.records
    PeerSMTP.drop_after_ehlo = args.drop_after_ehlo

    options = dict(hostname="peer.dozorix.test", authenticator=authenticator,
                   auth_require_tls=False, auth_required=args.auth == "require")
    if args.auth == "plain-only":
        options["auth_exclude_mechanism"] = ["LOGIN"]
    elif args.auth == "none":
        # The TLS here is implicit, which aiosmtpd does not count as TLS:
        # asking for TLS before AUTH therefore leaves AUTH out of EHLO.
        options["auth_require_tls"] = True

    server = await loop.create_server(lambda: PeerSMTP(recorder, **options),
                                      host="127.0.0.1", port=args.port, ssl=tls)
    port = server.sockets[0].getsockname()[1]
    print("PORT %d" % port, flush=True)
    try:
        await stop
    finally:
        server.close()
        await server.wait_closed()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records", required=True, help="folder for the records")
    parser.add_argument("--port", type=int, default=0, help="0: any free port")
    parser.add_argument("--auth", choices=["any", "require", "plain-only", "none"], default="any")
    parser.add_argument("--user", default="")
    parser.add_argument("--password", default="")
    parser.add_argument("--drop-after-ehlo", action="store_true")
    parser.add_argument("--data-delay", type=float, default=0.0)
    parser.add_argument("--reject-data", action="store_true")
    parser.add_argument("--reject-rcpt", default=None)
    parser.add_argument("--no-tls", action="store_true")
    args = parser.parse_args()

    # Requiring AUTH without STARTTLS is deliberate here: the TLS is implicit.
    warnings.simplefilter("ignore")
    logging.basicConfig(level=int(os.environ.get("PEER_LOG", logging.CRITICAL)))
    os.makedirs(args.records, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="dozorix-smtp-") as folder:
        cert, key = make_certificate(folder)
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(cert, key)
        asyncio.run(serve(args, None if args.no_tls else tls))


if __name__ == "__main__":
    main()
