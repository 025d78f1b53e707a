#!/usr/bin/python3
"""kestravo-record send against the gateway stand-in on loopback, in both greeting modes.

KESTRAVO_RECORD_TOOL names the built kestravo-record.
"""

import email
import email.policy
import os
import socket
import subprocess
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SIM = os.path.join(os.path.dirname(os.path.dirname(HERE)), "tools", "sbd-gateway-sim")
TOOL = os.environ.get("KESTRAVO_RECORD_TOOL", "")
PYTHON = "/usr/bin/python3"
WAIT = 60  # seconds; an upper bound only
IMEI = "300234010123450"


class Gateway:
    """sbd-gateway-sim on a free loopback port, storing into a private folder."""

    def __init__(self, lenient):
        self.store = tempfile.TemporaryDirectory()
        args = [PYTHON, SIM, "--port", "0", "--store", self.store.name, "--record-tool", TOOL]
        if lenient:
            args.append("--lenient")
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        first = self.proc.stdout.readline()
        if not first.startswith("listening on "):
            self.stop()
            raise RuntimeError("gateway stand-in did not start: %r" % first)
        self.port = int(first.rsplit(":", 1)[1])

    def stored(self, suffix):
        return sorted(os.path.join(self.store.name, n) for n in os.listdir(self.store.name) if n.endswith(suffix))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(WAIT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()
        self.store.cleanup()


class ScriptedRelay:
    """A relay on a loopback port that greets and answers each command by its first word.

    A reply ending in CLOSE hangs up after its lines; no reply (None) leaves the command unanswered.
    The message after DATA is gathered up to its "." line."""

    def __init__(self, replies):
        self.replies = replies
        self.server = socket.socket()
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(1)
        self.port = self.server.getsockname()[1]
        self.conns = []
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        try:
            conn, _ = self.server.accept()
        except OSError:
            return
        self.conns.append(conn)
        reader = conn.makefile("rb")
        conn.sendall(b"220 relay ready\r\n")
        in_data = False
        for raw in reader:
            line = raw.rstrip(b"\r\n").decode("latin-1")
            if in_data and line != ".":
                continue
            in_data = False
            reply = self.replies.get("." if line == "." else line.split(" ")[0].split(":")[0].upper())
            if reply is None:
                continue
            close = reply.endswith("CLOSE")
            reply = reply[:-len("CLOSE")].rstrip("\r\n") if close else reply
            if reply:
                conn.sendall(reply.encode("ascii") + b"\r\n")
            if close:
                conn.shutdown(socket.SHUT_RDWR)
                break
            in_data = line == "DATA" and reply.startswith("354")
        reader.close()

    def stop(self):
        self.server.close()
        for conn in self.conns:
            conn.close()
        self.thread.join(WAIT)


def send(*args):
    return subprocess.run([TOOL, "send", *args], capture_output=True, text=True, timeout=WAIT)


@unittest.skipUnless(TOOL and os.access(TOOL, os.X_OK), "kestravo-record is not built")
class RecordSendTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.record = os.path.join(self.dir.name, "config.sbd")
        made = subprocess.run([TOOL, "encode", "-o", self.record, "Password=0x5A7", "SendInterval=1440",
                               "TempHighLevel=-20", "StabilityPoints=100"], capture_output=True, text=True)
        self.assertEqual(made.returncode, 0, made.stderr)
        with open(self.record, "rb") as f:
            self.bytes = f.read()

    def gateway(self, lenient):
        gw = Gateway(lenient)
        self.addCleanup(gw.stop)
        return gw

    def test_delivers_the_record_to_strict_and_lenient_relays(self):
        for lenient in (True, False):
            with self.subTest(lenient=lenient):
                gw = self.gateway(lenient)
                done = send("--imei", IMEI, "--relay", "127.0.0.1:%d" % gw.port, self.record)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertIn("Error code 0", done.stdout)
                [eml] = gw.stored(".eml")
                with open(eml, "rb") as f:
                    message = email.message_from_binary_file(f, policy=email.policy.default)
                self.assertEqual(message["Subject"], IMEI)
                self.assertEqual(message["To"], "data@sbd.iridium.com")
                parts = list(message.iter_parts())
                self.assertEqual(len(parts), 2)
                self.assertEqual(parts[0].get_content_type(), "text/plain")
                self.assertEqual(parts[1].get_filename(), "temp.sbd")
                self.assertEqual(parts[1].get_content(), self.bytes)
                line = gw.proc.stdout.readline()
                self.assertIn("IMEI=" + IMEI, line)
                self.assertIn("SendInterval=1440", line)

    def test_only_the_first_44_bytes_go_out(self):
        longer = os.path.join(self.dir.name, "longer.sbd")
        with open(longer, "wb") as f:
            f.write(self.bytes + b"\xff" * 56)
        gw = self.gateway(lenient=False)
        done = send("--imei", IMEI, "--relay", "127.0.0.1:%d" % gw.port, longer)
        self.assertEqual(done.returncode, 0, done.stderr)
        [sbd] = gw.stored(".sbd")
        with open(sbd, "rb") as f:
            self.assertEqual(f.read(), self.bytes)

    def test_failures_give_the_code_and_the_reply(self):
        gw = self.gateway(lenient=True)
        with socket.socket() as closed:
            closed.bind(("127.0.0.1", 0))
            unused_port = closed.getsockname()[1]
        cases = [
            # (arguments, exit status, text expected on stderr)
            (["--imei", IMEI, "--relay", "127.0.0.1:%d" % unused_port], 1, "error code 500"),
            (["--imei", IMEI, "--relay", "127.0.0.1:%d" % gw.port, "--to", "someone@example.org"], 1,
             "error code 550"),
            (["--imei", "30023401012345+", "--relay", "127.0.0.1:%d" % gw.port], 1, "error code 554"),
            (["--imei", "30023401012345", "--relay", "127.0.0.1:%d" % gw.port], 2, "15 characters"),
            (["--imei", "3002340101234\r\n", "--relay", "127.0.0.1:%d" % gw.port], 2, "15 characters"),
            (["--relay", "127.0.0.1:%d" % gw.port], 2, "--imei"),
            (["--imei", IMEI, "--from", "a@b\r\nRCPT TO:<x@y>", "--relay", "127.0.0.1:%d" % gw.port], 2,
             "one-line"),
        ]
        for args, status, text in cases:
            with self.subTest(args=args):
                done = send(*args, self.record)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(text, done.stderr)
        self.assertEqual(gw.stored(".sbd"), [])

    def test_a_short_or_missing_file_is_refused_before_any_connection(self):
        short = os.path.join(self.dir.name, "short.sbd")
        with open(short, "wb") as f:
            f.write(self.bytes[:20])
        for path, text in ((short, "20 bytes"), (os.path.join(self.dir.name, "none.sbd"), "cannot read")):
            with self.subTest(path=path):
                done = send("--imei", IMEI, "--relay", "127.0.0.1:1", path)
                self.assertEqual(done.returncode, 2)
                self.assertIn(text, done.stderr)

    def test_relays_that_hang_up_or_hang(self):
        cases = [
            # (what the relay says to each command, exit status, text expected)
            # Accepts the message, then neither answers QUIT nor closes: the message is sent.
            ({"MAIL": "250 ok", "RCPT": "250 ok", "DATA": "354 go", ".": "250 queued", "QUIT": None},
             0, "Error code 0"),
            # Wants a greeting and hangs up at once: its own refusal is the answer.
            ({"MAIL": "503 5.5.1 send HELO first\r\nCLOSE"}, 1, "error code 503"),
        ]
        for replies, status, text in cases:
            with self.subTest(replies=replies):
                relay = ScriptedRelay(replies)
                self.addCleanup(relay.stop)
                done = send("--imei", IMEI, "--relay", "127.0.0.1:%d" % relay.port, "--timeout", "3",
                            self.record)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(text, done.stdout + done.stderr)

    def test_a_relay_that_never_answers_is_given_up(self):
        with socket.socket() as silent:
            silent.bind(("127.0.0.1", 0))
            silent.listen(1)
            accepted = []
            t = threading.Thread(target=lambda: accepted.append(silent.accept()), daemon=True)
            t.start()
            done = send("--imei", IMEI, "--relay", "127.0.0.1:%d" % silent.getsockname()[1],
                        "--timeout", "2", self.record)
            t.join(WAIT)
            for conn, _ in accepted:
                conn.close()
        self.assertEqual(done.returncode, 1)
        self.assertIn("did not finish", done.stderr)


if __name__ == "__main__":
    unittest.main()
