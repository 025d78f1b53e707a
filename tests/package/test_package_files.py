#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""The files that make the program a desktop application, checked from this build:
the desktop entry and the AppStream metadata pass their validators, the manual pages render
without warnings and document every option the tool's help names, and the icon is what its
script draws. (The install layout is checked by test_deb.py, whose build folder is its own.)"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ["KESTRAVO_SOURCE_DIR"]
BUILD = os.environ["KESTRAVO_BUILD_DIR"]
VERSION = os.environ["KESTRAVO_VERSION"]
APP_ID = os.environ["KESTRAVO_APP_ID"]
TOOL = os.environ["KESTRAVO_RECORD_TOOL"]
METAINFO = os.environ["KESTRAVO_METAINFO"]
MAN_DIR = os.environ["KESTRAVO_MAN_DIR"]
DESKTOP = os.path.join(SOURCE, "packaging", f"{APP_ID}.desktop")
PAGES = ("kestravo", "kestravo-record", "kestravo-gateway-sim")
ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=120, **kwargs)


def need(*tools):
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        raise unittest.SkipTest("not installed: " + ", ".join(missing)
                                + " (scripts/install-deps.sh test installs them)")


class Validators(unittest.TestCase):
    def test_desktop_entry(self):
        need("desktop-file-validate")
        result = run(["desktop-file-validate", DESKTOP])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        # Hints are advice (two main categories are meant); errors and warnings are not.
        for line in (result.stdout + result.stderr).splitlines():
            self.assertNotRegex(line, r": (error|warning):", line)

    def test_metainfo(self):
        need("appstreamcli")
        result = run(["appstreamcli", "validate", "--no-net", "--pedantic", METAINFO])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        with open(METAINFO, encoding="utf-8") as f:
            text = f.read()
        self.assertIn(f'<release version="{VERSION}"', text)
        self.assertIn(f"<launchable type=\"desktop-id\">{APP_ID}.desktop</launchable>", text)
        self.assertRegex(text, r"<caption>[^<]+</caption>")

    def test_manual_pages_render_without_warnings(self):
        need("man", "groff")
        for page in PAGES:
            with self.subTest(page=page):
                path = os.path.join(MAN_DIR, f"{page}.1")
                for args in (["man", "--warnings", "-l", path],
                             ["groff", "-man", "-ww", "-z", path]):
                    result = run(args, env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING="0"))
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertEqual(result.stderr, "", " ".join(args))
                with open(path, encoding="utf-8") as f:
                    self.assertIn(f'"Kestravo {VERSION}"', f.read())

    def test_pages_and_helps_name_the_same_options(self):
        # Both ways: an option the program has but the page leaves out, and one the page
        # describes that the program does not have.
        option = re.compile(r"(?<![\w-])--[a-z][a-z-]*")
        simulator = os.path.join(SOURCE, "tools", "sbd-gateway-sim")
        for page, command, sections in (
                ("kestravo-record", [TOOL], ("encode", "decode", "send", "history", "diff")),
                ("kestravo-gateway-sim", ["/usr/bin/python3", simulator], ())):
            result = run(command + ["--help"])
            self.assertEqual(result.returncode, 0, result.stderr)
            in_help = set(option.findall(result.stdout))
            with open(os.path.join(MAN_DIR, f"{page}.1"), encoding="utf-8") as f:
                text = f.read().replace("\\-", "-")
            # The examples may show another program's options (kestravo-record send).
            in_page = set(option.findall(text.split(".SH EXAMPLES")[0]))
            with self.subTest(page=page):
                self.assertGreater(len(in_help), 3, result.stdout)
                self.assertEqual(sorted(in_help - in_page), [], f"{page}(1) does not mention these")
                self.assertEqual(sorted(in_page - in_help), [], f"{page} --help does not know these")
                for name in sections:
                    self.assertIn(f".SS {name}", text)


class Icon(unittest.TestCase):
    def test_files_are_what_the_script_draws(self):
        try:
            from PIL import Image, ImageChops
        except ImportError:
            raise unittest.SkipTest("python3-pil is not installed")
        committed = os.path.join(SOURCE, "resources", "icon")
        with tempfile.TemporaryDirectory() as out:
            result = run(["/usr/bin/python3", os.path.join(SOURCE, "resources", "draw_icon.py"), out])
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(os.path.join(out, f"{APP_ID}.svg"), "rb") as a, \
                 open(os.path.join(committed, f"{APP_ID}.svg"), "rb") as b:
                self.assertEqual(a.read(), b.read(), "the SVG differs from the script's")
            for size in ICON_SIZES:
                name = f"{size}x{size}.png"
                with self.subTest(png=name), Image.open(os.path.join(out, name)) as drawn, \
                        Image.open(os.path.join(committed, name)) as kept:
                    self.assertEqual(kept.size, (size, size))
                    self.assertEqual(kept.mode, "RGBA")
                    self.assertIsNone(ImageChops.difference(drawn, kept).getbbox(),
                                      "the PNG differs from the script's")


if __name__ == "__main__":
    outcome = unittest.main(exit=False, verbosity=2).result
    if not outcome.wasSuccessful():
        sys.exit(1)
    ran = outcome.testsRun - len(outcome.skipped)
    sys.exit(77 if ran == 0 else 0)
