#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""kestravo-record send against the gateway stand-in and scripted relays on loopback, in both
greeting modes, for one device and for fleets; the send history it keeps, and diff.

KESTRAVO_RECORD_TOOL names the built kestravo-record. Every run gets its own XDG_CONFIG_HOME and
XDG_DATA_HOME, so the user's settings and send history are never read or written.
"""

import email
import json
import email.policy
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "kit"))
from gateway_sim import GatewaySim  # noqa: E402
TOOL = os.environ.get("KESTRAVO_RECORD_TOOL", "")
WAIT = 60  # seconds; an upper bound only
IMEI = "300234010123450"


class Gateway(GatewaySim):
    """sbd-gateway-sim on free loopback ports, storing into a private folder."""

    def __init__(self, lenient, *more):
        self.store = tempfile.TemporaryDirectory()
        args = ["--store", self.store.name, "--record-tool", TOOL] + list(more)
        if lenient:
            args.append("--lenient")
        try:
            super().__init__(*args)
        except BaseException:
            self.store.cleanup()
            raise

    def stored(self, suffix):
        return sorted(os.path.join(self.store.name, n) for n in os.listdir(self.store.name) if n.endswith(suffix))

    def stop(self):
        super().stop()
        self.store.cleanup()


class ScriptedRelay:
    """A relay on a loopback port that greets and answers each command by its first word.

    A reply is a text, or a list of texts taken one per use of the command within a session (the
    last one repeats); replies may also be a list of such tables, one per session. A reply ending
    in CLOSE hangs up after its lines; no reply (None) leaves the command unanswered. The message
    after DATA is gathered up to its "." line; the subjects of the messages taken (250 to ".") are
    kept in order, with the number of sessions."""

    def __init__(self, replies):
        self.replies = replies if isinstance(replies, list) else [replies]
        self.server = socket.socket()
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(4)
        self.port = self.server.getsockname()[1]
        self.conns = []
        self.sessions = 0
        self.accepted = []
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while True:
            try:
                conn, _ = self.server.accept()
            except OSError:
                return
            self.conns.append(conn)
            table = self.replies[min(self.sessions, len(self.replies) - 1)]
            self.sessions += 1
            try:
                self.session(conn, table)
            except OSError:
                pass

    def session(self, conn, table):
        used = {}
        reader = conn.makefile("rb")
        conn.sendall(b"220 relay ready\r\n")
        in_data = False
        subject = None
        for raw in reader:
            line = raw.rstrip(b"\r\n").decode("latin-1")
            if in_data and line != ".":
                if line.startswith("Subject: ") and subject is None:
                    subject = line[len("Subject: "):]
                continue
            in_data = False
            word = "." if line == "." else line.split(" ")[0].split(":")[0].upper()
            # The tool greets each session with EHLO; a table that does not say otherwise takes it.
            reply = table.get(word, GREETINGS.get(word))
            if isinstance(reply, list):
                reply = reply[min(used.get(word, 0), len(reply) - 1)]
            used[word] = used.get(word, 0) + 1
            if reply is None:
                continue
            close = reply.endswith("CLOSE")
            reply = reply[:-len("CLOSE")].rstrip("\r\n") if close else reply
            if word == "." and reply.startswith("250"):
                self.accepted.append(subject)
            if word == ".":
                subject = None
            if reply:
                conn.sendall(reply.encode("ascii") + b"\r\n")
            if close:
                conn.shutdown(socket.SHUT_RDWR)
                break
            in_data = line == "DATA" and reply.startswith("354")
        reader.close()
        conn.close()

    def stop(self):
        try:
            self.server.shutdown(socket.SHUT_RDWR)  # wakes the accept() under way
        except OSError:
            pass
        self.server.close()
        for conn in self.conns:
            conn.close()
        self.thread.join(WAIT)


# A relay that takes every message without a greeting.
GREETINGS = {"EHLO": "250 relay", "HELO": "250 relay"}
TAKES_ALL = {"MAIL": "250 ok", "RCPT": "250 ok", "DATA": "354 go", ".": "250 queued", "RSET": "250 ok",
             "QUIT": "221 bye\r\nCLOSE"}
IMEIS = ["300234010123450", "300234010123451", "300234010123452", "300234010123453"]


def setting_variables():
    """The variables of the tool's settings, as its help lists them from its table of keys."""
    if not (TOOL and os.access(TOOL, os.X_OK)):
        return []
    text = subprocess.run([TOOL, "send", "--help"], capture_output=True, text=True, timeout=WAIT).stdout
    settings = text[text.index("Settings:"):]
    return sorted(set(re.findall(r"KESTRAVO_[A-Z_]+", settings[:settings.index("\n\n")])))


SETTING_VARIABLES = setting_variables()


class Tool:
    """Runs kestravo-record with its own settings and history folders."""

    def __init__(self):
        self.home = tempfile.TemporaryDirectory()
        self.env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.home.name, "config"),
                        XDG_DATA_HOME=os.path.join(self.home.name, "data"))
        for name in SETTING_VARIABLES:
            self.env.pop(name, None)

    def __call__(self, *args, env=None):
        return subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=WAIT,
                              env=dict(self.env, **(env or {})))

    def history(self, *args):
        done = self(*(["history", "--json"] + list(args)))
        assert done.returncode == 0, done.stderr
        return [json.loads(line) for line in done.stdout.splitlines()]


@unittest.skipUnless(TOOL and os.access(TOOL, os.X_OK), "kestravo-record is not built")
class RecordSendTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.tool = Tool()
        self.addCleanup(self.tool.home.cleanup)
        self.record = os.path.join(self.dir.name, "config.sbd")
        made = self.tool("encode", "-o", self.record, "Password=0x5A7", "SendInterval=1440",
                         "TempHighLevel=-20", "StabilityPoints=100")
        self.assertEqual(made.returncode, 0, made.stderr)
        with open(self.record, "rb") as f:
            self.bytes = f.read()

    def send(self, *args, env=None):
        return self.tool("send", *args, env=env)

    def relay(self, replies):
        relay = ScriptedRelay(replies)
        self.addCleanup(relay.stop)
        return relay

    def path(self, name, content=None):
        path = os.path.join(self.dir.name, name)
        if content is not None:
            with open(path, "wb") as f:
                f.write(content if isinstance(content, bytes) else content.encode("utf-8"))
        return path

    # DirectIP ----------------------------------------------------------------------------------

    def test_a_fleet_by_directip_with_flush_priority_unknown_imeis_and_a_full_queue(self):
        unknown = "300234010999999"
        gw = Gateway(True, "--directip-port", "0", "--unknown-imei", unknown)
        self.addCleanup(gw.stop)
        where = "127.0.0.1:%d" % gw.directip_port
        # E-mail options and DirectIP ones do not mix.
        for extra in (["--flush-queue"], ["--priority", "2"]):
            refused = self.send("--imei", IMEIS[0], "--relay", "127.0.0.1:%d" % gw.port, *extra, self.record)
            self.assertEqual(refused.returncode, 2)
            self.assertIn("goes with DirectIP", refused.stderr)
        bad = self.send("--via", "directip", "--directip", where, "--priority", "6", "--imei", IMEIS[0], self.record)
        self.assertEqual((bad.returncode, bad.stdout), (2, ""))

        one = self.send("--via", "directip", "--directip", where, "--imei", IMEIS[0], self.record)
        self.assertEqual((one.returncode, one.stdout), (0, "queued, place 1 of the device's queue (reference 1)\n"),
                         one.stderr)
        # 49 more fill IMEIS[1]'s queue, so that the fleet's message to it is the 51st.
        for n in range(50):
            self.send("--via", "directip", "--directip", where, "--imei", IMEIS[1], self.record)
        imeis = self.path("imeis.txt", "\n".join([IMEIS[0], unknown, IMEIS[1], IMEIS[2]]) + "\n")
        fleet = self.send("--imei-file", imeis, "--json", self.record, env={"KESTRAVO_TRANSPORT": "directip",
                                                                "KESTRAVO_DIRECTIP": where})
        self.assertEqual(fleet.returncode, 1, fleet.stderr)
        rows = [json.loads(line) for line in fleet.stdout.splitlines()]
        self.assertEqual([(r["imei"], r["code"], r["outcome"], r["queuePlace"]) for r in rows],
                         [(IMEIS[0], 0, "accepted", 2), (unknown, -2, "refused", None),
                          (IMEIS[1], -5, "refused", None), (IMEIS[2], 0, "accepted", 1)])
        self.assertTrue(rows[0]["reference"])
        self.assertIn("unknown IMEI", rows[1]["reply"])
        # --flush-queue empties the full queue first: the record takes place 1.
        flushed = self.send("--via", "directip", "--directip", where, "--flush-queue", "--priority", "1",
                            "--imei", IMEIS[1], self.record)
        self.assertEqual(flushed.returncode, 0, flushed.stderr)
        self.assertIn("place 1 of", flushed.stdout)
        listed = self.tool.history("--imei", IMEIS[1], "--limit", "1")[0]
        self.assertEqual((listed["transport"], listed["endpoint"], listed["queuePlace"], listed["flags"],
                          listed["priority"]), ("directip", where, 1, 1, 1))

    def test_a_send_killed_before_the_relay_greets_leaves_an_unfinished_row(self):
        # A relay that takes the connection and never says a word.
        server = socket.socket()
        server.bind(("127.0.0.1", 0))
        server.listen(1)
        self.addCleanup(server.close)
        run = subprocess.Popen([TOOL, "send", "--imei", IMEIS[0], "--relay", "127.0.0.1:%d" % server.getsockname()[1],
                                "--timeout", "60", self.record], env=self.tool.env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        server.settimeout(WAIT)
        conn, _ = server.accept()
        self.addCleanup(conn.close)
        run.kill()
        run.wait(WAIT)
        rows = self.tool.history()
        self.assertEqual([(r["imei"], r["code"]) for r in rows], [(IMEIS[0], None)])
        self.assertEqual(bytes.fromhex(rows[0]["record"]), self.bytes)

    def gateway(self, lenient):
        gw = Gateway(lenient)
        self.addCleanup(gw.stop)
        return gw

    def test_delivers_the_record_to_strict_and_lenient_relays(self):
        for lenient in (True, False):
            with self.subTest(lenient=lenient):
                gw = self.gateway(lenient)
                done = self.send("--imei", IMEI, "--relay", "127.0.0.1:%d" % gw.port, self.record)
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
                line = gw.next_line()
                self.assertIn("IMEI=" + IMEI, line)
                self.assertIn("SendInterval=1440", line)

    def test_only_the_first_44_bytes_go_out(self):
        longer = os.path.join(self.dir.name, "longer.sbd")
        with open(longer, "wb") as f:
            f.write(self.bytes + b"\xff" * 56)
        gw = self.gateway(lenient=False)
        done = self.send("--imei", IMEI, "--relay", "127.0.0.1:%d" % gw.port, longer)
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
             "--from"),
        ]
        for args, status, text in cases:
            with self.subTest(args=args):
                done = self.send(*args, self.record)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(text, done.stderr)
        self.assertEqual(gw.stored(".sbd"), [])

    def test_a_short_or_missing_file_is_refused_before_any_connection(self):
        short = os.path.join(self.dir.name, "short.sbd")
        with open(short, "wb") as f:
            f.write(self.bytes[:20])
        for path, text in ((short, "20 bytes"), (os.path.join(self.dir.name, "none.sbd"), "cannot read")):
            with self.subTest(path=path):
                done = self.send("--imei", IMEI, "--relay", "127.0.0.1:1", path)
                self.assertEqual(done.returncode, 2)
                self.assertIn(text, done.stderr)

    def test_what_cannot_be_sent_is_refused_before_any_connection(self):
        self.assertIn("KESTRAVO_CAFILE", SETTING_VARIABLES)
        relay = self.relay(dict(GREETINGS, **TAKES_ALL))
        gateway = "127.0.0.1:%d" % relay.port  # nothing may connect here either
        garbage = self.path("ca.pem", b"not a certificate\n")
        cases = (
            (["--relay", gateway, "--security", "starttls", "--cafile", garbage, "--imei", IMEI],
             "cafile \"%s\" holds no PEM certificate" % garbage),
            (["--via", "directip", "--directip", gateway, "--imei", "30023401012345+"],
             "DirectIP needs an IMEI of 15 digits"),
            (["--via", "directip", "--directip", gateway, "--imei", IMEI, "--user", "ops"],
             "--user goes with e-mail"),
            (["--relay", gateway, "--parallel", "8", "--imei", IMEI], "--parallel goes with DirectIP"),
        )
        for args, words in cases:
            with self.subTest(args=args):
                done = self.send(*args, self.record)
                self.assertEqual(done.returncode, 2, done.stderr)
                self.assertIn(words, done.stderr)
        self.assertEqual(relay.sessions, 0)
        self.assertEqual(self.tool.history(), [])
        # A list of IMEIs for DirectIP: the row that cannot go is named with its line.
        imeis = self.path("imeis.txt", ("%s\n30023401012345-\n" % IMEI).encode())
        done = self.send("--via", "directip", "--directip", gateway, "--imei-file", imeis, self.record)
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertIn("imeis.txt:2: DirectIP needs an IMEI of 15 digits", done.stderr)
        # By e-mail the same IMEI is taken, as it always was.
        done = self.send("--relay", gateway, "--dry-run", "--imei", "30023401012345+", self.record)
        self.assertEqual(done.returncode, 0, done.stderr)

    def test_a_manifest_value_with_a_nul_is_shown_whole(self):
        manifest = self.path("fleet.csv", b"IMEI,SendInterval\n%s,1\x002\n" % IMEI.encode())
        done = self.send("--manifest", manifest, "--dry-run")
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertIn("fleet.csv:2: SendInterval: ''1\\x002'' is not a valid integer value", done.stderr)

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
                relay = self.relay(replies)
                done = self.send("--imei", IMEI, "--relay", "127.0.0.1:%d" % relay.port, "--timeout", "3",
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
            done = self.send("--imei", IMEI, "--relay", "127.0.0.1:%d" % silent.getsockname()[1],
                        "--timeout", "2", self.record)
            t.join(WAIT)
            for conn, _ in accepted:
                conn.close()
        self.assertEqual(done.returncode, 1)
        self.assertIn("did not finish", done.stderr)

    # Fleets -----------------------------------------------------------------------------------

    def test_a_fleet_goes_through_one_session_and_every_attempt_is_kept(self):
        relay = self.relay(TAKES_ALL)
        imei_file = self.path("imeis.txt", "\ufeff# the second batch\n\n%s\r\n  %s  \n" % (IMEIS[2], IMEIS[3]))
        done = self.send("--imei", IMEIS[0], "--imei=" + IMEIS[1], "--imei-file", imei_file,
                         "--relay=127.0.0.1:%d" % relay.port, self.record)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(relay.sessions, 1)
        self.assertEqual(relay.accepted, IMEIS)
        self.assertEqual(done.stdout.splitlines(), ["%s 0 accepted 250 queued" % imei for imei in IMEIS])
        self.assertEqual(done.stderr, "")  # no progress line: stderr is no terminal

        rows = self.tool.history()
        self.assertEqual([r["imei"] for r in rows], IMEIS[::-1])  # newest first
        for row in rows:
            self.assertEqual((row["code"], row["reply"], row["origin"], row["relayPort"]),
                             (0, "250 queued", "tool", relay.port))
            self.assertEqual(bytes.fromhex(row["record"]), self.bytes)
            self.assertTrue(row["messageId"])
        listed = self.tool("history", "--imei", IMEIS[1]).stdout.splitlines()
        self.assertEqual(len(listed), 1)
        self.assertRegex(listed[0], r"^\d+ \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ %s 0 127\.0\.0\.1:%d 250 queued$"
                         % (IMEIS[1], relay.port))
        self.assertEqual(len(self.tool.history("--limit", "2")), 2)
        self.assertEqual(self.tool.history("--since", "2000-01-01T00:00"), rows)
        self.assertEqual(self.tool.history("--since", "2999-01-01"), [])

        # A reader that has gone away stops neither the run nor its history; the exit status tells.
        relay.accepted.clear()
        reader, writer = os.pipe()
        os.close(reader)
        with os.fdopen(writer, "w") as gone:
            done = subprocess.run([TOOL, "send", "--imei", IMEIS[0], "--imei", IMEIS[1], "--relay",
                                   "127.0.0.1:%d" % relay.port, self.record], stdout=gone,
                                  stderr=subprocess.PIPE, text=True, timeout=WAIT, env=self.tool.env)
        self.assertEqual(done.returncode, 1)
        self.assertIn("cannot write the output", done.stderr)
        self.assertEqual(relay.accepted, IMEIS[:2])
        self.assertEqual([r["code"] for r in self.tool.history("--limit", "2")], [0, 0])

        # On a terminal, stderr shows how far the run is; stdout keeps its lines.
        leader, follower = os.openpty()
        self.addCleanup(os.close, leader)
        with os.fdopen(follower, "w") as terminal:
            done = subprocess.run([TOOL, "send", "--imei", IMEIS[0], "--imei", IMEIS[1], "--relay",
                                   "127.0.0.1:%d" % relay.port, self.record], stdout=subprocess.PIPE,
                                  stderr=terminal, text=True, timeout=WAIT, env=self.tool.env)
        self.assertEqual(done.returncode, 0)
        self.assertEqual(len(done.stdout.splitlines()), 2)
        # A terminal hands its output over a piece at a time; every writer has closed, so read to the end.
        shown = b""
        while True:
            try:
                piece = os.read(leader, 65536)
            except OSError:  # EIO: the terminal has no writer left
                break
            if not piece:
                break
            shown += piece
        self.assertIn(b"2 of 2 messages done", shown)

    def test_json_lines_and_the_exit_status_of_a_partly_refused_fleet(self):
        relay = self.relay(dict(TAKES_ALL, **{".": ["250 queued", "554 5.7.1 no such device", "250 queued"]}))
        done = self.send("--json", "--relay", "127.0.0.1:%d" % relay.port, *sum((["--imei", i] for i in IMEIS[:3]), []),
                         self.record)
        self.assertEqual(done.returncode, 1, done.stderr)
        lines = [json.loads(line) for line in done.stdout.splitlines()]
        self.assertEqual([(r["imei"], r["code"], r["reply"]) for r in lines],
                         [(IMEIS[0], 0, "250 queued"), (IMEIS[1], 554, "554 5.7.1 no such device"),
                          (IMEIS[2], 0, "250 queued")])
        self.assertTrue(all(r["messageId"] for r in lines))
        self.assertIn("1 of 3 messages were not accepted", done.stderr)
        self.assertEqual(relay.sessions, 1)
        self.assertEqual([r["code"] for r in self.tool.history()], [0, 554, 0])

        # One device with --json: the same object instead of "Error code 0".
        single = self.send("--json", "--imei", IMEIS[3], "--relay", "127.0.0.1:%d" % relay.port, self.record)
        self.assertEqual(single.returncode, 0, single.stderr)
        self.assertEqual(json.loads(single.stdout)["imei"], IMEIS[3])

    def test_a_relay_that_hangs_up_mid_run(self):
        # The first session takes two messages and hangs up at the third MAIL; the second takes all.
        relay = self.relay([dict(TAKES_ALL, MAIL=["250 ok", "250 ok", "CLOSE"]), TAKES_ALL])
        done = self.send("--relay", "127.0.0.1:%d" % relay.port, *sum((["--imei", i] for i in IMEIS), []),
                         self.record)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(relay.sessions, 2)
        self.assertEqual(relay.accepted, IMEIS)  # the accepted two are not sent again
        self.assertEqual([line.split(" ")[:2] for line in done.stdout.splitlines()], [[i, "0"] for i in IMEIS])
        # Each device has one history row, finished, though its message was tried twice.
        self.assertEqual(sorted((r["imei"], r["code"]) for r in self.tool.history()), [(i, 0) for i in IMEIS])

        # A message whose second try meets a hang-up too is given up; the one accepted stays so.
        relay = self.relay([dict(TAKES_ALL, MAIL=["250 ok", "CLOSE"]), dict(TAKES_ALL, MAIL="CLOSE")])
        done = self.send("--relay", "127.0.0.1:%d" % relay.port, *sum((["--imei", i] for i in IMEIS[:3]), []),
                         self.record)
        self.assertEqual(done.returncode, 1, done.stderr)
        results = [line.split(" ")[:2] for line in done.stdout.splitlines()]
        self.assertEqual([imei for imei, _ in results], IMEIS[:3])
        self.assertEqual(results[0][1], "0")
        self.assertNotIn("0", [code for _, code in results[1:]])
        self.assertEqual(relay.accepted, IMEIS[:1])

    def manifest(self, text):
        return self.path("fleet.csv", text)

    def test_a_manifest_builds_each_row_as_encode_does(self):
        base = self.path("base.sbd")
        self.assertEqual(self.tool("encode", "-o", base, "Password=0x5A7", "SendInterval=1440",
                                   "In1TimeXX=7").returncode, 0)
        # BOM, CRLF, quoted names and values, an empty cell, a quoted comma in a bad row, a
        # quoted line break that moves the next row's line number, a blank line at the end.
        manifest = self.manifest(
            "\ufeffIMEI,\"SendInterval\",In1TimeXX,TempHighLevel\r\n"
            "%s,\"60\",,-20\r\n"
            "\"%s\",\"1,5\",3,0\r\n"
            "%s,120,\"4\",\"\n-5\"\r\n"
            "%s,30,250,\"1\"\r\n"
            "\r\n" % (IMEIS[0], IMEIS[1], IMEIS[2], IMEIS[3]))
        relay = self.relay(TAKES_ALL)
        args = ["--manifest", manifest, "--base", base, "--relay", "127.0.0.1:%d" % relay.port]

        refused = self.send(*args)
        self.assertEqual(refused.returncode, 2)
        self.assertIn("fleet.csv:3: SendInterval: ''1,5'' is not a valid integer value", refused.stderr)
        # "\n-5" is no number either; its line break is shown escaped, so each message is one line.
        self.assertIn("fleet.csv:4: TempHighLevel: ''\\n-5'' is not a valid integer value", refused.stderr)
        for line in refused.stderr.splitlines():
            self.assertTrue(line.startswith("kestravo-record: "), refused.stderr)
        self.assertEqual(refused.stdout, "")

        # A skipped row is a device left without its record: the run says so and exits 1.
        dry = self.send(*args, "--skip-bad-rows", "--dry-run")
        self.assertEqual(dry.returncode, 1, dry.stderr)
        self.assertIn("kestravo-record: 2 bad rows were skipped", dry.stderr)
        self.assertEqual(relay.sessions, 0)
        lines = dry.stdout.splitlines()
        self.assertEqual(lines[0], "# relay 127.0.0.1:%d from kestravo@localhost to data@sbd.iridium.com" % relay.port)
        self.assertEqual([line.split(" ")[0] for line in lines[1:]], [IMEIS[0], IMEIS[3]])
        # Each record is the one encode makes from the base and the row's fields.
        for line, fields in zip(lines[1:], (["SendInterval=60", "TempHighLevel=-20"],
                                            ["SendInterval=30", "In1TimeXX=250", "TempHighLevel=1"])):
            expected = self.path("expected.sbd")
            self.assertEqual(self.tool("encode", "--base", base, "-o", expected, *fields).returncode, 0)
            with open(expected, "rb") as f:
                self.assertEqual(bytes.fromhex(line.split(" ")[1]), f.read())
        dry_json = self.send(*args, "--skip-bad-rows", "--dry-run", "--json")
        self.assertEqual([json.loads(line)["record"] for line in dry_json.stdout.splitlines()],
                         [line.split(" ")[1] for line in lines[1:]])

        sent = self.send(*args, "--skip-bad-rows")
        self.assertEqual(sent.returncode, 1, sent.stderr)
        self.assertIn("fleet.csv:3:", sent.stderr)
        self.assertEqual(relay.accepted, [IMEIS[0], IMEIS[3]])
        self.assertEqual(relay.sessions, 1)

    def test_a_refused_manifest_or_imei_list_sends_nothing(self):
        relay = self.relay(TAKES_ALL)
        header = "IMEI,SendInterval,CheckoutInterval\n"
        cases = [
            # (manifest or IMEI list, texts the refusal holds)
            (header + "%s,60,0\n30023401012345,60,0\n%s,60,0\n" % (IMEIS[0], IMEIS[1]),
             ["fleet.csv:3: IMEI \"30023401012345\""]),
            (header + "%s,70000,0\n%s,60,0\n" % (IMEIS[0], IMEIS[1]), ["fleet.csv:2: SendInterval=70000 is outside"]),
            (header + "%s,60,90\n" % IMEIS[0], ["fleet.csv:2: CheckoutInterval=90 is greater than SendInterval=60"]),
            (header + "%s,60,0\n%s,60,0\n" % (IMEIS[0], IMEIS[0]), ["fleet.csv:3: IMEI %s is given again" % IMEIS[0]]),
            ("IMEI,SendInterval,Bogus\n%s,60,1\n" % IMEIS[0], ["fleet.csv:1: unknown column", "Bogus"]),
            ("IMEI,SendInterval\n", ["no device"]),
            ("", ["fleet.csv:1: the manifest is empty"]),
        ]
        for text, mentions in cases:
            with self.subTest(text=text):
                done = self.send("--manifest", self.manifest(text), "--relay", "127.0.0.1:%d" % relay.port)
                self.assertEqual(done.returncode, 2, done.stderr)
                for mention in mentions:
                    self.assertIn(mention, done.stderr)
                self.assertEqual(done.stdout, "")
        # A bad header leaves no row to skip to.
        done = self.send("--manifest", self.manifest(cases[4][0]), "--skip-bad-rows", "--relay",
                         "127.0.0.1:%d" % relay.port)
        self.assertEqual(done.returncode, 2, done.stderr)
        imei_file = self.path("imeis.txt", "%s\n# fine\n%s\nnot-an-imei\n%s\n" % (IMEIS[0], IMEIS[1], IMEIS[0]))
        done = self.send("--imei-file", imei_file, "--relay", "127.0.0.1:%d" % relay.port, self.record)
        self.assertEqual(done.returncode, 2)
        self.assertIn("imeis.txt:4: the IMEI must be 15 characters", done.stderr)
        self.assertIn("imeis.txt:5: IMEI %s is given again" % IMEIS[0], done.stderr)
        for args, mention in (
                (["--imei", IMEIS[0], "--imei", IMEIS[0], self.record], "given twice"),
                (["--manifest", self.manifest("IMEI\n%s\n" % IMEIS[0]), "--imei", IMEIS[1]], "--manifest"),
                (["--imei", IMEIS[0], "--base", self.record, self.record], "--base"),
                (["--imei-file", self.dir.name, self.record], "not a regular file"),
                (["--imei", IMEIS[0], "--relay", "127.0.0.1:99999", self.record], "--relay"),
                (["--imei", IMEIS[0], self.record], "KESTRAVO_TIMEOUT")):
            with self.subTest(args=args):
                done = self.send(*args, env={"KESTRAVO_TIMEOUT": "soon"} if mention == "KESTRAVO_TIMEOUT" else None)
                self.assertEqual(done.returncode, 2)
                self.assertIn(mention, done.stderr)
        self.assertEqual(relay.sessions, 0)
        self.assertEqual(self.tool.history(), [])

    # History and diff -------------------------------------------------------------------------

    def test_history_show_export_and_a_history_that_cannot_be_kept(self):
        # Reading a history that was never written creates nothing, and says so on stderr only.
        empty = self.tool("history")
        self.assertEqual((empty.returncode, empty.stdout, empty.stderr),
                         (0, "", "kestravo-record: the send history holds no send\n"))
        self.assertFalse(os.path.exists(os.path.join(self.tool.home.name, "data")))
        relay = self.relay(TAKES_ALL)
        self.assertEqual(self.send("--imei", IMEIS[0], "--relay", "127.0.0.1:%d" % relay.port,
                                   self.record).returncode, 0)
        [row] = self.tool.history()
        shown = self.tool("history", "--show", str(row["id"]))
        self.assertEqual(shown.returncode, 0, shown.stderr)
        self.assertEqual(shown.stdout, self.tool("decode", self.record).stdout)
        self.assertEqual(json.loads(self.tool("history", "--show", str(row["id"]), "--json").stdout),
                         json.loads(self.tool("decode", "--json", self.record).stdout))
        exported = self.path("exported.sbd")
        self.assertEqual(self.tool("history", "--export=%d" % row["id"], "-o", exported).returncode, 0)
        with open(exported, "rb") as f:
            self.assertEqual(f.read(), self.bytes)
        for args, mention in ((["--show", "99"], "no send 99"), (["--export", "1"], "-o OUT.sbd"),
                              (["--show", "1", "--export", "1"], "exclude")):
            with self.subTest(args=args):
                done = self.tool("history", *args)
                self.assertEqual(done.returncode, 2)
                self.assertIn(mention, done.stderr)

        # A relay that cannot be reached: the attempt is kept with its failure.
        with socket.socket() as closed:
            closed.bind(("127.0.0.1", 0))
            unused_port = closed.getsockname()[1]
        self.assertEqual(self.send("--imei", IMEIS[3], "--relay", "127.0.0.1:%d" % unused_port,
                                   self.record).returncode, 1)
        unreachable = self.tool.history("--imei", IMEIS[3])
        self.assertEqual([(r["code"], r["relayPort"]) for r in unreachable], [(500, unused_port)])
        self.assertIn(" %s 500 127.0.0.1:%d " % (IMEIS[3], unused_port),
                      self.tool("history", "--limit=1").stdout)

        # Turned off: no row. Unusable (the data folder is a file): one line, the send goes on.
        self.assertEqual(self.send("--imei", IMEIS[1], "--relay", "127.0.0.1:%d" % relay.port, self.record,
                                   env={"KESTRAVO_HISTORY": "off"}).returncode, 0)
        self.assertEqual(len(self.tool.history()), 2)
        blocked = self.path("not-a-folder", "x")
        done = self.send("--imei", IMEIS[2], "--relay", "127.0.0.1:%d" % relay.port, self.record,
                         env={"XDG_DATA_HOME": blocked})
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout, "Mail sended\nError code 0\n")
        self.assertEqual(len(done.stderr.splitlines()), 1)
        self.assertIn("send history", done.stderr)
        self.assertEqual(relay.accepted, IMEIS[:3])

    def test_diff_prints_the_fields_that_differ_and_exits_as_diff_does(self):
        relay = self.relay(TAKES_ALL)
        self.assertEqual(self.send("--imei", IMEIS[0], "--relay", "127.0.0.1:%d" % relay.port,
                                   self.record).returncode, 0)
        [row] = self.tool.history()
        other = self.path("other.sbd")
        self.assertEqual(self.tool("encode", "--base", self.record, "-o", other, "SendInterval=60",
                                   "TempHighLevel=5").returncode, 0)
        # A bit no field covers, and a record check byte that no longer matches.
        carried = self.path("carried.sbd", self.bytes[:8] + bytes([self.bytes[8] ^ 0x80]) + self.bytes[9:])
        bad_check = self.path("bad-check.sbd", self.bytes[:43] + bytes([self.bytes[43] ^ 1]))
        cases = [
            # (A, B, exit status, stdout)
            (self.record, self.record, 0, ""),
            ("@%d" % row["id"], self.record, 0, ""),
            (self.record, other, 1, "SendInterval: 1440 -> 60\nTempHighLevel: -20 -> 5\n"),
            (other, "@%d" % row["id"], 1, "SendInterval: 60 -> 1440\nTempHighLevel: 5 -> -20\n"),
            (self.record, carried, 1, "Byte 8: 0x%02X -> 0x%02X\n" % (self.bytes[8] & 0x80, (self.bytes[8] ^ 0x80) & 0x80)),
            (self.record, bad_check, 1, "RecordCheck: 0x%02X -> 0x%02X\n" % (self.bytes[43], self.bytes[43] ^ 1)),
            (self.record, self.path("missing.sbd"), 2, ""),
            (self.record, "@99", 2, ""),
            (self.record, "@x", 2, ""),
        ]
        for a, b, status, out in cases:
            with self.subTest(a=a, b=b):
                done = self.tool("diff", a, b)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertEqual(done.stdout, out)
                self.assertEqual(done.stderr == "", status != 2)
        self.assertEqual(self.tool("diff", self.record).returncode, 2)



if __name__ == "__main__":
    unittest.main()
