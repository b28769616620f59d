#!/usr/bin/python3
"""The registration site that the tests run against.

An HTTPS server on 127.0.0.1 (standard library only). It serves the registration pages, a few generic
test pages, records every request it receives, and can be told per path how to misbehave.

Usage:
    site.py --state DIR [--port N] [--stop-on-eof]

DIR (the state folder) holds:
    control.json        written by the test (atomically: write a temporary file, then rename):
                        {"behaviours": {"<path>" or "<METHOD> <path>": {...}}, "users": {"name": "password"}}
                        read again on every request
    requests.jsonl      one JSON object per request received, appended before the reply is sent
    registrations.json  the registrations database dumped after every change
    site.db             the SQLite registrations database (delete it to start afresh)
When ready, one line is printed on standard output:
    READY {"origin": "https://127.0.0.1:<port>", "port": <port>, "untrusted_origin": ..., "untrusted_port": ...,
           "ca": "<path of the test CA's PEM>"}
The untrusted server is the same site behind a certificate from a CA that nothing trusts. The certificates
are the fixed ones in certs/ beside this script (valid until 2125): ca.pem and server.pem/.key for 127.0.0.1
and localhost, untrusted-ca.pem and untrusted-server.pem/.key.
"""

import argparse
import base64
import contextlib
import hashlib
import hmac
import html
import http.server
import json
import os
import re
import secrets
import signal
import socket
import socketserver
import sqlite3
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))

SIG_START = "<!-- SIG:["
SIG_END = "] -->"
SESSION_COOKIE = "TSSESSION"

LOGIN = "/tessaro/user/login.asp"
CERT_REGISTER = "/tessaro/user/regfile.asp"
USER_REGISTER = "/scripts/register/regfile.asp"
VERIFY = "/scripts/register/verify.asp"
REGISTERED = "/scripts/register/registered.asp"

FINGERPRINT = re.compile(r"[0-9A-F]{40}")


class Site:
    """State shared by the request threads: the state folder, the signing secret, the sessions."""

    def __init__(self, state_dir):
        self.state_dir = state_dir
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.secret = secrets.token_bytes(32)
        self.sessions = set()
        self.seq = 0

    def path(self, name):
        return os.path.join(self.state_dir, name)

    def control(self):
        try:
            with open(self.path("control.json"), "rb") as f:
                data = json.loads(f.read().decode("utf-8"))
            return data if isinstance(data, dict) else {}
        except (OSError, ValueError):
            return {}

    def behaviour(self, method, path):
        behaviours = self.control().get("behaviours") or {}
        found = behaviours.get(method + " " + path)
        if found is None:
            found = behaviours.get(path)
        return found if isinstance(found, dict) else {}

    def record(self, entry):
        with self.lock:
            self.seq += 1
            entry = dict(seq=self.seq, **entry)
            with open(self.path("requests.jsonl"), "a", encoding="utf-8") as f:
                f.write(json.dumps(entry, ensure_ascii=True) + "\n")

    # The registrations database. One connection per request; the lock serialises writers.
    # method: 'certificate' or 'user'; data: the posted signed data, or the site's signature.
    def db(self):
        conn = sqlite3.connect(self.path("site.db"), timeout=30)
        conn.execute(
            "CREATE TABLE IF NOT EXISTS registrations (id INTEGER PRIMARY KEY AUTOINCREMENT, method TEXT NOT NULL,"
            " fingerprint TEXT NOT NULL UNIQUE, filename TEXT NOT NULL, user TEXT, data TEXT NOT NULL,"
            " registered TEXT NOT NULL)"
        )
        return conn

    def dump(self, conn):
        cursor = conn.execute("SELECT * FROM registrations ORDER BY id")
        keys = [column[0] for column in cursor.description]
        tmp = self.path("registrations.json.tmp")
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump([dict(zip(keys, r)) for r in cursor], f)
        os.replace(tmp, self.path("registrations.json"))

    def add_registration(self, method, fingerprint, filename, user, data):
        """Returns False when the fingerprint is already registered."""
        with self.lock, contextlib.closing(self.db()) as conn:
            try:
                with conn:
                    conn.execute(
                        "INSERT INTO registrations (method, fingerprint, filename, user, data, registered)"
                        " VALUES (?, ?, ?, ?, ?, ?)",
                        (method, fingerprint, filename, user, data, time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())),
                    )
            except sqlite3.IntegrityError:
                return False
            self.dump(conn)
            return True

    def find_signature(self, sig):
        with self.lock, contextlib.closing(self.db()) as conn:
            return conn.execute(
                "SELECT fingerprint, filename, user FROM registrations WHERE method = 'user' AND data = ?", (sig,)
            ).fetchone()

    def sign(self, filename, filehash, user):
        mac = hmac.new(self.secret, "\0".join([filename, filehash, user]).encode("utf-8"), hashlib.sha256)
        return "V.01_" + time.strftime("%Y%m%d%H%M%S", time.gmtime()) + "_" + mac.hexdigest().upper()


def page(title, body):
    head = '<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>%s</title></head><body>\n' % html.escape(title)
    return head + body + "\n</body></html>\n"


def decode_fields(raw):
    """Form fields of an application/x-www-form-urlencoded body, in order, decoded as UTF-8.
    Returns the [name, value] pairs and whether every byte sequence was valid UTF-8."""
    fields = []
    valid = True
    for part in raw.split(b"&"):
        if not part:
            continue
        name, _, value = part.partition(b"=")
        pair = []
        for item in (name, value):
            data = urllib.parse.unquote_to_bytes(item.replace(b"+", b" "))
            try:
                pair.append(data.decode("utf-8"))
            except UnicodeDecodeError:
                valid = False
                pair.append(data.decode("utf-8", "replace"))
        fields.append(pair)
    return fields, valid


def check_signed_data(tessaro):
    """Checks posted signed data with the openssl command. Returns the fingerprint, or None."""
    try:
        der = base64.b64decode(tessaro.encode("ascii"), validate=True)
    except (ValueError, UnicodeEncodeError):
        return None
    if not der:
        return None
    with tempfile.TemporaryDirectory(prefix="tessaro-site-") as tmp:
        signed = os.path.join(tmp, "signed.der")
        content = os.path.join(tmp, "content")
        with open(signed, "wb") as f:
            f.write(der)
        command = ["openssl", "cms", "-verify", "-noverify", "-binary", "-inform", "DER", "-in", signed, "-out", content]
        if subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True).returncode != 0:
            return None
        with open(content, "rb") as f:
            data = f.read()
    # UTF-16LE text (with or without a final NUL), else ASCII
    if len(data) in (80, 82) and not any(data[1::2]):
        text = data[0::2].decode("ascii", "replace")
        if len(text) == 41 and text.endswith("\0"):
            text = text[:-1]
    else:
        text = data.decode("ascii", "replace")
    return text if FINGERPRINT.fullmatch(text) else None


class Handler(http.server.BaseHTTPRequestHandler):
    # One request per connection: a browser never resends a request on a reused connection that we drop.
    protocol_version = "HTTP/1.0"

    def version_string(self):
        return "TessaroTestSite/1.0"

    def log_message(self, format, *args):
        pass

    def handle_request(self):
        site = self.server.site
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        parsed = urllib.parse.urlsplit(self.path)
        ctype = (self.headers.get("Content-Type") or "").split(";")[0].strip().lower()
        fields, valid = decode_fields(body) if ctype == "application/x-www-form-urlencoded" else ([], True)
        query, query_valid = decode_fields(parsed.query.encode("latin-1"))
        self.fields = fields
        self.cookies = {}
        for header in self.headers.get_all("Cookie") or []:
            for part in header.split(";"):
                name, _, value = part.strip().partition("=")
                self.cookies[name] = value
        site.record(dict(server=self.server.name, method=self.command, target=self.path, path=parsed.path,
                         query=query, headers=[[k, v] for k, v in self.headers.items()],
                         body=base64.b64encode(body).decode("ascii"), fields=fields, fields_valid=valid and query_valid))
        self.behaviour = behaviour = site.behaviour(self.command, parsed.path)
        action = behaviour.get("action")
        if action == "drop":
            self.close_connection = True
            with contextlib.suppress(OSError):
                self.connection.shutdown(socket.SHUT_RDWR)
            return
        if action == "hang":
            start = page("Loading", "<p>Loading").encode("utf-8")
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(start) + 100000))
            self.end_headers()
            self.wfile.write(start)
            self.wfile.flush()
            site.stopping.wait()
            self.close_connection = True
            return
        if "delay" in behaviour:  # seconds before the reply
            time.sleep(float(behaviour["delay"]))
        if "redirect" in behaviour:
            return self.show("<p>See other.</p>", "See Other", 303, [("Location", str(behaviour["redirect"]))])
        if "attachment" in behaviour:
            disposition = 'attachment; filename="%s"' % str(behaviour["attachment"]).replace('"', "")
            return self.show("<p>A file to keep.</p>", headers=[("Content-Disposition", disposition)])
        if "body" in behaviour:
            return self.reply(int(behaviour.get("status", 200)), str(behaviour["body"]))
        if "status" in behaviour:
            status = int(behaviour["status"])
            return self.show("<h1>Status %d</h1>" % status, "Status %d" % status, status)
        if "reply" in behaviour:
            return self.error_page(str(behaviour["reply"]))
        handler = ROUTES.get(parsed.path)
        if handler is None:
            return self.show("<h1>Not Found</h1><p>No page here.</p>", "Not Found", 404)
        handler(self)

    do_GET = do_POST = do_HEAD = handle_request

    def reply(self, status, text, headers=()):
        data = b"" if status in (204, 205) else text.encode("utf-8")  # no content, by definition
        self.send_response(status)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    def field(self, name):
        for key, value in self.fields:
            if key == name:
                return value
        return None

    def show(self, body, title="Tessaro Registration", status=200, headers=()):
        self.reply(status, page(title, body), headers)

    def error_page(self, code):
        self.show('<p id="reply">%s</p>' % html.escape(code))

    # Generic test pages

    def simple(self):
        self.show('<h1>Simple Page</h1><p id="text">A simple page.</p>', "Simple Page")

    def comments(self):
        self.show(
            '<!-- first comment -->\n<p id="text">Text between comments.</p>\n'
            "<!-- SIG:[V.01_comment] -->\n<!-- last comment -->",
            "Comments",
        )

    def echo(self):
        items = "".join(
            '<li><span class="name">%s</span>=<span class="value">%s</span></li>' % (html.escape(k), html.escape(v))
            for k, v in self.fields
        )
        self.show('<h1>Echo</h1><ol id="fields">' + items + "</ol>", "Echo")

    def favicon(self):
        self.send_response(204)
        self.send_header("Content-Length", "0")
        self.end_headers()

    # The registration pages. An error reply ends the page's processing.

    def login(self):
        session = secrets.token_hex(16)
        with self.server.site.lock:
            self.server.site.sessions.add(session)
        cookie = "%s=%s; Path=/tessaro; Secure; HttpOnly; SameSite=Lax" % (SESSION_COOKIE, session)
        self.show("<h1>Tessaro Registration</h1><p>Welcome. Your session has started.</p>", headers=[("Set-Cookie", cookie)])

    def cert_register(self):
        if self.command != "POST":
            return self.show("<h1>Register a File</h1>")
        site = self.server.site
        with site.lock:
            has_session = self.cookies.get(SESSION_COOKIE) in site.sessions
        if not has_session:
            return self.error_page("error:no-session")
        tessaro, filename = self.field("tessaro"), self.field("filename")
        if not tessaro or not filename:
            return self.error_page("error:missing-field")
        fingerprint = check_signed_data(tessaro)
        if fingerprint is None:
            return self.error_page("error:signature-verification-failure")
        if not site.add_registration("certificate", fingerprint, filename, None, tessaro):
            return self.error_page("error:dberror-update")
        self.show(
            '<h1>Registration Accepted</h1><p>The file <span id="filename">%s</span> with fingerprint '
            '<span id="fingerprint">%s</span> is registered.</p>' % (html.escape(filename), fingerprint)
        )

    def check_user(self):
        users = self.server.site.control().get("users")
        password = users.get(self.field("user")) if isinstance(users, dict) else None
        return isinstance(password, str) and password == self.field("pwd")

    def user_register(self):
        if self.command != "POST":
            return self.show("<h1>Register a File</h1>")
        if not self.check_user():
            return self.error_page("error:dberror-rs-users")
        filename, filehash, user = self.field("filename"), self.field("filehash"), self.field("user")
        if not filename or filehash is None or not FINGERPRINT.fullmatch(filehash):
            return self.error_page("error:missing-field")
        site = self.server.site
        sig = site.sign(filename, filehash, user)
        if not site.add_registration("user", filehash, filename, user, sig):
            return self.error_page("error:dberror-update")
        b = self.behaviour
        marker = (SIG_START if b.get("startMarker", True) else "") + str(b.get("signature", sig)) + SIG_END
        form = (
            '<form id="regform" method="post" action="%s"><input type="hidden" name="filename" value="%s">'
            '<input type="hidden" name="filehash" value="%s"></form>'
            % (REGISTERED, html.escape(filename), html.escape(filehash))
        )
        self.show(
            '<h1>Registration Accepted</h1><p>The file <span id="filename">%s</span> is registered.</p>\n%s\n%s'
            % (html.escape(filename), marker, form if b.get("form", True) else "")
        )

    def registered(self):
        name = self.field("filename") or ""
        self.show("<h1>Thank You</h1><p>Registration of %s complete.</p>" % html.escape(name))

    def verify(self):
        if self.command != "POST":
            return self.show("<h1>Verify a Registered File</h1>", "Tessaro Verification")
        if not self.check_user():
            return self.error_page("error:dberror-rs-users")
        row = self.server.site.find_signature(self.field("sig") or "")
        # The client posts the full local path of its copy: compare its last component.
        base = re.split(r"[\\/]", self.field("filename") or "")[-1]
        if row is None or row[2] != self.field("user") or row[1] != base:
            return self.error_page("error:signature-verification-failure")
        if row[0] != (self.field("filehash") or ""):
            return self.error_page("error:file-changed")
        self.show(
            '<h1>Verified</h1><p id="result">verified</p><p>The file <span id="filename">%s</span> '
            "is registered unchanged.</p>" % html.escape(base),
            "Tessaro Verification",
        )


ROUTES = {
    "/": Handler.simple,
    "/simple.html": Handler.simple,
    "/comments.html": Handler.comments,
    "/echo": Handler.echo,
    "/favicon.ico": Handler.favicon,
    LOGIN: Handler.login,
    CERT_REGISTER: Handler.cert_register,
    USER_REGISTER: Handler.user_register,
    REGISTERED: Handler.registered,
    VERIFY: Handler.verify,
}


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    """Accepts plain sockets and does the TLS handshake in the request's own thread, so a client that
    never completes it holds up nobody else."""

    daemon_threads = True
    allow_reuse_address = True  # a site restarted on the same port binds despite TIME_WAIT connections

    def __init__(self, port, context, site, name):
        self.context = context
        self.site = site
        self.name = name
        super().__init__(("127.0.0.1", port), Handler)

    def finish_request(self, request, client_address):
        with contextlib.suppress(ssl.SSLError, OSError):
            conn = self.context.wrap_socket(request, server_side=True)
            try:
                self.RequestHandlerClass(conn, client_address, self)
            finally:
                conn.close()


def tls_context(certs, name):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(os.path.join(certs, name + ".pem"), os.path.join(certs, name + ".key"))
    return context


def main():
    parser = argparse.ArgumentParser(description="The registration site for tests.")
    parser.add_argument("--state", required=True, help="state folder (control, recorded requests, database)")
    parser.add_argument("--port", type=int, default=0, help="port of the trusted server (0: any free port)")
    parser.add_argument("--stop-on-eof", action="store_true", help="stop when standard input closes")
    args = parser.parse_args()

    os.makedirs(args.state, exist_ok=True)
    certs = os.path.join(HERE, "certs")

    site = Site(args.state)
    # Numbering goes on from an earlier site's requests in the same state folder.
    with open(site.path("requests.jsonl"), "a+", encoding="utf-8") as f:
        f.seek(0)
        site.seq = sum(1 for line in f if line.strip())
    servers = [Server(args.port, tls_context(certs, "server"), site, "main"),
               Server(0, tls_context(certs, "untrusted-server"), site, "untrusted")]
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    port, untrusted = (server.server_address[1] for server in servers)
    ready = dict(origin="https://127.0.0.1:%d" % port, port=port, untrusted_origin="https://127.0.0.1:%d" % untrusted,
                 untrusted_port=untrusted, ca=os.path.join(certs, "ca.pem"))
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    print("READY " + json.dumps(ready), flush=True)
    if args.stop_on_eof:
        threading.Thread(target=lambda: (sys.stdin.read(), done.set()), daemon=True).start()
    while not done.wait(0.5):
        pass
    site.stopping.set()
    for server in servers:
        server.shutdown()
        server.server_close()


if __name__ == "__main__":
    main()
