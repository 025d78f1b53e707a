#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""kestravo-record send through a relay that wants TLS and a password, as a user's mail provider
does: STARTTLS and implicit TLS with each sign-in mechanism, and a table of relays that behave
badly (no STARTTLS, text slipped in before the handshake, wrong, expired or unknown certificates,
a refused password, no shared mechanism, a hang-up mid-handshake, TLS 1.0 only).

The certificates are made here with openssl, the password is a fresh random one per run, and the
relay keeps every byte it received in clear, so that the test can see the password never was.
KESTRAVO_RECORD_TOOL names the built kestravo-record.
"""

import base64
import hashlib
import hmac
import os
import secrets
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

TOOL = os.environ.get("KESTRAVO_RECORD_TOOL", "")
WAIT = 60  # seconds; an upper bound only
IMEI = "300234010123450"
USER = "operator@provider.example"


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Certificates:
    """A CA, and server certificates signed by it: for localhost, for another host, an expired
    one; and a second CA that nobody trusts."""

    def __init__(self, folder):
        self.folder = folder
        for ca in ("ca", "otherca"):
            openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca + ".key", "-out", ca + ".pem",
                    "-days", "2", "-subj", "/CN=Kestravo test " + ca, cwd=folder)
        self.make("good", "localhost", "ca", 2)
        self.make("otherhost", "mail.other.example", "ca", 2)
        self.make("unknownca", "localhost", "otherca", 2)
        self.make("expired", "localhost", "ca", 0)  # not after: now
        time.sleep(1.2)

    def make(self, name, host, ca, days):
        ext = os.path.join(self.folder, name + ".ext")
        with open(ext, "w") as f:
            f.write("subjectAltName=DNS:%s\n" % host)
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr",
                "-subj", "/CN=" + host, cwd=self.folder)
        openssl("x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key", "-CAcreateserial",
                "-out", name + ".pem", "-days", str(days), "-extfile", ext, cwd=self.folder)

    def path(self, name):
        return os.path.join(self.folder, name)


class TlsRelay:
    """An SMTP relay on a loopback port, one connection at a time, with STARTTLS (or TLS from the
    first byte) and AUTH PLAIN, LOGIN and CRAM-MD5 against one user and password.

    behaviour: "" (a proper relay), "no-starttls", "inject" (lines slipped in right after
    "220 ready", in the same write), "inject-late" (the same once the handshake has begun),
    "hangup" (closes during the handshake), "refuse" (535 to any password), "tls10" (speaks
    TLS 1.0 only).
    """

    def __init__(self, certs, password, cert="good", implicit=False, behaviour="", mechanisms="CRAM-MD5 PLAIN LOGIN"):
        self.certs, self.password, self.cert = certs, password, cert
        self.implicit, self.behaviour, self.mechanisms = implicit, behaviour, mechanisms
        self.clear = b""       # every byte received before TLS
        self.commands = []     # every command line received, in order (after TLS too)
        self.auth_ok = False
        self.messages = 0
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def context(self):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        if self.behaviour == "tls10":
            ctx.set_ciphers("ALL:@SECLEVEL=0")
            ctx.minimum_version = ssl.TLSVersion.TLSv1
            ctx.maximum_version = ssl.TLSVersion.TLSv1
        ctx.load_cert_chain(self.certs.path(self.cert + ".pem"), self.certs.path(self.cert + ".key"))
        return ctx

    def serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            try:
                conn.settimeout(WAIT)
                self.session(conn)
            except (OSError, ssl.SSLError):
                pass
            finally:
                conn.close()

    def session(self, conn):
        tls = False
        if self.implicit:
            conn = self.context().wrap_socket(conn, server_side=True)
            tls = True
        buf = b""

        def send(text):
            conn.sendall(text.encode() + b"\r\n")

        def line():
            nonlocal buf
            while b"\r\n" not in buf:
                data = conn.recv(4096)
                if not data:
                    raise OSError("closed")
                if not tls:
                    self.clear += data
                buf += data
            text, buf = buf.split(b"\r\n", 1)
            return text.decode("latin-1")

        send("220 relay.test ESMTP")
        while True:
            cmd = line()
            self.commands.append(cmd)
            word = cmd.split(" ")[0].upper()
            if word == "EHLO":
                ext = []
                if not tls and self.behaviour != "no-starttls":
                    ext.append("STARTTLS")
                if tls or self.behaviour == "no-starttls":
                    ext.append("AUTH " + self.mechanisms)
                send("\r\n".join(["250-relay.test"] + ["250-" + e for e in ext] + ["250 8BITMIME"]))
            elif word == "STARTTLS" and not tls:
                if self.behaviour == "inject":
                    conn.sendall(b"220 ready\r\n250-relay.test\r\n250 AUTH PLAIN\r\n235 2.7.0 accepted\r\n")
                else:
                    send("220 ready")
                if self.behaviour == "inject-late":
                    time.sleep(0.2)  # the client's handshake has started by now
                    conn.sendall(b"250-relay.test\r\n250 AUTH PLAIN\r\n")
                if self.behaviour == "hangup":
                    conn.recv(100)  # the start of the handshake, then nothing
                    conn.shutdown(socket.SHUT_RDWR)
                    return
                buf = b""
                conn = self.context().wrap_socket(conn, server_side=True)
                tls = True
            elif word == "AUTH":
                self.auth(cmd, send, line)
            elif word == "MAIL":
                send("250 ok" if self.auth_ok else "530 5.7.0 authentication required")
            elif word == "RCPT":
                send("250 ok")
            elif word == "DATA":
                send("354 go on")
                while line() != ".":
                    pass
                self.messages += 1
                send("250 queued")
            elif word == "QUIT":
                send("221 bye")
                return
            else:
                send("500 unknown")

    def auth(self, cmd, send, line):
        parts = cmd.split(" ")
        mech = parts[1].upper() if len(parts) > 1 else ""
        if mech not in self.mechanisms.split():
            send("504 unknown mechanism")
            return
        user = password = None
        if mech == "PLAIN":
            _, user, password = base64.b64decode(parts[2]).decode().split("\0")
        elif mech == "LOGIN":
            send("334 VXNlcm5hbWU6")
            user = base64.b64decode(line()).decode()
            send("334 UGFzc3dvcmQ6")
            password = base64.b64decode(line()).decode()
        else:
            challenge = "<%d.%d@relay.test>" % (os.getpid(), time.time_ns())
            send("334 " + base64.b64encode(challenge.encode()).decode())
            user, digest = base64.b64decode(line()).decode().rsplit(" ", 1)
            good = hmac.new(self.password.encode(), challenge.encode(), hashlib.md5).hexdigest()
            password = self.password if hmac.compare_digest(digest, good) else None
        if self.behaviour != "refuse" and user == USER and password == self.password:
            self.auth_ok = True
            send("235 2.7.0 accepted")
        else:
            send("535 5.7.8 authentication credentials invalid")

    def stop(self):
        try:
            self.listener.shutdown(socket.SHUT_RDWR)  # wakes the accept() of the thread
        except OSError:
            pass
        self.listener.close()
        self.thread.join(5)


class SendThroughProvider(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not TOOL:
            raise unittest.SkipTest("KESTRAVO_RECORD_TOOL is not set")
        cls.tmp = tempfile.TemporaryDirectory()
        cls.certs = Certificates(cls.tmp.name)
        cls.password = secrets.token_urlsafe(18)
        cls.pwfile = os.path.join(cls.tmp.name, "pw")
        with open(cls.pwfile, "w") as f:
            f.write(cls.password + "\n")
        os.chmod(cls.pwfile, 0o600)
        cls.record = os.path.join(cls.tmp.name, "r.sbd")
        subprocess.run([TOOL, "encode", "-o", cls.record], check=True)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def send(self, relay, security="starttls", cafile=True, auth=None, extra_settings=""):
        home = tempfile.mkdtemp(dir=self.tmp.name)
        os.makedirs(os.path.join(home, "kestravo"))
        settings = ["[mail]", "relay=localhost:%d" % relay.port, "security=" + security, "user=" + USER,
                    "password_command=/bin/cat " + self.pwfile, "history=off", "timeout=20"]
        if cafile:
            settings.append("cafile=" + self.certs.path("ca.pem"))
        if auth:
            settings.append("auth=" + auth)
        with open(os.path.join(home, "kestravo", "kestravo.conf"), "w") as f:
            f.write("\n".join(settings) + "\n" + extra_settings)
        env = {k: v for k, v in os.environ.items() if not k.startswith("KESTRAVO_")}
        env.update(XDG_CONFIG_HOME=home, XDG_DATA_HOME=home, DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent")
        run = subprocess.run([TOOL, "send", "--imei", IMEI, self.record], env=env, capture_output=True, text=True,
                             timeout=WAIT)
        return run

    def assertNeverInClear(self, relay):
        pw = self.password.encode()
        forms = [pw, base64.b64encode(pw), base64.b64encode(b"\0" + USER.encode() + b"\0" + pw)]
        for form in forms:
            self.assertNotIn(form, relay.clear)

    def test_signs_in_over_tls_with_each_mechanism(self):
        cases = [  # security, implicit TLS, auth setting, relay's mechanisms, mechanism expected
            ("starttls", False, None, "LOGIN PLAIN CRAM-MD5", "CRAM-MD5"),
            ("starttls", False, None, "LOGIN PLAIN", "PLAIN"),
            ("starttls", False, "login", "PLAIN LOGIN CRAM-MD5", "LOGIN"),
            ("starttls", False, "plain", "PLAIN LOGIN", "PLAIN"),
            ("tls", True, None, "PLAIN LOGIN CRAM-MD5", "CRAM-MD5"),
            ("tls", True, "login", "LOGIN", "LOGIN"),
        ]
        for security, implicit, auth, mechanisms, expected in cases:
            with self.subTest(security=security, auth=auth, mechanisms=mechanisms):
                relay = TlsRelay(self.certs, self.password, implicit=implicit, mechanisms=mechanisms)
                try:
                    run = self.send(relay, security=security, auth=auth)
                finally:
                    relay.stop()
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(run.stdout, "Mail sended\nError code 0\n")
                self.assertEqual(relay.messages, 1)
                auth_lines = [c for c in relay.commands if c.upper().startswith("AUTH")]
                self.assertEqual([c.split(" ")[1] for c in auth_lines], [expected])
                if not implicit:
                    # EHLO, STARTTLS in clear; EHLO again over TLS before anything else.
                    self.assertEqual([c.split(" ")[0] for c in relay.commands[:3]], ["EHLO", "STARTTLS", "EHLO"])
                    self.assertEqual(relay.clear.count(b"\r\n"), 2)
                self.assertNeverInClear(relay)
                self.assertNotIn(self.password, run.stdout + run.stderr)

    def test_relays_that_must_not_get_the_mail(self):
        cases = [  # name, relay options, send options, words of the error
            ("STARTTLS not offered", dict(behaviour="no-starttls"), {}, "does not offer STARTTLS"),
            ("certificate for another host", dict(cert="otherhost"), {}, "host name mismatch"),
            ("expired certificate", dict(cert="expired"), {}, "has expired"),
            ("unknown CA, no cafile", dict(), dict(cafile=False), "issuer of the relay's certificate is unknown"),
            ("certificate of a CA not named", dict(cert="unknownca"), {}, "issuer of the relay's certificate is unknown"),
            ("password refused", dict(behaviour="refuse"), {}, "error code 535"),
            ("no shared mechanism", dict(mechanisms="GSSAPI XOAUTH2"), {}, "no sign-in mechanism this program shares"),
            ("hang-up mid-handshake", dict(behaviour="hangup"), {}, "closed the connection during the TLS handshake"),
            ("TLS 1.0 only", dict(behaviour="tls10"), {}, "no TLS version this program accepts"),
            ("plain text during the handshake", dict(behaviour="inject-late"), {}, "the relay did not answer in TLS"),
            ("implicit TLS, expired", dict(cert="expired", implicit=True), dict(security="tls"), "has expired"),
        ]
        for name, relay_options, send_options, words in cases:
            with self.subTest(name):
                relay = TlsRelay(self.certs, self.password, **relay_options)
                try:
                    run = self.send(relay, **send_options)
                finally:
                    relay.stop()
                self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
                self.assertIn(words, run.stderr)
                self.assertEqual(relay.messages, 0)
                self.assertFalse([c for c in relay.commands if c.upper().startswith("MAIL")])
                self.assertNeverInClear(relay)
                self.assertNotIn(self.password, run.stdout + run.stderr)
                if name != "password refused":
                    self.assertFalse(relay.auth_ok)

    def test_lines_slipped_in_before_the_handshake_are_not_read(self):
        # The relay (or someone in between) follows "220 ready" with a greeting and an
        # "accepted" of its own: were they read after the handshake, the session would answer
        # them instead of the relay's real replies.
        relay = TlsRelay(self.certs, self.password, behaviour="inject")
        try:
            run = self.send(relay)
        finally:
            relay.stop()
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual([c.split(" ")[0] for c in relay.commands[:4]], ["EHLO", "STARTTLS", "EHLO", "AUTH"])
        self.assertEqual(relay.commands[3], "AUTH CRAM-MD5")  # the real EHLO reply's choice, not the slipped-in one
        self.assertTrue(relay.auth_ok)
        self.assertEqual(relay.messages, 1)

    def test_aiosmtpd_with_starttls_or_tls_and_login_required(self):
        for security, implicit, auth in [("starttls", False, None), ("starttls", False, "login"), ("tls", True, "plain")]:
            with self.subTest(security=security, auth=auth):
                relay = AiosmtpdRelay(self.certs, self.password, implicit=implicit)
                try:
                    run = self.send(relay, security=security, auth=auth)
                finally:
                    relay.stop()
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(len(relay.envelopes), 1)
                self.assertIn(b"Subject: " + IMEI.encode(), relay.envelopes[0].original_content)

    def tool(self, args, settings, stdin=""):
        home = tempfile.mkdtemp(dir=self.tmp.name)
        os.makedirs(os.path.join(home, "kestravo"))
        with open(os.path.join(home, "kestravo", "kestravo.conf"), "w") as f:
            f.write("[mail]\n" + settings)
        env = {k: v for k, v in os.environ.items() if not k.startswith("KESTRAVO_")}
        env.update(XDG_CONFIG_HOME=home, XDG_DATA_HOME=home, DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent")
        return subprocess.run([TOOL] + args, env=env, input=stdin, capture_output=True, text=True, timeout=WAIT)

    def test_password_subcommand_and_a_missing_password(self):
        # No user: nothing to store a password for.
        run = self.tool(["password", "set"], "relay=localhost\n", stdin="x\n")
        self.assertEqual(run.returncode, 2)
        self.assertIn("no user is set", run.stderr)
        # No keyring in this session: said so, and the password typed is not repeated.
        secret = secrets.token_urlsafe(12)
        run = self.tool(["password", "set"], "relay=localhost\nuser=%s\nsecurity=starttls\n" % USER,
                        stdin=secret + "\n")
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertIn("the keyring did not store the password", run.stderr)
        self.assertNotIn(secret, run.stdout + run.stderr)
        run = self.tool(["password", "frobnicate"], "user=%s\n" % USER)
        self.assertEqual(run.returncode, 2)
        # A send with a user and no password anywhere: refused before any connection.
        relay = TlsRelay(self.certs, self.password)
        try:
            run = self.tool(["send", "--imei", IMEI, self.record],
                            "relay=localhost:%d\nsecurity=starttls\nuser=%s\nhistory=off\n" % (relay.port, USER))
        finally:
            relay.stop()
        self.assertEqual(run.returncode, 2)
        self.assertIn("no password for %s@localhost:%d" % (USER, relay.port), run.stderr)
        self.assertIn("kestravo-record password set", run.stderr)
        self.assertEqual(relay.commands, [])

    def test_password_from_a_keyring_in_a_desktop_session(self):
        # A private D-Bus session with its own Secret Service (gnome-keyring), as a desktop has:
        # "password set" stores the password, a send signs in with it, "password clear" removes it.
        if not all(shutil.which(p) for p in ("dbus-run-session", "gnome-keyring-daemon")):
            self.skipTest("dbus-run-session or gnome-keyring-daemon is not installed")
        relay = TlsRelay(self.certs, self.password)
        home = tempfile.mkdtemp(dir=self.tmp.name)
        os.makedirs(os.path.join(home, "kestravo"))
        with open(os.path.join(home, "kestravo", "kestravo.conf"), "w") as f:
            f.write("[mail]\nrelay=localhost:%d\nsecurity=starttls\nuser=%s\ncafile=%s\nhistory=off\ntimeout=20\n"
                    % (relay.port, USER, self.certs.path("ca.pem")))
        script = """
            printf 'unlock' | gnome-keyring-daemon --daemonize --unlock --components=secrets >/dev/null 2>&1
            "$0" password set < "$1" || exit 10
            "$0" send --imei %s "$2" || exit 11
            "$0" password clear || exit 12
            "$0" send --imei %s "$2"; echo "after clear: $?"
        """ % (IMEI, IMEI)
        env = {k: v for k, v in os.environ.items() if not k.startswith(("KESTRAVO_", "DBUS_"))}
        env.update(HOME=home, XDG_CONFIG_HOME=home, XDG_DATA_HOME=home, XDG_RUNTIME_DIR=home)
        try:
            run = subprocess.run(["dbus-run-session", "--", "sh", "-c", script, TOOL, self.pwfile, self.record],
                                 env=env, capture_output=True, text=True, timeout=WAIT)
        finally:
            relay.stop()
        if "did not store the password" in run.stderr and "locked" in run.stderr:
            self.skipTest("the test session's keyring stayed locked: " + run.stderr.strip())
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("Mail sended\nError code 0\n", run.stdout)
        self.assertEqual(relay.messages, 1)
        self.assertIn("after clear: 2", run.stdout)
        self.assertIn("no password for", run.stderr)
        self.assertNeverInClear(relay)
        self.assertNotIn(self.password, run.stdout + run.stderr)

    def test_password_settings(self):
        relay = TlsRelay(self.certs, self.password)
        try:
            # A password in the settings file is refused, with where it goes instead.
            run = self.send(relay, extra_settings="password=" + secrets.token_urlsafe(8) + "\n")
            self.assertEqual(run.returncode, 2)
            self.assertIn("kestravo-record password set", run.stderr)
            self.assertIn("password_command", run.stderr)
            self.assertEqual(relay.commands, [])
        finally:
            relay.stop()


class AiosmtpdRelay:
    """aiosmtpd on a free loopback port: STARTTLS required (or TLS from the first byte), sign-in
    required (PLAIN or LOGIN), over TLS only."""

    def __init__(self, certs, password, implicit=False):
        from aiosmtpd.controller import Controller
        from aiosmtpd.smtp import AuthResult, LoginPassword

        self.envelopes = []
        relay = self

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                relay.envelopes.append(envelope)
                return "250 OK"

        def authenticator(server, session, envelope, mechanism, auth_data):
            ok = (isinstance(auth_data, LoginPassword) and auth_data.login == USER.encode()
                  and auth_data.password == password.encode())
            return AuthResult(success=ok)

        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(certs.path("good.pem"), certs.path("good.key"))
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        # With TLS from the first byte aiosmtpd does not know the session is encrypted, so its own
        # "sign-in over TLS only" would hide AUTH there.
        tls = (dict(ssl_context=ctx, auth_require_tls=False) if implicit
               else dict(tls_context=ctx, require_starttls=True, auth_require_tls=True))
        self.controller = Controller(Handler(), hostname="127.0.0.1", port=self.port, authenticator=authenticator,
                                     auth_required=True, **tls)
        self.controller.start()

    def stop(self):
        self.controller.stop()


if __name__ == "__main__":
    unittest.main()
