#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Tests of tools/sbd-gateway-sim, driven through smtplib on loopback.

Each test starts the simulator as a subprocess on port 0 and always stops it.
The record decoder is a small stand-in script unless KESTRAVO_RECORD_TOOL
names the real kestravo-record, which one test then uses.
"""

import base64
import os
import signal
import smtplib
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "kit"))
from gateway_sim import PYTHON, SIM, GatewaySim  # noqa: E402
WAIT = 15  # seconds; an upper bound only, never a speed requirement

IMEI = "300234010123450"
GATEWAY = "data@sbd.iridium.com"
SENDER = "kestravo@localhost"
BOUNDARY = "= Multipart Boundary 1209161450"

# The record of a window at its defaults with password 0: header, a payload
# that is all zero but StabilityPoints = 5 at offset 36, and the two check bytes.
DEFAULT_RECORD = bytes([0x00, 0x30, 0x00, 0x00, 0x00] + [0] * 31 + [0x05] + [0] * 5
                       + [0xAF, 0x30])

# Prints what a decoder would, from the bytes themselves, so a test can tell
# that the simulator ran it on the stored attachment.
STAND_IN_DECODER = """#!/usr/bin/python3
import sys
if len(sys.argv) != 3 or sys.argv[1] != "decode":
    sys.exit("usage: decode FILE")
data = open(sys.argv[2], "rb").read()
print("Length=%d" % len(data))
print("First=%d" % data[0])
print("")
print("Check ok")
"""

FAILING_DECODER = """#!/usr/bin/python3
import sys
print("Partial=1")
sys.exit("record check bytes do not match")
"""


def compose(subject=IMEI, attachments=(("temp.sbd", DEFAULT_RECORD),), to=GATEWAY):
    """The configurator's message, line for line, with the given parts."""
    lines = [
        "From: " + SENDER,
        "To: " + to,
        "Subject: " + subject,
        "Sender: " + SENDER,
        "Mime-Version: 1.0",
        "Content-Type: multipart/mixed;",
        '\tboundary="%s"' % BOUNDARY,
        "Date: Fri, 9 Dec 2016 04:50:07 +0300",
        "Message-ID: <20161209015007123.5F0A00C3E1B27D94@workstation>",
        "X-Mailer: VYR SMTP Component V7.41",
        "",
        "This is a multipart MIME message.",
        "",
        "--" + BOUNDARY,
        'Content-Type: text/plain; charset="windows-1251"',
        "Content-Transfer-Encoding: 7bit",
        "",
        "",
    ]
    for name, content in attachments:
        encoded = content if isinstance(content, str) else base64.b64encode(content).decode()
        lines += [
            "--" + BOUNDARY,
            "Content-Type: application/octet-stream;",
            '\tname="%s"' % name,
            "Content-Transfer-Encoding: base64",
            "Content-Disposition: attachment;",
            '\tfilename="%s"' % name,
            "",
        ]
        lines += [encoded[i:i + 76] for i in range(0, len(encoded), 76)] or [""]
        lines.append("")
    lines.append("--" + BOUNDARY + "--")
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def write_script(directory, name, text):
    path = os.path.join(directory, name)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o755)
    return path


class Simulator(GatewaySim):
    """The simulator as a subprocess, its standard error in the test's folder."""

    def __init__(self, workdir, *args):
        super().__init__(*args, stderr_path=os.path.join(workdir, "sim-stderr-%d.txt" % id(self)))
        if not self.listening.startswith("listening on 127.0.0.1:"):
            self.stop()
            raise AssertionError("unexpected first line %r" % self.listening)

    def next_line(self, timeout=WAIT):
        return super().next_line(timeout)

    def client(self):
        return smtplib.SMTP("127.0.0.1", self.port, timeout=WAIT)


class GatewaySimTest(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="sbd-gateway-sim-test-")
        self.addCleanup(self._remove_workdir)
        self.store = os.path.join(self.workdir, "store")
        self.decoder = write_script(self.workdir, "stand-in-decoder", STAND_IN_DECODER)

    def _remove_workdir(self):
        subprocess.run(["rm", "-rf", self.workdir], check=False)

    def start(self, *args, decoder=None):
        sim = Simulator(self.workdir, "--store", self.store,
                        "--record-tool", decoder or self.decoder, *args)
        self.addCleanup(sim.stop)
        return sim

    def stored(self):
        return sorted(os.listdir(self.store)) if os.path.isdir(self.store) else []

    def stats(self, path):
        with open(path) as f:
            return dict(line.split("=") for line in f.read().split())

    def send(self, smtp, message=None):
        """MAIL, RCPT and DATA by hand; returns the reply to the end of DATA."""
        self.assertEqual(smtp.mail(SENDER)[0], 250)
        self.assertEqual(smtp.rcpt(GATEWAY)[0], 250)
        return smtp.data(message or compose())

    # -- the greeting ---------------------------------------------------------

    def test_strict_mode_refuses_mail_before_a_greeting(self):
        sim = self.start()
        for greet in ("helo", "ehlo"):
            with self.subTest(greeting=greet), sim.client() as smtp:
                code, text = smtp.mail(SENDER)
                self.assertEqual(code, 503, text)
                self.assertEqual(smtp.rcpt(GATEWAY)[0], 503)
                getattr(smtp, greet)("workstation")
                self.assertEqual(self.send(smtp)[0], 250)
        self.assertIn("IMEI=" + IMEI, sim.next_line())
        self.assertIn("IMEI=" + IMEI, sim.next_line())

    def test_lenient_mode_takes_the_whole_transaction_without_a_greeting(self):
        sim = self.start("--lenient")
        with sim.client() as smtp:
            # The old configurator's session: 220, then MAIL straight away.
            code, reply = self.send(smtp)
            self.assertEqual(code, 250, reply)
        self.assertTrue(sim.next_line().startswith("IMEI=" + IMEI + " "))
        self.assertEqual(len(self.stored()), 2)

    # -- accepted messages ----------------------------------------------------

    def test_good_message_is_stored_byte_for_byte_and_reported(self):
        os.makedirs(self.store)
        # A file from an earlier run keeps its number and its content.
        earlier = os.path.join(self.store, "1-%s.sbd" % IMEI)
        with open(earlier, "wb") as f:
            f.write(b"earlier run")
        sim = self.start()
        message = compose()
        with sim.client() as smtp:
            smtp.helo("workstation")
            code, reply = self.send(smtp, message)
            self.assertEqual(code, 250, reply)

        self.assertEqual(sim.next_line(),
                         "IMEI=%s Length=44 First=0 Check ok" % IMEI)
        with open(earlier, "rb") as f:
            self.assertEqual(f.read(), b"earlier run")
        self.assertEqual(self.stored(), ["1-%s.sbd" % IMEI,
                                         "2-%s.eml" % IMEI, "2-%s.sbd" % IMEI])
        with open(os.path.join(self.store, "2-%s.sbd" % IMEI), "rb") as f:
            self.assertEqual(f.read(), DEFAULT_RECORD)
        with open(os.path.join(self.store, "2-%s.eml" % IMEI), "rb") as f:
            self.assertEqual(f.read(), message)

    def test_largest_mobile_terminated_attachment_is_accepted(self):
        sim = self.start()
        largest = bytes(range(256)) + bytes(14)
        with sim.client() as smtp:
            smtp.helo("workstation")
            code, reply = self.send(smtp, compose(attachments=[("x.SBD", largest)]))
            self.assertEqual(code, 250, reply)
        self.assertEqual(sim.next_line(), "IMEI=%s Length=270 First=0 Check ok" % IMEI)
        with open(os.path.join(self.store, "1-%s.sbd" % IMEI), "rb") as f:
            self.assertEqual(f.read(), largest)

    # -- refused messages -----------------------------------------------------

    def test_messages_the_gateway_would_not_take_are_refused_and_not_stored(self):
        refused = [
            ("IMEI too short", compose(subject=IMEI[:-1]), "IMEI"),
            ("IMEI too long", compose(subject=IMEI + "0"), "IMEI"),
            ("IMEI with a plus sign", compose(subject="+" + IMEI[1:]), "IMEI"),
            ("empty subject", compose(subject=""), "IMEI"),
            ("no attachment", compose(attachments=[]), "no attachment"),
            ("two attachments", compose(attachments=[("temp.sbd", DEFAULT_RECORD)] * 2),
             "2 attachments"),
            ("attachment over 270 bytes", compose(attachments=[("temp.sbd", bytes(271))]),
             "271 bytes"),
            ("attachment not named .sbd", compose(attachments=[("temp.bin", DEFAULT_RECORD)]),
             ".sbd"),
            ("empty attachment", compose(attachments=[("temp.sbd", b"")]), "empty"),
            ("stray character in base64",
             compose(attachments=[("temp.sbd", "AAE*CAAAA")]), "base64"),
            ("base64 cut short", compose(attachments=[("temp.sbd", "AAECAwQ")]), "base64"),
        ]
        stats = os.path.join(self.workdir, "stats")
        sim = self.start("--stats", stats)
        with sim.client() as smtp:
            smtp.helo("workstation")
            for name, message, reason in refused:
                with self.subTest(name):
                    self.assertEqual(smtp.mail(SENDER)[0], 250)
                    self.assertEqual(smtp.rcpt(GATEWAY)[0], 250)
                    code, reply = smtp.data(message)
                    self.assertEqual(code, 554, reply)
                    self.assertIn(reason, reply.decode())
                    self.assertEqual(self.stored(), [])
            # The same session still delivers a good message afterwards.
            self.assertEqual(self.send(smtp)[0], 250)
        self.assertTrue(sim.next_line().startswith("IMEI=" + IMEI))
        self.assertEqual(len(self.stored()), 2)
        self.assertEqual(self.stats(stats),
                         {"sessions": "1", "accepted": "1", "refused": str(len(refused))})

    # -- several messages in one session --------------------------------------

    def test_one_session_carries_several_messages_with_and_without_rset(self):
        stats = os.path.join(self.workdir, "stats")
        sim = self.start("--stats", stats)
        self.assertEqual(self.stats(stats), {"sessions": "0", "accepted": "0", "refused": "0"})
        devices = [("300234010123451", DEFAULT_RECORD),
                   ("300234010123452", bytes(range(44))),
                   ("300234010123453", bytes(range(100, 144)))]
        with sim.client() as smtp:
            smtp.ehlo("workstation")
            # Back to back, no RSET between the first two.
            for imei, record in devices[:2]:
                code, reply = self.send(smtp, compose(subject=imei,
                                                      attachments=[("temp.sbd", record)]))
                self.assertEqual(code, 250, reply)
            # A transaction given up half way carries nothing into the next one.
            self.assertEqual(smtp.mail(SENDER)[0], 250)
            self.assertEqual(smtp.rcpt(GATEWAY)[0], 250)
            self.assertEqual(smtp.rset()[0], 250)
            self.assertEqual(smtp.docmd("DATA")[0], 503)
            self.assertEqual(smtp.rset()[0], 250)
            imei, record = devices[2]
            smtp.sendmail(SENDER, [GATEWAY],
                          compose(subject=imei, attachments=[("temp.sbd", record)]))
            self.assertEqual(self.stats(stats)["sessions"], "1")

        for number, (imei, record) in enumerate(devices, start=1):
            self.assertEqual(sim.next_line(), "IMEI=%s Length=44 First=%d Check ok"
                             % (imei, record[0]))
            with open(os.path.join(self.store, "%d-%s.sbd" % (number, imei)), "rb") as f:
                self.assertEqual(f.read(), record)
        self.assertEqual(len(self.stored()), 6)
        self.assertEqual(self.stats(stats), {"sessions": "1", "accepted": "3", "refused": "0"})
        # Every connection counts, even one that sends nothing.
        with sim.client() as smtp:
            self.assertEqual(smtp.noop()[0], 250)
        self.assertEqual(self.stats(stats)["sessions"], "2")

    def test_recipient_other_than_the_gateway_is_refused(self):
        sim = self.start("--gateway", "mt@gateway.test")
        with sim.client() as smtp:
            smtp.helo("workstation")
            self.assertEqual(smtp.mail(SENDER)[0], 250)
            code, reply = smtp.rcpt(GATEWAY)
            self.assertEqual(code, 550, reply)
            # Nothing accepted as recipient, so there is nothing to send.
            self.assertEqual(smtp.docmd("DATA")[0], 503)
            self.assertEqual(smtp.rcpt("mt@gateway.test")[0], 250)
            self.assertEqual(smtp.data(compose(to="mt@gateway.test"))[0], 250)
        sim.next_line()
        self.assertEqual(len(self.stored()), 2)

    # -- the record tool ------------------------------------------------------

    def test_record_shown_in_hex_when_the_decoder_fails_or_is_missing(self):
        failing = write_script(self.workdir, "failing-decoder", FAILING_DECODER)
        cases = [
            ("decoder exits with an error", failing, (), "status 1"),
            ("decoder missing", os.path.join(self.workdir, "no-such-tool"), (), "no-such-tool"),
            # Asked for: the decoder is not run, and nothing is said about it.
            ("decoding turned off", failing, ("--no-decode",), None),
        ]
        for name, decoder, args, why in cases:
            with self.subTest(name):
                sim = self.start(*args, decoder=decoder)
                with sim.client() as smtp:
                    smtp.helo("workstation")
                    self.assertEqual(self.send(smtp)[0], 250)
                self.assertEqual(sim.next_line(),
                                 "IMEI=%s Raw=%s" % (IMEI, DEFAULT_RECORD.hex().upper()))
                if why:
                    self.assertIn(why, sim.errors())
                else:
                    self.assertEqual(sim.errors(), "")
                self.assertIsNone(sim.process.poll())
                sim.stop()

    @unittest.skipUnless(os.environ.get("KESTRAVO_RECORD_TOOL"),
                         "KESTRAVO_RECORD_TOOL not set")
    def test_real_record_tool_decodes_the_default_record(self):
        tool = os.environ["KESTRAVO_RECORD_TOOL"]
        self.assertTrue(os.access(tool, os.X_OK), "%s is not built" % tool)
        sim = self.start(decoder=tool)
        with sim.client() as smtp:
            smtp.helo("workstation")
            self.assertEqual(self.send(smtp)[0], 250)
        fields = sim.next_line().split()
        self.assertEqual(fields[0], "IMEI=" + IMEI)
        self.assertIn("Password=0", fields)
        self.assertIn("StabilityPoints=5", fields)
        self.assertFalse(any(f.startswith("Raw=") for f in fields), fields)

    # -- start and stop -------------------------------------------------------

    def test_port_zero_reports_the_port_it_bound(self):
        ready = os.path.join(self.workdir, "ready")
        sim = self.start("--ready-file", ready)
        self.assertNotEqual(sim.port, 0)
        with open(ready) as f:
            self.assertEqual(f.read(), "%d\n" % sim.port)
        with sim.client() as smtp:
            self.assertEqual(smtp.noop()[0], 250)

    def test_stops_cleanly_after_count_and_on_signals(self):
        sim = self.start("--count", "2", "--lenient")
        for _ in range(2):
            with sim.client() as smtp:
                self.assertEqual(self.send(smtp)[0], 250)
        self.assertEqual(sim.process.wait(WAIT), 0)
        self.assertIn("2 sessions, 2 messages accepted, 0 refused", sim.errors())
        for signum in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=signum):
                sim = self.start()
                sim.process.send_signal(signum)
                self.assertEqual(sim.process.wait(WAIT), 0, sim.errors())

    def test_stats_file_that_cannot_be_written_is_refused_at_start(self):
        stats = os.path.join(self.workdir, "no-such-folder", "stats")
        result = subprocess.run([PYTHON, SIM, "--port", "0", "--stats", stats],
                                capture_output=True, text=True, timeout=WAIT)
        self.assertEqual(result.returncode, 2)
        self.assertIn("cannot write " + stats, result.stderr)
        self.assertEqual(result.stdout, "")

    def test_refuses_to_listen_beyond_loopback(self):
        for host in ("0.0.0.0", "192.0.2.1", "::"):
            with self.subTest(host=host):
                result = subprocess.run([PYTHON, SIM, "--port", "0", "--host", host],
                                        capture_output=True, text=True, timeout=WAIT)
                self.assertEqual(result.returncode, 2)
                self.assertIn("not a loopback address", result.stderr)
                self.assertEqual(result.stdout, "")


    # -- DirectIP -------------------------------------------------------------

    def start_directip(self, *args):
        sim = self.start("--directip-port", "0", "--stats", os.path.join(self.workdir, "stats"), *args)
        self.assertTrue(sim.directip_listening.startswith("directip listening on 127.0.0.1:"), sim.directip_listening)
        return sim

    def exchange(self, sim, data, close_early=False):
        """One DirectIP connection: the bytes out, the whole answer back (to the gateway's close)."""
        with socket.create_connection(("127.0.0.1", sim.directip_port), timeout=WAIT) as s:
            s.sendall(data)
            if close_early:
                s.shutdown(socket.SHUT_WR)
            answer = b""
            while True:
                chunk = s.recv(4096)
                if not chunk:
                    return answer
                answer += chunk

    def confirmation(self, answer):
        """(client ID, IMEI, reference, status) of a confirmation, checked whole."""
        self.assertEqual(len(answer), 31, answer)
        self.assertEqual(answer[:6], bytes([1, 0, 28, 0x44, 0, 25]))
        return struct.unpack(">I15sIh", answer[6:])

    def test_directip_queue_flush_unknown_and_refusals(self):
        unknown = "300234010999999"
        sim = self.start_directip("--unknown-imei", unknown)
        places = []
        for client_id in range(1, 4):
            cid, imei, reference, status = self.confirmation(
                self.exchange(sim, mt_message(client_id, IMEI, DEFAULT_RECORD)))
            self.assertEqual((cid, imei), (client_id, IMEI.encode()))
            self.assertNotEqual(reference, 0)
            places.append(status)
        self.assertEqual(places, [1, 2, 3])
        for _ in range(3):
            self.assertIn("IMEI=" + IMEI, sim.next_line())
        # Each record is kept as it came, with no message around it.
        self.assertEqual([name.split("-", 1)[1] for name in self.stored()], [IMEI + ".sbd"] * 3)
        with open(os.path.join(self.store, self.stored()[0]), "rb") as f:
            self.assertEqual(f.read(), DEFAULT_RECORD)
        # The flush flag empties the device's queue before this one joins it.
        self.assertEqual(self.confirmation(self.exchange(
            sim, mt_message(9, IMEI, DEFAULT_RECORD, flags=1, priority=1)))[3], 1)
        cases = [
            ("unknown IMEI", mt_message(10, unknown, DEFAULT_RECORD), -2),
            ("payload over 270 bytes", mt_message(11, IMEI, b"\0" * 271), -3),
            ("no payload", mt_message(12, IMEI, None), -4),
            ("IMEI with a letter", mt_message(13, "30023401012345x", DEFAULT_RECORD), -1),
            ("overall length that lies", mt_message(14, IMEI, DEFAULT_RECORD)[:-1], -7),
            ("unknown element", mt_message(15, IMEI, DEFAULT_RECORD, extra=b"\x50\x00\x00"), -7),
            ("revision 2", b"\x02" + mt_message(16, IMEI, DEFAULT_RECORD)[1:], -7),
        ]
        for name, data, status in cases:
            with self.subTest(name):
                answer = self.exchange(sim, data, close_early=name == "overall length that lies")
                cid, imei, reference, got = self.confirmation(answer)
                self.assertEqual((got, reference), (status, 0))
        # A queue holds 50; the 51st is refused until it is flushed.
        other = "300234010123451"
        statuses = [self.confirmation(self.exchange(sim, mt_message(100 + n, other, DEFAULT_RECORD)))[3]
                    for n in range(51)]
        self.assertEqual(statuses, list(range(1, 51)) + [-5])
        sim.process.terminate()
        self.assertEqual(sim.process.wait(WAIT), 0)
        self.assertEqual(self.stats(os.path.join(self.workdir, "stats")),
                         {"sessions": "0", "accepted": "54", "refused": "8", "directip_connections": "62",
                          "directip_accepted": "54", "directip_refused": "8"})

    def test_directip_nothing_queued_answers_status_0_with_a_reference(self):
        unqueued = "300234010123451"
        sim = self.start_directip("--nothing-queued", unqueued)
        cid, imei, reference, status = self.confirmation(
            self.exchange(sim, mt_message(1, unqueued, DEFAULT_RECORD)))
        self.assertEqual((cid, imei, status), (1, unqueued.encode(), 0))
        self.assertNotEqual(reference, 0)
        # Nothing was queued for it: the next message to the device takes place 1, and the one
        # before was never reported as a record.
        self.assertEqual(self.confirmation(self.exchange(sim, mt_message(2, IMEI, DEFAULT_RECORD)))[3], 1)
        self.assertIn("IMEI=" + IMEI, sim.next_line())
        self.assertEqual([name.split("-", 1)[1] for name in self.stored()], [IMEI + ".sbd"])

    # -- a long link ----------------------------------------------------------

    def test_latency_holds_back_every_answer_on_both_ways_in_order(self):
        delay = 0.3
        sim = self.start_directip("--lenient", "--latency-ms", str(int(delay * 1000)))
        with socket.create_connection(("127.0.0.1", sim.port), timeout=WAIT) as s:
            reader = s.makefile("rb")
            started = time.monotonic()
            self.assertTrue(reader.readline().startswith(b"220 "))
            self.assertGreaterEqual(time.monotonic() - started, delay)
            # A pipelined group: every reply late, all in the order asked, the close after QUIT's.
            started = time.monotonic()
            s.sendall(b"NOOP\r\nRSET\r\nNOOP\r\nQUIT\r\n")
            replies = [reader.readline() for _ in range(4)]
            self.assertGreaterEqual(time.monotonic() - started, delay)
            self.assertEqual([r[:4] for r in replies], [b"250 ", b"250 ", b"250 ", b"221 "], replies)
            self.assertEqual(reader.read(), b"")
        # A whole SMTP transaction through smtplib still works.
        with sim.client() as smtp:
            self.assertEqual(self.send(smtp)[0], 250)
        self.assertIn("IMEI=" + IMEI, sim.next_line())
        # DirectIP: the confirmation comes late, whole, and then the close.
        started = time.monotonic()
        answer = self.exchange(sim, mt_message(1, IMEI, DEFAULT_RECORD))
        self.assertGreaterEqual(time.monotonic() - started, delay)
        self.assertEqual(self.confirmation(answer)[3], 1)
        # A message cut short is refused late too.
        started = time.monotonic()
        answer = self.exchange(sim, mt_message(2, IMEI, DEFAULT_RECORD)[:-1], close_early=True)
        self.assertGreaterEqual(time.monotonic() - started, delay)
        self.assertEqual(self.confirmation(answer)[3], -7)

    def test_latency_outside_0_to_a_minute_is_refused(self):
        for value in ("-1", "60001", "abc", "1.5"):
            with self.subTest(value):
                result = subprocess.run([PYTHON, SIM, "--port", "0", "--latency-ms", value],
                                        stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                        timeout=WAIT)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn("--latency-ms", result.stderr)


def mt_message(client_id, imei, payload, flags=0, priority=None, extra=b""):
    """A DirectIP MT message as a client writes it."""
    elements = struct.pack(">BHI15sH", 0x41, 21, client_id, imei.encode(), flags)
    if payload is not None:
        elements += struct.pack(">BH", 0x42, len(payload)) + payload
    if priority is not None:
        elements += struct.pack(">BHH", 0x46, 2, priority)
    elements += extra
    return struct.pack(">BH", 1, len(elements)) + elements


if __name__ == "__main__":
    unittest.main(verbosity=2)
