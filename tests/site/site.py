#!/usr/bin/python3
"""The registration site that the tests run against.

An HTTPS server on 127.0.0.1 (standard library only). It serves the registration pages, a few generic
test pages, records every request it receives, and can be told per path how to misbehave.

Usage:
    site.py --state DIR [--certs DIR] [--port N] [--untrusted-port N] [--stop-on-eof]

DIR (the state folder) holds:
    control.json        written by the test (atomically: write a temporary file, then rename):
                        {"behaviours": {"<path>" or "<METHOD> <path>": {...}}, "users": {"name": "password"}}
                        read again on every request
    requests.jsonl      one JSON object per request received, appended before the reply is sent
    registrations.json  the registrations database dumped after every change
    site.db             the SQLite registrations database (delete it to start afresh)
    ready.json          the same JSON as the ready line
When ready, one line is printed on standard output:
    READY {"origin": "https://127.0.0.1:<port>", "port": <port>, "untrusted_origin": ..., "untrusted_port": ...}

The certificates come from make_certs.sh (run into DIR/certs when --certs is not given).
"""

import argparse
import base64
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

    def users(self):
        users = self.control().get("users") or {}
        return users if isinstance(users, dict) else {}

    def record(self, entry):
        with self.lock:
            self.seq += 1
            entry = dict(seq=self.seq, **entry)
            with open(self.path("requests.jsonl"), "a", encoding="utf-8") as f:
                f.write(json.dumps(entry, ensure_ascii=True) + "\n")
                f.flush()

    # The registrations database. One connection per request; the lock serialises writers.
    def db(self):
        conn = sqlite3.connect(self.path("site.db"), timeout=30)
        conn.execute(
            "CREATE TABLE IF NOT EXISTS registrations ("
            " id INTEGER PRIMARY KEY AUTOINCREMENT,"
            " method TEXT NOT NULL,"  # 'certificate' or 'user'
            " fingerprint TEXT NOT NULL UNIQUE,"
            " filename TEXT NOT NULL,"
            " user TEXT,"
            " data TEXT NOT NULL,"  # the posted signed data, or the site's signature
            " registered TEXT NOT NULL)"
        )
        return conn

    def dump(self, conn):
        rows = conn.execute(
            "SELECT id, method, fingerprint, filename, user, data, registered FROM registrations ORDER BY id"
        ).fetchall()
        keys = ["id", "method", "fingerprint", "filename", "user", "data", "registered"]
        tmp = self.path("registrations.json.tmp")
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump([dict(zip(keys, r)) for r in rows], f)
        os.replace(tmp, self.path("registrations.json"))

    def add_registration(self, method, fingerprint, filename, user, data):
        """Returns False when the fingerprint is already registered."""
        with self.lock:
            conn = self.db()
            try:
                with conn:
                    conn.execute(
                        "INSERT INTO registrations (method, fingerprint, filename, user, data, registered)"
                        " VALUES (?, ?, ?, ?, ?, ?)",
                        (method, fingerprint, filename, user, data, time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())),
                    )
                self.dump(conn)
                return True
            except sqlite3.IntegrityError:
                return False
            finally:
                conn.close()

    def find_signature(self, sig):
        with self.lock:
            conn = self.db()
            try:
                return conn.execute(
                    "SELECT fingerprint, filename, user FROM registrations WHERE method = 'user' AND data = ?", (sig,)
                ).fetchone()
            finally:
                conn.close()

    def sign(self, filename, filehash, user):
        mac = hmac.new(self.secret, "\0".join([filename, filehash, user]).encode("utf-8"), hashlib.sha256)
        return "V.01_" + time.strftime("%Y%m%d%H%M%S", time.gmtime()) + "_" + mac.hexdigest().upper()


def page(title, body, extra_head=""):
    return (
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>"
        + html.escape(title)
        + "</title>"
        + extra_head
        + "</head><body>\n"
        + body
        + "\n</body></html>\n"
    )


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
        result = subprocess.run(
            ["openssl", "cms", "-verify", "-noverify", "-binary", "-inform", "DER", "-in", signed, "-out", content],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
        )
        if result.returncode != 0:
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

    def do_GET(self):
        self.handle_request()

    def do_POST(self):
        self.handle_request()

    def do_HEAD(self):
        self.handle_request()

    def handle_request(self):
        site = self.server.site
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        parsed = urllib.parse.urlsplit(self.path)
        self.route = parsed.path
        ctype = (self.headers.get("Content-Type") or "").split(";")[0].strip().lower()
        fields, valid = decode_fields(body) if ctype == "application/x-www-form-urlencoded" else ([], True)
        query, query_valid = decode_fields(parsed.query.encode("latin-1"))
        self.fields = fields
        self.cookies = {}
        for header in self.headers.get_all("Cookie") or []:
            for part in header.split(";"):
                name, _, value = part.strip().partition("=")
                self.cookies[name] = value
        site.record(
            dict(
                server=self.server.name,
                method=self.command,
                target=self.path,
                path=parsed.path,
                query=query,
                headers=[[k, v] for k, v in self.headers.items()],
                body=base64.b64encode(body).decode("ascii"),
                fields=fields,
                fields_valid=valid and query_valid,
            )
        )

        behaviour = site.behaviour(self.command, parsed.path)
        self.behaviour = behaviour
        action = behaviour.get("action")
        if action == "drop":
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
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
        if "body" in behaviour:
            self.reply(int(behaviour.get("status", 200)), str(behaviour["body"]))
            return
        if "status" in behaviour:
            status = int(behaviour["status"])
            self.reply(status, page("Status %d" % status, "<h1>Status %d</h1>" % status))
            return
        if "reply" in behaviour:
            text = html.escape(str(behaviour["reply"]))
            self.reply(200, page("Tessaro Registration", "<p id=\"reply\">" + text + "</p>"))
            return

        handler = ROUTES.get(parsed.path)
        if handler is None:
            self.reply(404, page("Not Found", "<h1>Not Found</h1><p>No page here.</p>"))
            return
        handler(self)

    def reply(self, status, text, headers=()):
        data = text.encode("utf-8")
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

    def error_page(self, code):
        self.reply(200, page("Tessaro Registration", "<p id=\"reply\">" + html.escape(code) + "</p>"))

    # Generic test pages

    def simple(self):
        self.reply(200, page("Simple Page", "<h1>Simple Page</h1><p id=\"text\">A simple page.</p>"))

    def comments(self):
        self.reply(
            200,
            page(
                "Comments",
                "<!-- first comment -->\n<p id=\"text\">Text between comments.</p>\n"
                "<!-- SIG:[V.01_comment] -->\n<!-- last comment -->",
            ),
        )

    def echo(self):
        items = "".join(
            "<li><span class=\"name\">%s</span>=<span class=\"value\">%s</span></li>"
            % (html.escape(k), html.escape(v))
            for k, v in self.fields
        )
        self.reply(200, page("Echo", "<h1>Echo</h1><ol id=\"fields\">" + items + "</ol>"))

    def favicon(self):
        self.send_response(204)
        self.send_header("Content-Length", "0")
        self.end_headers()

    # The registration pages

    def login(self):
        session = secrets.token_hex(16)
        with self.server.site.lock:
            self.server.site.sessions.add(session)
        cookie = "%s=%s; Path=/tessaro; Secure; HttpOnly; SameSite=Lax" % (SESSION_COOKIE, session)
        self.reply(
            200,
            page("Tessaro Registration", "<h1>Tessaro Registration</h1><p>Welcome. Your session has started.</p>"),
            [("Set-Cookie", cookie)],
        )

    def cert_register(self):
        if self.command != "POST":
            self.reply(200, page("Tessaro Registration", "<h1>Register a File</h1>"))
            return
        site = self.server.site
        with site.lock:
            has_session = self.cookies.get(SESSION_COOKIE) in site.sessions
        if not has_session:
            self.error_page("error:no-session")
            return
        tessaro = self.field("tessaro")
        filename = self.field("filename")
        if not tessaro or not filename:
            self.error_page("error:missing-field")
            return
        fingerprint = check_signed_data(tessaro)
        if fingerprint is None:
            self.error_page("error:signature-verification-failure")
            return
        if not site.add_registration("certificate", fingerprint, filename, None, tessaro):
            self.error_page("error:dberror-update")
            return
        self.reply(
            200,
            page(
                "Tessaro Registration",
                "<h1>Registration Accepted</h1><p>The file <span id=\"filename\">%s</span> with fingerprint "
                "<span id=\"fingerprint\">%s</span> is registered.</p>" % (html.escape(filename), fingerprint),
            ),
        )

    def check_user(self):
        users = self.server.site.users()
        user = self.field("user")
        pwd = self.field("pwd")
        return user is not None and user in users and isinstance(users[user], str) and users[user] == pwd

    def user_register(self):
        if self.command != "POST":
            self.reply(200, page("Tessaro Registration", "<h1>Register a File</h1>"))
            return
        site = self.server.site
        if not self.check_user():
            self.error_page("error:dberror-rs-users")
            return
        filename = self.field("filename")
        filehash = self.field("filehash")
        if not filename or filehash is None or not FINGERPRINT.fullmatch(filehash):
            self.error_page("error:missing-field")
            return
        user = self.field("user")
        sig = site.sign(filename, filehash, user)
        if not site.add_registration("user", filehash, filename, user, sig):
            self.error_page("error:dberror-update")
            return
        b = self.behaviour
        shown = str(b["signature"]) if "signature" in b else sig
        marker = (SIG_START if b.get("startMarker", True) else "") + shown + SIG_END
        form = (
            "<form id=\"regform\" method=\"post\" action=\"%s\"><input type=\"hidden\" name=\"filename\" value=\"%s\">"
            "<input type=\"hidden\" name=\"filehash\" value=\"%s\"></form>"
            % (REGISTERED, html.escape(filename), html.escape(filehash))
        )
        body = (
            "<h1>Registration Accepted</h1><p>The file <span id=\"filename\">%s</span> is registered.</p>\n%s\n%s"
            % (html.escape(filename), marker, form if b.get("form", True) else "")
        )
        self.reply(200, page("Tessaro Registration", body))

    def registered(self):
        name = self.field("filename") or ""
        self.reply(
            200,
            page("Tessaro Registration", "<h1>Thank You</h1><p>Registration of %s complete.</p>" % html.escape(name)),
        )

    def verify(self):
        if self.command != "POST":
            self.reply(200, page("Tessaro Verification", "<h1>Verify a Registered File</h1>"))
            return
        site = self.server.site
        if not self.check_user():
            self.error_page("error:dberror-rs-users")
            return
        sig = self.field("sig") or ""
        filename = self.field("filename") or ""
        filehash = self.field("filehash") or ""
        row = site.find_signature(sig)
        # The client posts the full local path of its copy: compare its last component.
        base = re.split(r"[\\/]", filename)[-1]
        if row is None or row[2] != self.field("user") or row[1] != base:
            self.error_page("error:signature-verification-failure")
            return
        if row[0] != filehash:
            self.error_page("error:file-changed")
            return
        self.reply(
            200,
            page(
                "Tessaro Verification",
                "<h1>Verified</h1><p id=\"result\">verified</p><p>The file <span id=\"filename\">%s</span> "
                "is registered unchanged.</p>" % html.escape(base),
            ),
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
        try:
            conn = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        try:
            self.RequestHandlerClass(conn, client_address, self)
        except (ssl.SSLError, OSError):
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        import traceback

        traceback.print_exc(file=sys.stderr)


def tls_context(certs, name):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(os.path.join(certs, name + ".pem"), os.path.join(certs, name + ".key"))
    return context


def main():
    parser = argparse.ArgumentParser(description="The registration site for tests.")
    parser.add_argument("--state", required=True, help="state folder (control, recorded requests, database)")
    parser.add_argument("--certs", help="folder made by make_certs.sh (default: made in STATE/certs)")
    parser.add_argument("--port", type=int, default=0, help="port of the trusted server (0: any free port)")
    parser.add_argument("--untrusted-port", type=int, default=0, help="port of the untrusted server (0: any free port)")
    parser.add_argument(
        "--stop-on-eof", action="store_true", help="stop when standard input closes (the starting process ended)"
    )
    args = parser.parse_args()

    os.makedirs(args.state, exist_ok=True)
    certs = args.certs
    if not certs:
        certs = os.path.join(args.state, "certs")
        if not os.path.exists(os.path.join(certs, "ca.pem")):
            subprocess.run(["/bin/sh", os.path.join(HERE, "make_certs.sh"), certs], check=True)

    site = Site(args.state)
    # Numbering goes on from an earlier site's requests in the same state folder.
    with open(site.path("requests.jsonl"), "a+", encoding="utf-8") as f:
        f.seek(0)
        site.seq = sum(1 for line in f if line.strip())
    servers = [
        Server(args.port, tls_context(certs, "server"), site, "main"),
        Server(args.untrusted_port, tls_context(certs, "untrusted-server"), site, "untrusted"),
    ]
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()

    port = servers[0].server_address[1]
    untrusted = servers[1].server_address[1]
    ready = dict(
        origin="https://127.0.0.1:%d" % port,
        port=port,
        untrusted_origin="https://127.0.0.1:%d" % untrusted,
        untrusted_port=untrusted,
        ca=os.path.join(certs, "ca.pem"),
    )
    with open(site.path("ready.json.tmp"), "w", encoding="utf-8") as f:
        json.dump(ready, f)
    os.replace(site.path("ready.json.tmp"), site.path("ready.json"))

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
