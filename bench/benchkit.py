# SPDX-License-Identifier: Apache-2.0
"""What the benchmarks share: where the programs are, the loopback SMTP sink, the message curl
sends, medians. Public tools only; nothing here is part of the product."""

import argparse
import base64
import email.utils
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "kit"))
from gateway_sim import GatewaySim, GatewaySimError  # noqa: E402

PYTHON = "/usr/bin/python3"
HERE = os.path.dirname(os.path.abspath(__file__))
REPOSITORY = os.path.dirname(HERE)
SENDER = "kestravo@localhost"
GATEWAY = "data@sbd.iridium.com"
WAIT = 60  # seconds; an upper bound for a loopback step, never part of a figure


def fail(text):
    print("%s: %s" % (os.path.basename(sys.argv[0]), text), file=sys.stderr)
    sys.exit(1)


def program(build, name):
    path = os.path.join(build, "bin", name)
    if not os.access(path, os.X_OK):
        fail("%s is not built (cmake --build %s --target %s)" % (path, build, name))
    return path


def default_build():
    return os.environ.get("KESTRAVO_BUILD", os.path.join(REPOSITORY, "build"))


def median_ms(seconds):
    return statistics.median(seconds) * 1000.0


def private_environment(work):
    """The user's settings, history and runtime folder stay out of a run."""
    env = dict(os.environ)
    home = os.path.join(work, "home")
    runtime = os.path.join(work, "runtime")
    for folder in (home, runtime):
        os.makedirs(folder, mode=0o700, exist_ok=True)
    env.update(HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
               XDG_DATA_HOME=os.path.join(home, ".local", "share"),
               XDG_RUNTIME_DIR=runtime)
    for name in ("KESTRAVO_RELAY", "KESTRAVO_SENDER", "KESTRAVO_GATEWAY", "KESTRAVO_TIMEOUT",
                 "KESTRAVO_HISTORY", "KESTRAVO_SECURITY", "KESTRAVO_USER", "KESTRAVO_AUTH",
                 "KESTRAVO_CAFILE", "KESTRAVO_PASSWORD_COMMAND", "KESTRAVO_TRANSPORT", "KESTRAVO_DIRECTIP"):
        env.pop(name, None)
    return env


def stop_process(process):
    """Asks a child to end, then forces it after WAIT seconds."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(WAIT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class WorkFolder:
    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix="kestravo-bench-")
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)


class Sink(GatewaySim):
    """tools/sbd-gateway-sim on a free loopback port, lenient (no greeting needed) unless
    strict, not decoding; counts sessions and messages in a stats file. With latency_ms every
    answer it gives reaches the client that much later, as over a long link."""

    def __init__(self, work, strict=False, directip=False, latency_ms=0):
        self.stats_path = os.path.join(work, "sink-stats")
        args = ["--no-decode", "--stats", self.stats_path]
        if directip:
            args += ["--directip-port", "0"]
        if latency_ms:
            args += ["--latency-ms", str(latency_ms)]
        if not strict:
            args.append("--lenient")
        try:
            super().__init__(*args, stderr_path=os.path.join(work, "sink-stderr"))
        except GatewaySimError as e:
            fail("the sink did not start: %s" % e)

    def stats(self):
        with open(self.stats_path) as f:
            return {k: int(v) for k, v in (line.split("=") for line in f.read().split())}


def mime_message(imei, record):
    """The window's message for curl to upload: subject = IMEI, temp.sbd attached in base64,
    CRLF line ends as on the wire."""
    boundary = "=_kestravo_bench_boundary"
    encoded = base64.b64encode(record).decode("ascii")
    lines = [
        "From: " + SENDER,
        "To: " + GATEWAY,
        "Subject: " + imei,
        "Date: " + email.utils.formatdate(localtime=False),
        "Message-ID: " + email.utils.make_msgid(domain="localhost"),
        "MIME-Version: 1.0",
        'Content-Type: multipart/mixed; boundary="%s"' % boundary,
        "",
        "This is a multipart MIME message.",
        "",
        "--" + boundary,
        'Content-Type: text/plain; charset="windows-1251"',
        "Content-Transfer-Encoding: 7bit",
        "",
        "",
        "--" + boundary,
        'Content-Type: application/octet-stream; name="temp.sbd"',
        "Content-Transfer-Encoding: base64",
        'Content-Disposition: attachment; filename="temp.sbd"',
        "",
    ]
    lines += [encoded[i:i + 76] for i in range(0, len(encoded), 76)]
    lines += ["", "--" + boundary + "--", ""]
    return "\r\n".join(lines).encode("ascii")


def curl_command(port, eml_path):
    return ["curl", "--silent", "--show-error", "smtp://127.0.0.1:%d" % port,
            "--mail-from", SENDER, "--mail-rcpt", GATEWAY, "--upload-file", eml_path]


def latency_ms(text):
    """An argparse type: a delay in whole milliseconds, 0 to 60000."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a whole number of milliseconds" % text) from None
    if not 0 <= value <= 60000:
        raise argparse.ArgumentTypeError("%d ms is outside 0-60000" % value)
    return value


def require_curl():
    if shutil.which("curl") is None:
        fail("curl is not installed")
