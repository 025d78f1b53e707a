#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""The desktop's way into the window: the desktop entry opens files (%F) of the record type and
offers the history and settings as actions; the type's XML gives .sbd files that type and no type
installed on this machine claims the extension already."""
import configparser
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("KESTRAVO_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
APP_ID = "io.kestravo.Configurator"
DESKTOP = os.path.join(SOURCE, "packaging", f"{APP_ID}.desktop")
MIME_XML = os.path.join(SOURCE, "packaging", f"{APP_ID}.mime.xml")
TYPE = "application/x-kestravo-record"


class DesktopEntry(unittest.TestCase):
    def setUp(self):
        self.entry = configparser.ConfigParser(interpolation=None)
        self.entry.optionxform = str
        self.entry.read(DESKTOP, encoding="utf-8")

    def test_opens_record_files(self):
        main = self.entry["Desktop Entry"]
        self.assertEqual(main["Exec"], "kestravo %F")
        self.assertIn(TYPE, main["MimeType"].split(";"))

    def test_actions_reach_the_second_windows(self):
        actions = [a for a in self.entry["Desktop Entry"]["Actions"].split(";") if a]
        execs = {self.entry[f"Desktop Action {a}"]["Exec"] for a in actions}
        self.assertEqual(execs, {"kestravo --history", "kestravo --settings"})


class RecordType(unittest.TestCase):
    def test_no_installed_type_claims_the_extension(self):
        for path in glob.glob("/usr/share/mime/packages/*.xml"):
            with open(path, encoding="utf-8", errors="replace") as f:
                self.assertNotIn('pattern="*.sbd"', f.read().lower(), path)

    def test_the_database_gives_sbd_files_the_type(self):
        if not shutil.which("update-mime-database"):
            self.skipTest("update-mime-database is not installed (shared-mime-info)")
        with tempfile.TemporaryDirectory() as mime:
            os.makedirs(os.path.join(mime, "packages"))
            shutil.copy(MIME_XML, os.path.join(mime, "packages", f"{APP_ID}.xml"))
            result = subprocess.run(["update-mime-database", mime], capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(os.path.join(mime, "globs2"), encoding="utf-8") as f:
                self.assertIn(f"{TYPE}:*.sbd", f.read())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
