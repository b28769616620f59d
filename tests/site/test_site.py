#!/usr/bin/python3
"""Tests of the registration site for tests (site.py), over real HTTPS on 127.0.0.1."""

import base64
import http.client
import json
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
FINGERPRINT = "0123456789ABCDEF0123456789ABCDEF01234567"


class SiteTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="tessaro-site-test-")
        cls.state = os.path.join(cls.tmp.name, "state")
        cls.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "site.py"), "--state", cls.state, "--stop-on-eof"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
        )
        line = cls.proc.stdout.readline().decode("utf-8")
        assert line.startswith("READY "), line
        cls.ready = json.loads(line[6:])
        cls.context = ssl.create_default_context(cafile=cls.ready["ca"])
        cls.signer = cls.make_signer()

    @classmethod
    def tearDownClass(cls):
        cls.proc.stdin.close()
        cls.proc.wait(60)
        cls.proc.stdout.close()
        cls.tmp.cleanup()

    @classmethod
    def make_signer(cls):
        key = os.path.join(cls.tmp.name, "signer.key")
        cert = os.path.join(cls.tmp.name, "signer.pem")
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", key, "-out", cert, "-days", "30", "-subj", "/CN=Test Signer"],
            check=True, capture_output=True,
        )
        return cert, key

    def sign(self, content, detached=False):
        """Base64 of a DER CMS SignedData over content, made with the openssl command."""
        with tempfile.TemporaryDirectory() as tmp:
            infile = os.path.join(tmp, "in")
            out = os.path.join(tmp, "out")
            with open(infile, "wb") as f:
                f.write(content)
            cert, key = self.signer
            subprocess.run(
                ["openssl", "cms", "-sign", "-binary", "-in", infile, "-signer", cert, "-inkey", key,
                 "-outform", "DER", "-out", out] + ([] if detached else ["-nodetach"]),
                check=True, capture_output=True,
            )
            with open(out, "rb") as f:
                return f.read()

    def setUp(self):
        self.control = {"behaviours": {}, "users": {"alice": "pa ss'\"<&>é"}}
        self.write_control()
        self.clear_db()
        self.skip = len(self.requests(all_of_them=True))

    def clear_db(self):
        for name in ("site.db", "registrations.json"):
            try:
                os.remove(os.path.join(self.state, name))
            except FileNotFoundError:
                pass

    def write_control(self):
        tmp = os.path.join(self.state, "control.json.tmp")
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(self.control, f)
        os.replace(tmp, os.path.join(self.state, "control.json"))

    def behave(self, key, **behaviour):
        self.control["behaviours"][key] = behaviour
        self.write_control()

    def requests(self, path=None, all_of_them=False):
        with open(os.path.join(self.state, "requests.jsonl"), encoding="utf-8") as f:
            lines = [json.loads(line) for line in f if line.strip()]
        if not all_of_them:
            lines = lines[self.skip:]
        return [r for r in lines if path is None or r["path"] == path]

    def fetch(self, path, method="GET", fields=None, body=None, cookie=None, port=None):
        conn = http.client.HTTPSConnection("127.0.0.1", port or self.ready["port"], context=self.context, timeout=60)
        headers = {}
        if fields is not None:
            body = urllib.parse.urlencode(fields, encoding="utf-8").encode("ascii")
        if body is not None:
            headers["Content-Type"] = "application/x-www-form-urlencoded"
        if cookie:
            headers["Cookie"] = cookie
        try:
            conn.request(method, path, body=body, headers=headers)
            resp = conn.getresponse()
            return resp.status, resp.getheader("Content-Type"), resp.read().decode("utf-8"), resp.getheader("Set-Cookie")
        finally:
            conn.close()

    def session(self):
        status, _, _, cookie = self.fetch("/tessaro/user/login.asp")
        self.assertEqual(status, 200)
        return cookie.split(";")[0]

    # The generic pages and the recording

    def test_pages_declare_utf8(self):
        for path, status, text in [
            ("/simple.html", 200, "A simple page."),
            ("/missing.asp", 404, "Not Found"),
            ("/comments.html", 200, "<!-- last comment -->"),
            ("/scripts/register/regfile.asp", 200, "Register a File"),
            ("/scripts/register/verify.asp", 200, "Verify a Registered File"),
        ]:
            with self.subTest(path=path):
                got, ctype, body, _ = self.fetch(path)
                self.assertEqual(got, status)
                self.assertEqual(ctype, "text/html; charset=utf-8")
                self.assertIn('<meta charset="utf-8">', body)
                self.assertIn(text, body)

    def test_records_fields_in_order_and_exact(self):
        fields = [("filename", "a'b\"c<d>e&f é€𝄞"), ("submit", "1"), ("empty", ""), ("filename", "again")]
        raw = urllib.parse.urlencode(fields).encode("ascii")
        status, _, body, _ = self.fetch("/echo", "POST", body=raw)
        self.assertEqual(status, 200)
        self.assertIn("a&#x27;b&quot;c&lt;d&gt;e&amp;f é€𝄞", body)  # echoed escaped
        [req] = self.requests("/echo")
        self.assertEqual(req["method"], "POST")
        self.assertEqual(base64.b64decode(req["body"]), raw)
        self.assertEqual([tuple(f) for f in req["fields"]], fields)
        self.assertTrue(req["fields_valid"])
        self.assertIn(["Content-Type", "application/x-www-form-urlencoded"], req["headers"])

    def test_invalid_utf8_is_flagged(self):
        self.fetch("/echo", "POST", body=b"name=%FF%FE&ok=1")
        [req] = self.requests("/echo")
        self.assertFalse(req["fields_valid"])
        self.assertEqual(req["fields"][1], ["ok", "1"])

    # Behaviours

    def test_behaviours(self):
        cases = [
            ({"reply": "error:dberror-open"}, 200, "error:dberror-open"),
            ({"reply": "<b>&"}, 200, "&lt;b&gt;&amp;"),
            ({"status": 404}, 404, "Status 404"),
            ({"status": 500}, 500, "Status 500"),
            ({"body": "<html><body>exact</body></html>"}, 200, "<html><body>exact</body></html>"),
            ({"status": 404, "body": "own 404"}, 404, "own 404"),
        ]
        for behaviour, status, text in cases:
            with self.subTest(behaviour=behaviour):
                self.behave("/simple.html", **behaviour)
                got, ctype, body, _ = self.fetch("/simple.html")
                self.assertEqual(got, status)
                self.assertEqual(ctype, "text/html; charset=utf-8")
                self.assertIn(text, body)

    def test_method_specific_behaviour_wins(self):
        self.behave("/simple.html", reply="any method")
        self.behave("POST /simple.html", reply="posted")
        self.assertIn("any method", self.fetch("/simple.html")[2])
        self.assertIn("posted", self.fetch("/simple.html", "POST", fields=[("a", "b")])[2])

    def test_drop(self):
        self.behave("/simple.html", action="drop")
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionError, ssl.SSLError)):
            self.fetch("/simple.html", "POST", fields=[("x", "1")])
        [req] = self.requests("/simple.html")
        self.assertEqual(req["fields"], [["x", "1"]])

    def test_hang_keeps_the_page_open(self):
        self.behave("/simple.html", action="hang")
        conn = http.client.HTTPSConnection("127.0.0.1", self.ready["port"], context=self.context, timeout=2)
        try:
            conn.request("GET", "/simple.html")
            resp = conn.getresponse()
            self.assertEqual(resp.status, 200)
            declared = int(resp.getheader("Content-Length"))
            with self.assertRaises((socket.timeout, TimeoutError)):
                resp.read(declared)
        finally:
            conn.close()
        # Other requests are served meanwhile.
        self.assertEqual(self.fetch("/comments.html")[0], 200)

    def test_untrusted_certificate(self):
        with self.assertRaises(ssl.SSLCertVerificationError):
            self.fetch("/simple.html", port=self.ready["untrusted_port"])
        untrusted = ssl.create_default_context(cafile=os.path.join(self.state, "certs", "untrusted-ca.pem"))
        conn = http.client.HTTPSConnection("localhost", self.ready["untrusted_port"], context=untrusted, timeout=60)
        conn.request("GET", "/simple.html")
        self.assertEqual(conn.getresponse().status, 200)
        conn.close()
        self.assertEqual(self.requests("/simple.html")[-1]["server"], "untrusted")

    # Certificate registrations

    def test_certificate_registration(self):
        cookie = self.session()
        utf16 = FINGERPRINT.encode("utf-16-le")
        cases = [
            ("utf-16le", self.sign(utf16), "accepted"),
            ("utf-16le with NUL", self.sign(utf16 + b"\0\0"), "accepted"),
            ("ascii", self.sign(FINGERPRINT.encode("ascii")), "accepted"),
            ("lower-case hex", self.sign(FINGERPRINT.lower().encode("utf-16-le")), "error:signature-verification-failure"),
            ("39 digits", self.sign(FINGERPRINT[:-1].encode("ascii")), "error:signature-verification-failure"),
            ("detached", self.sign(utf16, detached=True), "error:signature-verification-failure"),
            ("not cms", b"not a signature", "error:signature-verification-failure"),
        ]
        for i, (name, der, expected) in enumerate(cases):
            with self.subTest(case=name):
                self.clear_db()
                status, _, body, _ = self.fetch(
                    "/tessaro/user/regfile.asp", "POST",
                    fields=[("tessaro", base64.b64encode(der).decode()), ("filename", "r%d.doc" % i)], cookie=cookie,
                )
                self.assertEqual(status, 200)
                if expected == "accepted":
                    self.assertNotIn("error:", body)
                    self.assertIn(FINGERPRINT, body)
                else:
                    self.assertIn(expected, body)

    def test_certificate_registration_failures(self):
        cookie = self.session()
        good = self.sign(FINGERPRINT.encode("utf-16-le"))
        tampered = bytearray(good)
        at = good.find(FINGERPRINT[:8].encode("utf-16-le"))
        tampered[at] ^= 1  # '0' -> '1' in the content: the digest no longer matches
        for name, fields, cookie_sent, expected in [
            ("tampered", [("tessaro", base64.b64encode(tampered).decode()), ("filename", "a")], cookie,
             "error:signature-verification-failure"),
            ("not base64", [("tessaro", "@@@@"), ("filename", "a")], cookie, "error:signature-verification-failure"),
            ("no session", [("tessaro", base64.b64encode(good).decode()), ("filename", "a")], None, "error:no-session"),
            ("unknown session", [("tessaro", base64.b64encode(good).decode()), ("filename", "a")],
             "TSSESSION=0000", "error:no-session"),
            ("no filename", [("tessaro", base64.b64encode(good).decode())], cookie, "error:missing-field"),
        ]:
            with self.subTest(case=name):
                body = self.fetch("/tessaro/user/regfile.asp", "POST", fields=fields, cookie=cookie_sent)[2]
                self.assertIn(expected, body)
        self.assertFalse(os.path.exists(os.path.join(self.state, "registrations.json")))

    def test_second_registration_of_a_fingerprint(self):
        cookie = self.session()
        first = base64.b64encode(self.sign(FINGERPRINT.encode("utf-16-le"))).decode()
        second = base64.b64encode(self.sign(FINGERPRINT.encode("ascii"))).decode()
        body = self.fetch("/tessaro/user/regfile.asp", "POST", fields=[("tessaro", first), ("filename", "a.doc")],
                          cookie=cookie)[2]
        self.assertNotIn("error:", body)
        body = self.fetch("/tessaro/user/regfile.asp", "POST", fields=[("tessaro", second), ("filename", "b.doc")],
                          cookie=cookie)[2]
        self.assertIn("error:dberror-update", body)
        with open(os.path.join(self.state, "registrations.json"), encoding="utf-8") as f:
            rows = json.load(f)
        self.assertEqual([(r["method"], r["fingerprint"], r["filename"], r["data"]) for r in rows],
                         [("certificate", FINGERPRINT, "a.doc", first)])

    # Registrations by user name and password, and their verification

    def user_fields(self, pwd="pa ss'\"<&>é", filehash=FINGERPRINT, filename="r é'.doc", user="alice"):
        return [("filename", filename), ("filehash", filehash), ("user", user), ("pwd", pwd)]

    def signature(self, body):
        start, end = body.find("<!-- SIG:["), body.find("] -->")
        self.assertTrue(0 <= start < end, body)
        return body[start + 10:end]

    def test_user_registration(self):
        for name, fields, expected in [
            ("wrong password", self.user_fields(pwd="pa ss"), "error:dberror-rs-users"),
            ("unknown user", self.user_fields(user="bob"), "error:dberror-rs-users"),
            ("no password", self.user_fields()[:3], "error:dberror-rs-users"),
            ("bad fingerprint", self.user_fields(filehash="xyz"), "error:missing-field"),
        ]:
            with self.subTest(case=name):
                self.assertIn(expected, self.fetch("/scripts/register/regfile.asp", "POST", fields=fields)[2])

        body = self.fetch("/scripts/register/regfile.asp", "POST", fields=self.user_fields())[2]
        self.assertNotIn("error:", body)
        sig = self.signature(body)
        self.assertRegex(sig, r"^V\.01_[0-9]{14}_[0-9A-F]{64}$")
        self.assertIn('<form id="regform" method="post" action="/scripts/register/registered.asp">', body)
        self.assertIn("r é&#x27;.doc", body)
        again = self.fetch("/scripts/register/regfile.asp", "POST", fields=self.user_fields())[2]
        self.assertIn("error:dberror-update", again)
        # The reply's form leads to a harmless page.
        status, _, done, _ = self.fetch("/scripts/register/registered.asp", "POST", fields=[("filename", "x")])
        self.assertEqual(status, 200)
        self.assertIn("Thank You", done)

    def test_signature_behaviours(self):
        key = "/scripts/register/regfile.asp"
        for i, (behaviour, start_marker, shown, form) in enumerate([
            ({"startMarker": False}, False, None, True),
            ({"signature": "   "}, True, "   ", True),
            ({"signature": ""}, True, "", True),
            ({"form": False}, True, "V.01_", False),
            ({"signature": "V.01_mine", "form": False}, True, "V.01_mine", False),
        ]):
            with self.subTest(behaviour=behaviour):
                self.behave(key, **behaviour)
                body = self.fetch(key, "POST", fields=self.user_fields(filehash="%040X" % i))[2]
                self.assertNotIn("error:", body)
                self.assertEqual("<!-- SIG:[" in body, start_marker)
                self.assertIn("] -->", body)
                if shown is not None:
                    self.assertTrue(self.signature(body).startswith(shown))
                    if shown != "V.01_":
                        self.assertEqual(self.signature(body), shown)
                self.assertEqual('id="regform"' in body, form)

    def test_verify(self):
        sig = self.signature(self.fetch("/scripts/register/regfile.asp", "POST", fields=self.user_fields())[2])
        path = "/opt/tessaro/Registered/r é'.doc"

        def verify(**changes):
            fields = dict(filename=path, filehash=FINGERPRINT, user="alice", pwd="pa ss'\"<&>é", sig=sig)
            fields.update(changes)
            return self.fetch("/scripts/register/verify.asp", "POST", fields=list(fields.items()))[2]

        for name, changes, expected in [
            ("verified", {}, '<p id="result">verified</p>'),
            ("windows path", {"filename": "C:\\Tessaro\\Registered\\r é'.doc"}, '<p id="result">verified</p>'),
            ("file changed", {"filehash": "F" * 40}, "error:file-changed"),
            ("other file", {"filename": "/x/other.doc"}, "error:signature-verification-failure"),
            ("altered signature", {"sig": sig[:-1] + ("1" if sig.endswith("0") else "0")}, "error:signature-verification-failure"),
            ("wrong password", {"pwd": "nope"}, "error:dberror-rs-users"),
        ]:
            with self.subTest(case=name):
                self.assertIn(expected, verify(**changes))
        [req] = self.requests("/scripts/register/verify.asp")[:1]
        self.assertEqual([f[0] for f in req["fields"]], ["filename", "filehash", "user", "pwd", "sig"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
