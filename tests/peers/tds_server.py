#!/usr/bin/env python3
"""A small Microsoft SQL Server stand-in for the tests: it speaks TDS 7.x
(pre-login, LOGIN7 with a checked password, SQL batches) on 127.0.0.1.

    tds_server.py --records DIR --login sa --password secret \
                  --database master --database Buh --database "Buh 2017" \
                  [--fail REGEX=NUMBER:MESSAGE] [--delay REGEX=SECONDS] [--silent]

It prints "PORT <n>" once it listens and ends at the end of its input.

- pre-login: answered with "encryption not supported";
- LOGIN7: the user name and the de-obfuscated password must match, the
  requested database must be one of --database (else errors 18456 or 4060,
  as the real server sends them);
- a batch that reads the catalogue (it names "sysdatabases" or
  "sys.databases") gets one result set, column CATALOG_NAME, one row per
  --database;
- a batch matching a --fail pattern gets an ERROR token (class 16) and a
  DONE with the error bit; other batches get a plain DONE, after the pause of
  a matching --delay;
- every batch text is appended to DIR/statements.txt (UTF-8, one batch per
  record, records separated by a line "--8<--"), every login attempt to
  DIR/logins.txt ("user database ok|fail").

With --silent the server accepts connections and never answers (a server
that does not come up in time).
"""
import argparse
import os
import re
import socket
import struct
import sys
import threading
import time

PKT_SQL_BATCH = 0x01
PKT_REPLY = 0x04
PKT_ATTENTION = 0x06
PKT_LOGIN7 = 0x10
PKT_PRELOGIN = 0x12

DONE_FINAL = 0x00
DONE_ERROR = 0x02
DONE_COUNT = 0x10
DONE_ATTN = 0x20

COLLATION = bytes([0x09, 0x04, 0xD0, 0x00, 0x34])  # Latin1_General_CI_AS


def ucs2(text):
    return text.encode('utf-16-le')


def b_varchar(text):
    return bytes([len(text)]) + ucs2(text)


def us_varchar(text):
    return struct.pack('<H', len(text)) + ucs2(text)


def done_token(status, count=0):
    return struct.pack('<BHHQ', 0xFD, status, 0xC1, count)


def error_token(number, state, klass, message, server='DOZORIX-TDS'):
    body = (struct.pack('<IBB', number, state, klass) + us_varchar(message)
            + b_varchar(server) + b_varchar('') + struct.pack('<I', 1))
    return struct.pack('<BH', 0xAA, len(body)) + body


def env_database(name):
    body = bytes([1]) + b_varchar(name) + b_varchar('master')
    return struct.pack('<BH', 0xE3, len(body)) + body


def loginack_token():
    name = 'Microsoft SQL Server'
    body = (bytes([1]) + bytes([0x74, 0x00, 0x00, 0x04]) + b_varchar(name)
            + bytes([16, 0, 0x10, 0x00]))
    return struct.pack('<BH', 0xAD, len(body)) + body


def result_set(column, values):
    meta = struct.pack('<BH', 0x81, 1)
    # UserType, Flags (nullable), NVARCHAR(256) with collation, column name
    meta += struct.pack('<IH', 0, 0x0001) + bytes([0xE7]) + struct.pack('<H', 512) + COLLATION
    meta += b_varchar(column)
    rows = b''
    for v in values:
        data = ucs2(v)
        rows += bytes([0xD1]) + struct.pack('<H', len(data)) + data
    return meta + rows + done_token(DONE_COUNT, len(values))


class Records:
    def __init__(self, folder):
        self.folder = folder
        self.lock = threading.Lock()

    def add(self, name, text):
        with self.lock:
            with open(os.path.join(self.folder, name), 'a', encoding='utf-8') as f:
                f.write(text)


def read_exact(conn, n):
    data = b''
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def read_message(conn):
    """One TDS message (all packets up to end of message): (type, payload)."""
    payload = b''
    while True:
        header = read_exact(conn, 8)
        ptype, status, length = header[0], header[1], struct.unpack('>H', header[2:4])[0]
        payload += read_exact(conn, length - 8)
        if status & 0x01:
            return ptype, payload


def send_message(conn, payload, ptype=PKT_REPLY, size=4096):
    chunks = [payload[i:i + size - 8] for i in range(0, len(payload), size - 8)] or [b'']
    packet_id = 1
    for i, chunk in enumerate(chunks):
        status = 0x01 if i == len(chunks) - 1 else 0x00
        conn.sendall(struct.pack('>BBHHBB', ptype, status, len(chunk) + 8, 0, packet_id & 0xFF, 0) + chunk)
        packet_id += 1


def prelogin_reply():
    options = [(0x00, bytes([16, 0, 0x10, 0x00, 0, 0])),  # version
               (0x01, bytes([0x02])),                     # encryption not supported
               (0x02, bytes([0])),                        # instance: ok
               (0x03, struct.pack('>I', 0)),              # thread id
               (0x04, bytes([0]))]                        # no MARS
    offset = len(options) * 5 + 1
    head, data = b'', b''
    for token, value in options:
        head += struct.pack('>BHH', token, offset + len(data), len(value))
        data += value
    return head + b'\xff' + data


def login7_field(payload, pos):
    offset, length = struct.unpack('<HH', payload[pos:pos + 4])
    return payload[offset:offset + 2 * length]


def deobfuscate(raw):
    out = bytearray()
    for b in raw:
        b ^= 0xA5
        out.append(((b << 4) & 0xF0) | (b >> 4))
    return bytes(out).decode('utf-16-le', 'replace')


def serve(conn, args, records):
    # Pre-login (absent with clients that start with LOGIN7 directly).
    ptype, payload = read_message(conn)
    if ptype == PKT_PRELOGIN:
        send_message(conn, prelogin_reply())
        ptype, payload = read_message(conn)
    if ptype != PKT_LOGIN7:
        return
    user = login7_field(payload, 40).decode('utf-16-le', 'replace')
    password = deobfuscate(login7_field(payload, 44))
    database = login7_field(payload, 68).decode('utf-16-le', 'replace') or 'master'
    if user != args.login or password != args.password:
        records.add('logins.txt', '%s %s fail\n' % (user, database))
        send_message(conn, error_token(18456, 1, 14, "Login failed for user '%s'." % user) + done_token(DONE_ERROR))
        return
    if database not in args.database:
        records.add('logins.txt', '%s %s fail\n' % (user, database))
        send_message(conn, error_token(4060, 1, 11,
                                       'Cannot open database "%s" requested by the login. The login failed.' % database)
                     + error_token(18456, 1, 14, "Login failed for user '%s'." % user) + done_token(DONE_ERROR))
        return
    records.add('logins.txt', '%s %s ok\n' % (user, database))
    send_message(conn, env_database(database) + loginack_token() + done_token(DONE_FINAL))

    while True:
        ptype, payload = read_message(conn)
        if ptype == PKT_ATTENTION:
            send_message(conn, done_token(DONE_ATTN))
            continue
        if ptype != PKT_SQL_BATCH:
            send_message(conn, error_token(102, 1, 15, 'Unsupported request.') + done_token(DONE_ERROR))
            continue
        if len(payload) >= 4:
            total = struct.unpack('<I', payload[:4])[0]
            # TDS 7.2 and later put ALL_HEADERS in front of the text.
            if 4 <= total <= min(len(payload), 1000):
                payload = payload[total:]
        text = payload.decode('utf-16-le', 'replace')
        records.add('statements.txt', text + '\n--8<--\n')
        for pattern, seconds in args.delays:
            if re.search(pattern, text):
                time.sleep(seconds)
        reply = None
        for pattern, number, message in args.fails:
            if re.search(pattern, text):
                reply = error_token(number, 1, 16, message) + done_token(DONE_ERROR)
                break
        if reply is None and re.search(r'sysdatabases|sys\.databases', text, re.I):
            reply = result_set('CATALOG_NAME', args.database)
        if reply is None:
            reply = done_token(DONE_FINAL)
        send_message(conn, reply)


def handle(conn, args, records):
    try:
        if args.silent:
            while conn.recv(4096):
                pass
            return
        serve(conn, args, records)
    except (EOFError, ConnectionError, OSError):
        pass
    finally:
        conn.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--records', required=True)
    parser.add_argument('--login', default='sa')
    parser.add_argument('--password', default='')
    parser.add_argument('--database', action='append', default=[])
    parser.add_argument('--fail', action='append', default=[])
    parser.add_argument('--delay', action='append', default=[])
    parser.add_argument('--silent', action='store_true')
    args = parser.parse_args()
    if 'master' not in args.database:
        args.database.insert(0, 'master')
    args.fails = []
    for f in args.fail:
        m = re.match(r'^(.*)=(\d+):(.*)$', f, re.S)
        args.fails.append((m.group(1), int(m.group(2)), m.group(3)))
    args.delays = []
    for d in args.delay:
        pattern, seconds = d.rsplit('=', 1)
        args.delays.append((pattern, float(seconds)))
    records = Records(args.records)

    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(('127.0.0.1', 0))
    server.listen(16)
    server.settimeout(0.2)
    print('PORT %d' % server.getsockname()[1], flush=True)

    stop = threading.Event()

    def watch_input():
        sys.stdin.read()
        stop.set()

    threading.Thread(target=watch_input, daemon=True).start()
    while not stop.is_set():
        try:
            conn, _ = server.accept()
        except socket.timeout:
            continue
        conn.settimeout(None)
        threading.Thread(target=handle, args=(conn, args, records), daemon=True).start()
    server.close()


if __name__ == '__main__':
    main()
