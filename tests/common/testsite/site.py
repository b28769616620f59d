#!/usr/bin/python3
"""The registration site that the tests run against.

An HTTPS server on 127.0.0.1 (standard library only). It serves a few test pages and, at the registration
paths, a page that accepts anything; it records every request it receives, and can be told per path how to
misbehave.

Usage:
    site.py --state DIR [--stop-on-eof]

DIR (the state folder) holds:
    control.json        written by the test (atomically: write a temporary file, then rename):
                        {"behaviours": {"<path>" or "<METHOD> <path>": {...}}}, read again on every request
    requests.jsonl      one JSON object per request received, appended before the reply is sent
When ready, one line is printed on standard output:
    READY {"origin": "https://127.0.0.1:<port>", "untrusted_origin": ..., "ca": "<path of the test CA's PEM>"}
The untrusted server is the same site behind a certificate from a CA that nothing trusts. The certificates
are the fixed ones in certs/ beside this script (valid until 2125): ca.pem and server.pem/.key for 127.0.0.1
and localhost, untrusted-ca.pem and untrusted-server.pem/.key.
"""

import argparse
import contextlib
import html
import http.server
import json
import os
import signal
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))

REGISTRATION = ("/tessaro/user/login.asp", "/tessaro/user/regfile.asp", "/scripts/register/regfile.asp",
                "/scripts/register/verify.asp")


class Site:
    """State shared by the request threads: the state folder and the request count."""

    def __init__(self, state_dir):
        self.state_dir = state_dir
        self.lock = threading.Lock()
        self.stopping = threading.Event()
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
        self.fields = fields
        site.record(dict(method=self.command, path=parsed.path, headers=[[k, v] for k, v in self.headers.items()],
                         fields=fields, fields_valid=valid))
        behaviour = site.behaviour(self.command, parsed.path)
        if behaviour.get("action") == "hang":
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

    def show(self, body, title="Tessaro Registration", status=200, headers=()):
        self.reply(status, page(title, body), headers)

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

    def registration(self):
        self.show("<h1>Tessaro Registration</h1><p>Registration Accepted</p>")


ROUTES = {
    "/": Handler.simple,
    "/simple.html": Handler.simple,
    "/comments.html": Handler.comments,
    "/echo": Handler.echo,
    "/favicon.ico": Handler.favicon,
    **{path: Handler.registration for path in REGISTRATION},
}


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    """Accepts plain sockets and does the TLS handshake in the request's own thread, so a client that
    never completes it holds up nobody else."""

    daemon_threads = True
    allow_reuse_address = True  # a site restarted on the same port binds despite TIME_WAIT connections

    def __init__(self, context, site):
        self.context = context
        self.site = site
        super().__init__(("127.0.0.1", 0), Handler)

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
    parser.add_argument("--state", required=True, help="state folder (control, recorded requests)")
    parser.add_argument("--stop-on-eof", action="store_true", help="stop when standard input closes")
    args = parser.parse_args()

    os.makedirs(args.state, exist_ok=True)
    certs = os.path.join(HERE, "certs")

    site = Site(args.state)
    servers = [Server(tls_context(certs, "server"), site), Server(tls_context(certs, "untrusted-server"), site)]
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    port, untrusted = (server.server_address[1] for server in servers)
    ready = dict(origin="https://127.0.0.1:%d" % port, untrusted_origin="https://127.0.0.1:%d" % untrusted,
                 ca=os.path.join(certs, "ca.pem"))
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
