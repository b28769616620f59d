#!/usr/bin/python3
"""The registration site for tests (see TestSite.h): HTTPS on 127.0.0.1, standard library only.

site.py STATE_DIR prints "READY <port> <untrusted port>" when ready and stops when standard input closes.
On every request it appends {method, path, type, fields} to STATE_DIR/requests.jsonl, then reads
STATE_DIR/control.json ({"<METHOD> <path>" or "<path>": behaviour}) and replies as told.
"""

import html
import http.server
import json
import os
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse

CERTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "certs")
STATE = sys.argv[1]
LOCK = threading.Lock()

SIMPLE = ("Simple Page", '<p id="text">A simple page.</p>')
ACCEPTED = ("Tessaro Registration", "<p>Registration Accepted</p>")
PAGES = {
    "/": SIMPLE,
    "/simple.html": SIMPLE,
    "/comments.html": ("Comments", "<!-- first comment -->\n<p>Text between comments.</p>\n"
                                   "<!-- SIG:[V.01_comment] -->\n<!-- last comment -->"),
    "/echo": ("Echo", "<p>Posted.</p>"),
    **{path: ACCEPTED for path in ("/tessaro/user/login.asp", "/tessaro/user/regfile.asp",
                                   "/scripts/register/regfile.asp", "/scripts/register/verify.asp")},
}


def page(title, body):
    return '<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>%s</title></head><body>\n%s\n</body></html>\n' % (
        html.escape(title), body)


# Each behaviour's reply from its value: status, extra headers, text.
BEHAVIOURS = {
    "status": lambda n: (n, [], page("Status %d" % n, "<h1>Status %d</h1>" % n)),
    "body": lambda text: (200, [], text),
    "attachment": lambda name: (200, [("Content-Disposition", 'attachment; filename="%s"' % name)],
                                page("A file", "<p>A file to keep.</p>")),
    "redirect": lambda target: (303, [("Location", target)], page("See Other", "")),
}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"  # one request per connection: a browser never resends on one we drop

    def log_message(self, *args):
        pass

    def do_GET(self):
        path = urllib.parse.urlsplit(self.path).path
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0)).decode("latin-1")
        ctype = self.headers.get("Content-Type", "")
        fields = urllib.parse.parse_qsl(body, keep_blank_values=True) if ctype.startswith(
            "application/x-www-form-urlencoded") else []
        with LOCK, open(os.path.join(STATE, "requests.jsonl"), "a", encoding="utf-8") as f:
            f.write(json.dumps(dict(method=self.command, path=path, type=ctype, fields=fields)) + "\n")
        try:
            with open(os.path.join(STATE, "control.json"), encoding="utf-8") as f:
                control = json.load(f)
        except (OSError, ValueError):
            control = {}
        behaviour = control.get(self.command + " " + path) or control.get(path) or {}
        time.sleep(behaviour.get("delay", 0))
        if behaviour.get("hang"):  # part of a page, then nothing until the site stops
            self.reply(200, [], page("Loading", "<p>Loading"), 100000)
            return threading.Event().wait()
        for name, make in BEHAVIOURS.items():
            if name in behaviour:
                return self.reply(*make(behaviour[name]))
        title, text = PAGES.get(path, ("Not Found", "<h1>Not Found</h1>"))
        self.reply(200 if path in PAGES else 404, [], page(title, text))

    do_POST = do_GET

    def reply(self, status, headers, text, missing=0):
        data = b"" if status == 204 else text.encode("utf-8")
        self.send_response(status)
        for name, value in [("Content-Type", "text/html; charset=utf-8"), ("Content-Length", str(len(data) + missing)),
                            ("Cache-Control", "no-store")] + headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)
        self.wfile.flush()


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    """Does the TLS handshake in the request's own thread: a client that never completes it holds up nobody."""

    daemon_threads = True

    def finish_request(self, request, client_address):
        try:
            with self.context.wrap_socket(request, server_side=True) as conn:
                self.RequestHandlerClass(conn, client_address, self)
        except OSError:
            pass


def serve(name):
    server = Server(("127.0.0.1", 0), Handler)
    server.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server.context.load_cert_chain(os.path.join(CERTS, name + ".pem"), os.path.join(CERTS, name + ".key"))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


print("READY %d %d" % (serve("server"), serve("untrusted-server")), flush=True)
sys.stdin.read()
