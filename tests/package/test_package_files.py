#!/usr/bin/python3
"""The files that make the program a desktop application, checked from this build:
the desktop entry and the AppStream metadata pass their validators, the manual pages render
without warnings and document every option the tool's help names, the icon is what its script
draws, and `cmake --install` lays everything out where the desktop looks for it."""

import os
import re
import shutil
import stat
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
PAGES = ("kestravo", "kestravo-record", "sbd-gateway-sim")
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

    def test_record_page_names_every_option_of_the_help(self):
        help_text = run([TOOL, "--help"]).stdout
        options = set(re.findall(r"(?<![\w-])--[a-z][a-z-]*", help_text))
        self.assertIn("--imei", options)
        with open(os.path.join(MAN_DIR, "kestravo-record.1"), encoding="utf-8") as f:
            page = f.read().replace("\\-", "-")
        for option in sorted(options):
            with self.subTest(option=option):
                self.assertRegex(page, rf"(?<![\w-]){re.escape(option)}(?![\w-])")
        for command in ("encode", "decode", "send", "history", "diff"):
            self.assertIn(f".SS {command}", page)


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


class InstallLayout(unittest.TestCase):
    def test_install_puts_each_file_where_the_desktop_looks(self):
        with tempfile.TemporaryDirectory() as prefix:
            result = run(["cmake", "--install", BUILD, "--prefix", prefix])
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            for program in ("kestravo", "kestravo-record", "sbd-gateway-sim"):
                path = os.path.join(prefix, "bin", program)
                self.assertTrue(os.path.isfile(path), path)
                self.assertTrue(os.stat(path).st_mode & stat.S_IXOTH, f"{path} is not executable")
            expected = [
                f"share/applications/{APP_ID}.desktop",
                f"share/metainfo/{APP_ID}.metainfo.xml",
                f"share/icons/hicolor/scalable/apps/{APP_ID}.svg",
                "share/bash-completion/completions/kestravo-record",
                "share/doc/kestravo/copyright",
                "share/doc/kestravo/changelog.gz",
            ] + [f"share/man/man1/{page}.1.gz" for page in PAGES] \
              + [f"share/icons/hicolor/{s}x{s}/apps/{APP_ID}.png" for s in ICON_SIZES]
            for relative in expected:
                with self.subTest(file=relative):
                    self.assertTrue(os.path.isfile(os.path.join(prefix, relative)), relative)
            # Each PNG sits in the folder of its own size.
            for s in ICON_SIZES:
                with open(os.path.join(prefix, f"share/icons/hicolor/{s}x{s}/apps/{APP_ID}.png"), "rb") as f:
                    header = f.read(24)
                self.assertEqual(header[:8], b"\x89PNG\r\n\x1a\n")
                self.assertEqual((int.from_bytes(header[16:20], "big"),
                                  int.from_bytes(header[20:24], "big")), (s, s))


if __name__ == "__main__":
    outcome = unittest.main(exit=False, verbosity=2).result
    if not outcome.wasSuccessful():
        sys.exit(1)
    ran = outcome.testsRun - len(outcome.skipped)
    sys.exit(77 if ran == 0 else 0)
