#!/usr/bin/python3
"""Tests of the registration site for tests (site.py), over real HTTPS on 127.0.0.1."""

import base64
import contextlib
import http.client
import json
import os
import ssl
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
FINGERPRINT = "0123456789ABCDEF0123456789ABCDEF01234567"
PASSWORD = "pa ss'\"<&>é"
REGFILE, VERIFY = "/scripts/register/regfile.asp", "/scripts/register/verify.asp"
CERT_REGFILE = "/tessaro/user/regfile.asp"


class SiteTest(unittest.TestCase):
    skip = 0  # requests recorded before the test

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="tessaro-site-test-")
        cls.state = os.path.join(cls.tmp.name, "state")
        cls.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "site.py"), "--state", cls.state, "--stop-on-eof"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        line = cls.proc.stdout.readline().decode("utf-8")
        assert line.startswith("READY "), line
        cls.ready = json.loads(line[6:])
        cls.context = ssl.create_default_context(cafile=cls.ready["ca"])
        cls.signer = [os.path.join(cls.tmp.name, name) for name in ("signer.pem", "signer.key")]
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-out", cls.signer[0], "-keyout", cls.signer[1], "-days", "30",
                        "-subj", "/CN=Test Signer"], check=True, capture_output=True)

    @classmethod
    def tearDownClass(cls):
        cls.proc.stdin.close()
        cls.proc.wait(60)
        cls.proc.stdout.close()
        cls.tmp.cleanup()

    def sign(self, content, detached=False):
        """Base64 of a DER CMS SignedData over content, made with the openssl command."""
        infile = os.path.join(self.tmp.name, "content")
        with open(infile, "wb") as f:
            f.write(content)
        der = subprocess.run(["openssl", "cms", "-sign", "-binary", "-in", infile, "-signer", self.signer[0],
                              "-inkey", self.signer[1], "-outform", "DER"] + ([] if detached else ["-nodetach"]),
                             check=True, capture_output=True).stdout
        return base64.b64encode(der).decode()

    def setUp(self):
        self.behave({})
        self.clear_db()
        self.skip = len(self.requests())  # skip is 0 until here

    def clear_db(self):
        for name in ("site.db", "registrations.json"):
            with contextlib.suppress(FileNotFoundError):
                os.remove(os.path.join(self.state, name))

    def behave(self, behaviours):
        """Replaces the control file (atomically, as the site expects) with these behaviours and one user."""
        with open(os.path.join(self.state, "control.json.tmp"), "w", encoding="utf-8") as f:
            json.dump({"behaviours": behaviours, "users": {"alice": PASSWORD}}, f)
        os.replace(os.path.join(self.state, "control.json.tmp"), os.path.join(self.state, "control.json"))

    def requests(self, path=None):
        with open(os.path.join(self.state, "requests.jsonl"), encoding="utf-8") as f:
            lines = [json.loads(line) for line in f if line.strip()]
        return [r for r in lines[self.skip:] if path is None or r["path"] == path]

    def fetch(self, path, fields=None, body=None, cookie=None):
        """GET path, or POST the fields url-encoded (or the raw body); status, content type, text, cookie."""
        conn = http.client.HTTPSConnection("127.0.0.1", self.ready["port"], context=self.context, timeout=60)
        if fields is not None:
            body = urllib.parse.urlencode(fields, encoding="utf-8").encode("ascii")
        headers = {"Cookie": cookie} if cookie else {}
        if body is not None:
            headers["Content-Type"] = "application/x-www-form-urlencoded"
        try:
            conn.request("GET" if body is None else "POST", path, body=body, headers=headers)
            resp = conn.getresponse()
            return (resp.status, resp.getheader("Content-Type"), resp.read().decode("utf-8"),
                    resp.getheader("Set-Cookie"))
        finally:
            conn.close()

    def post(self, path, fields, cookie=None):
        return self.fetch(path, fields=fields, cookie=cookie)[2]

    def test_pages_declare_utf8(self):
        for path, status, text in [("/simple.html", 200, "A simple page."), ("/missing.asp", 404, "Not Found"),
                                   ("/comments.html", 200, "<!-- last comment -->"),
                                   ("/tessaro/user/login.asp", 200, "Tessaro Registration"),
                                   (REGFILE, 200, "Register a File"), (VERIFY, 200, "Verify a Registered File")]:
            with self.subTest(path=path):
                got, ctype, body, _ = self.fetch(path)
                self.assertEqual((got, ctype), (status, "text/html; charset=utf-8"))
                self.assertIn('<meta charset="utf-8">', body)
                self.assertIn(text, body)

    def test_records_fields_in_order_and_exact(self):
        fields = [("filename", "a'b\"c<d>e&f é€𝄞"), ("submit", "1"), ("empty", ""), ("filename", "again")]
        raw = urllib.parse.urlencode(fields).encode("ascii")
        self.assertIn("a&#x27;b&quot;c&lt;d&gt;e&amp;f é€𝄞", self.fetch("/echo", body=raw)[2])  # echoed escaped
        self.fetch("/echo", body=b"name=%FF%FE&ok=1")
        good, bad = self.requests("/echo")
        self.assertEqual((good["method"], base64.b64decode(good["body"])), ("POST", raw))
        self.assertEqual([tuple(f) for f in good["fields"]], fields)
        self.assertEqual((good["fields_valid"], bad["fields_valid"]), (True, False))
        self.assertEqual(bad["fields"][1], ["ok", "1"])

    def test_reply_behaviours(self):
        for behaviour, status, text in [({"reply": "<b>&"}, 200, "&lt;b&gt;&amp;"),
                                        ({"status": 500}, 500, "Status 500"),
                                        ({"status": 404, "body": "own 404"}, 404, "own 404")]:
            with self.subTest(behaviour=behaviour):
                self.behave({"/simple.html": behaviour})
                got, ctype, body, _ = self.fetch("/simple.html")
                self.assertEqual((got, ctype), (status, "text/html; charset=utf-8"))
                self.assertIn(text, body)
        # A dropped connection still records what was posted.
        self.behave({"/simple.html": {"action": "drop"}})
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionError, ssl.SSLError)):
            self.fetch("/simple.html", fields=[("x", "1")])
        self.assertEqual(self.requests("/simple.html")[-1]["fields"], [["x", "1"]])

    def test_certificate_registration(self):
        cookie = self.fetch("/tessaro/user/login.asp")[3]
        self.assertIn("Secure", cookie)
        cookie = cookie.split(";")[0]
        utf16 = FINGERPRINT.encode("utf-16-le")
        good, plain = self.sign(utf16), self.sign(FINGERPRINT.encode("ascii"))
        tampered = bytearray(base64.b64decode(good))
        tampered[tampered.find(FINGERPRINT[:8].encode("utf-16-le"))] ^= 1  # the digest no longer matches
        bad = "error:signature-verification-failure"
        for i, (name, data, cookie_sent, expected) in enumerate([
                ("utf-16le", good, cookie, None), ("utf-16le with NUL", self.sign(utf16 + b"\0\0"), cookie, None),
                ("ascii", plain, cookie, None),
                ("lower-case hex", self.sign(FINGERPRINT.lower().encode("ascii")), cookie, bad),
                ("detached", self.sign(utf16, detached=True), cookie, bad),
                ("tampered", base64.b64encode(tampered).decode(), cookie, bad), ("not base64", "@@@@", cookie, bad),
                ("unknown session", good, "TSSESSION=0000", "error:no-session")]):
            with self.subTest(case=name):
                self.clear_db()
                body = self.post(CERT_REGFILE, [("tessaro", data), ("filename", "r%d.doc" % i)], cookie_sent)
                self.assertIn(expected or FINGERPRINT, body)
                self.assertEqual("error:" in body, expected is not None)
                self.assertEqual(os.path.exists(os.path.join(self.state, "registrations.json")), expected is None)
        self.assertIn("error:missing-field", self.post(CERT_REGFILE, [("tessaro", good)], cookie))
        # A fingerprint registers once, by either method.
        self.assertNotIn("error:", self.post(CERT_REGFILE, [("tessaro", good), ("filename", "a.doc")], cookie))
        self.assertIn("error:dberror-update", self.post(CERT_REGFILE, [("tessaro", plain), ("filename", "b")], cookie))
        self.assertIn("error:dberror-update", self.post(REGFILE, self.user_fields()))
        with open(os.path.join(self.state, "registrations.json"), encoding="utf-8") as f:
            self.assertEqual([(r["method"], r["fingerprint"], r["filename"], r["data"]) for r in json.load(f)],
                             [("certificate", FINGERPRINT, "a.doc", good)])

    def user_fields(self, pwd=PASSWORD, filehash=FINGERPRINT, user="alice"):
        return [("filename", "r é'.doc"), ("filehash", filehash), ("user", user), ("pwd", pwd)]

    def signature(self, body):
        start, end = body.find("<!-- SIG:["), body.find("] -->")
        self.assertTrue(0 <= start < end, body)
        return body[start + 10:end]

    def test_user_registration_and_verify(self):
        for name, fields, expected in [("wrong password", self.user_fields(pwd="pa ss"), "error:dberror-rs-users"),
                                       ("unknown user", self.user_fields(user="bob"), "error:dberror-rs-users"),
                                       ("bad fingerprint", self.user_fields(filehash="xyz"), "error:missing-field")]:
            with self.subTest(case=name):
                self.assertIn(expected, self.post(REGFILE, fields))
        body = self.post(REGFILE, self.user_fields())
        self.assertNotIn("error:", body)
        self.assertRegex(self.signature(body), r"^V\.01_[0-9]{14}_[0-9A-F]{64}$")
        self.assertIn('<form id="regform" method="post" action="/scripts/register/registered.asp">', body)
        self.assertIn("r é&#x27;.doc", body)
        self.assertIn("error:dberror-update", self.post(REGFILE, self.user_fields()))
        self.assertIn("Thank You", self.post("/scripts/register/registered.asp", [("filename", "x")]))

        # Verification checks what the site signed.
        sig = self.signature(body)
        for name, changes, expected in [
                ("verified", {}, '<p id="result">verified</p>'),
                ("file changed", {"filehash": "F" * 40}, "error:file-changed"),
                ("other file", {"filename": "/x/other.doc"}, "error:signature-verification-failure"),
                ("altered signature", {"sig": sig[:-1] + ("1" if sig.endswith("0") else "0")},
                 "error:signature-verification-failure")]:
            with self.subTest(case=name):
                fields = dict(filename="/opt/tessaro/Registered/r é'.doc", filehash=FINGERPRINT, user="alice",
                              pwd=PASSWORD, sig=sig)
                fields.update(changes)
                self.assertIn(expected, self.post(VERIFY, list(fields.items())))


if __name__ == "__main__":
    unittest.main(verbosity=2)
