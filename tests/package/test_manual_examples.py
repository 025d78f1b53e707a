#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""The EXAMPLES of each manual page, taken from packaging/*.1.in and run as a reader would paste
them: the examples of one page one after another in one shell, in an empty temporary folder,
with the programs found on PATH and the gateway stand-in on a loopback port. A settings file
shown as an example is put in place and read back through `kestravo-record send --dry-run`.

Environment: KESTRAVO_SOURCE_DIR, KESTRAVO_RECORD_TOOL, and KESTRAVO_WINDOW when the window is
built (its example is then started offscreen and must still be running after a few seconds).
Exit status 0 passed, 1 failed.
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("KESTRAVO_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))))
TOOL = os.environ.get("KESTRAVO_RECORD_TOOL", "")
WINDOW = os.environ.get("KESTRAVO_WINDOW", "")
if WINDOW and not os.access(WINDOW, os.X_OK):
    WINDOW = ""  # the target exists but was not built
SIM = os.path.join(SOURCE, "tools", "sbd-gateway-sim")
WAIT = 120  # seconds for a page's examples; an upper bound only, never a speed requirement

ROFF_ESCAPES = [("\\-", "-"), ("\\(aq", "'"), ("\\(dq", '"'), ("\\(ti", "~"), ("\\(ha", "^"),
                ("\\&", ""), ("\\e", "\\")]


def unroff(line):
    out = ""
    i = 0
    while i < len(line):
        for escape, text in ROFF_ESCAPES:
            if line.startswith(escape, i):
                out += text
                i += len(escape)
                break
        else:
            out += line[i]
            i += 1
    return out


def examples(page):
    """The .EX ... .EE blocks of the page's EXAMPLES section, as shell text."""
    with open(os.path.join(SOURCE, "packaging", page), encoding="utf-8") as f:
        text = f.read()
    section = text.split(".SH EXAMPLES", 1)[1].split("\n.SH ", 1)[0]
    return ["\n".join(unroff(line) for line in block.strip("\n").splitlines())
            for block in re.findall(r"^\.EX\n(.*?)^\.EE$", section, re.S | re.M)]


class ManualExamples(unittest.TestCase):
    def setUp(self):
        if not TOOL or not os.access(TOOL, os.X_OK):
            self.fail("KESTRAVO_RECORD_TOOL does not name the built kestravo-record")
        self.dir = tempfile.TemporaryDirectory(prefix="kestravo-man-")
        self.addCleanup(self.dir.cleanup)
        root = self.dir.name
        self.bin = os.path.join(root, "bin")
        self.work = os.path.join(root, "work")
        os.mkdir(self.bin)
        os.mkdir(self.work)
        os.symlink(TOOL, os.path.join(self.bin, "kestravo-record"))
        os.symlink(SIM, os.path.join(self.bin, "kestravo-gateway-sim"))
        if WINDOW:
            os.symlink(WINDOW, os.path.join(self.bin, "kestravo"))
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("KESTRAVO_")}
        self.env.update(PATH=self.bin + ":/usr/bin:/bin", HOME=os.path.join(root, "home"),
                        XDG_CONFIG_HOME=os.path.join(root, "home", ".config"),
                        XDG_DATA_HOME=os.path.join(root, "home", ".local", "share"))

    def run_page(self, page):
        """Runs every example of a page in order in one shell; stops at the first failing command."""
        blocks = examples(page)
        self.assertTrue(blocks, "%s has no examples" % page)
        script = ["set -e -o pipefail",
                  # A stand-in an example failed to stop goes with the shell.
                  "trap '(jobs -p | xargs -r kill) 2>/dev/null || true' EXIT"]
        for number, block in enumerate(blocks, 1):
            script += ["echo '### example %d' >&2" % number, block]
        proc = subprocess.Popen(["bash", "-c", "\n".join(script) + "\n"], cwd=self.work, env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                start_new_session=True)
        try:
            out, err = proc.communicate(timeout=WAIT)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            out, err = proc.communicate()
            self.fail("the examples of %s did not finish within %d s:\n%s\n%s" % (page, WAIT, out, err))
        finally:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.assertEqual(proc.returncode, 0, "the examples of %s failed (the last '### example' line "
                         "on stderr names the one):\n--- stdout\n%s--- stderr\n%s" % (page, out, err))
        return out, err

    def test_record_tool_examples(self):
        out, err = self.run_page("kestravo-record.1.in")
        self.assertIn("Mail sended\nError code 0\n", out)
        stored = sorted(n for n in os.listdir(os.path.join(self.work, "sbd-store")) if n.endswith(".sbd"))
        # One device alone, two from the list, two from the manifest.
        self.assertEqual(len(stored), 5, stored)
        with open(os.path.join(self.work, "sent.sbd"), "rb") as a, \
                open(os.path.join(self.work, "daily.sbd"), "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_gateway_stand_in_examples(self):
        out, err = self.run_page("sbd-gateway-sim.1.in")
        self.assertIn("Mail sended\nError code 0\n", out)
        self.assertEqual(len([n for n in os.listdir(os.path.join(self.work, "sbd-store")) if n.endswith(".sbd")]), 1)
        with open(os.path.join(self.work, "stats"), encoding="utf-8") as f:
            self.assertIn("accepted=2", f.read())

    def test_window_examples(self):
        for block in examples("kestravo.1.in"):
            if block.startswith("["):
                self.check_settings_file(block)
            elif WINDOW:
                self.check_window_start(block)
            else:
                print("the window is not built; its example (%s) is not started" % block, file=sys.stderr)

    def check_settings_file(self, text):
        folder = os.path.join(self.env["XDG_CONFIG_HOME"], "kestravo")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "kestravo.conf"), "w", encoding="utf-8") as f:
            f.write(text + "\n")
        record = os.path.join(self.work, "settings-check.sbd")
        self.assertEqual(subprocess.run([TOOL, "encode", "-o", record], env=self.env).returncode, 0)
        done = subprocess.run([TOOL, "send", "--imei", "300234010123450", "--dry-run", record], env=self.env,
                              capture_output=True, text=True, timeout=WAIT)
        self.assertEqual(done.returncode, 0, done.stderr)
        values = dict(line.split("=", 1) for line in text.splitlines() if "=" in line)
        self.assertEqual(done.stdout.splitlines()[0], "# relay %s from %s to %s" % (
            values["relay"], values["sender"], values["gateway"]))

    def check_window_start(self, text):
        env = dict(self.env, QT_QPA_PLATFORM="offscreen")
        proc = subprocess.Popen(["bash", "-c", text], cwd=self.work, env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, start_new_session=True)
        try:
            proc.wait(3)
            self.fail("the window of %r ended at once (status %d): %s" % (text, proc.returncode, proc.stdout.read()))
        except subprocess.TimeoutExpired:
            pass
        finally:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait()
            proc.stdout.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
