#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""debian/ against the rest of the tree: Build-Depends is the build list of
scripts/install-deps.sh, what the packages depend on is in its runtime list, the changelog
gives the version of project() and the date the manual pages and metadata show, and the
licence is the same in LICENSE, debian/copyright and the AppStream metadata."""

import email.utils
import os
import re
import shutil
import subprocess
import sys
import unittest

SOURCE = os.environ["KESTRAVO_SOURCE_DIR"]
VERSION = os.environ["KESTRAVO_VERSION"]
METAINFO = os.environ["KESTRAVO_METAINFO"]
MAN_DIR = os.environ["KESTRAVO_MAN_DIR"]
DEBIAN = os.path.join(SOURCE, "debian")
# Every Debian package build has build-essential; ccache is used when present.
IMPLIED = {"build-essential", "ccache"}


def paragraphs(path):
    """The fields of each paragraph of a deb822 file (comments dropped, continuations joined)."""
    result, fields, key = [], {}, None
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines() + [""]:
            if line.startswith("#"):
                continue
            if not line.strip():
                if fields:
                    result.append(fields)
                fields, key = {}, None
            elif line[0] in " \t":
                fields[key] += "\n" + line.strip()
            else:
                key, _, value = line.partition(":")
                fields[key] = value.strip()
    return result


def relations(field):
    """{name: restriction text} of a relation field such as Build-Depends."""
    found = {}
    for item in field.split(","):
        item = item.strip()
        if not item or item.startswith("${"):
            continue
        name = re.match(r"[a-z0-9][a-z0-9+.-]*", item).group(0)
        found[name] = " ".join(re.findall(r"<[^>]*>", item))
    return found


def install_list(*names):
    result = subprocess.run([os.path.join(SOURCE, "scripts", "install-deps.sh"), "--list", *names],
                            capture_output=True, text=True, check=True)
    return set(result.stdout.split())


class Control(unittest.TestCase):
    def setUp(self):
        self.source, *self.binaries = paragraphs(os.path.join(DEBIAN, "control"))

    def test_build_depends_is_the_build_list(self):
        build_depends = relations(self.source["Build-Depends"])
        self.assertEqual(build_depends.pop("debhelper-compat"), "")
        always = {name for name, profile in build_depends.items() if not profile}
        tests_only = {name for name, profile in build_depends.items() if profile}
        self.assertEqual(sorted(always), sorted(install_list("build") - IMPLIED),
                         "Build-Depends and the build list of install-deps.sh differ")
        self.assertEqual({build_depends[name] for name in tests_only}, {"<!nocheck>"})
        self.assertEqual(sorted(tests_only - install_list("runtime", "test")), [],
                         "test-only Build-Depends that install-deps.sh does not install for the tests")

    def test_binary_relations_are_in_the_runtime_list(self):
        ours = {b["Package"] for b in self.binaries}
        self.assertEqual(ours, {"kestravo", "kestravo-gateway-sim"})
        runtime = install_list("runtime")
        for binary in self.binaries:
            for field in ("Depends", "Recommends", "Suggests"):
                named = set(relations(binary.get(field, ""))) - ours
                with self.subTest(package=binary["Package"], field=field):
                    self.assertEqual(sorted(named - runtime), [], "not in the runtime list")
        sim = next(b for b in self.binaries if b["Package"] == "kestravo-gateway-sim")
        self.assertEqual(sim["Architecture"], "all")
        self.assertEqual(set(relations(sim["Depends"])), {"python3", "python3-aiosmtpd"})
        window = next(b for b in self.binaries if b["Package"] == "kestravo")
        self.assertIn("${shlibs:Depends}", window["Depends"])
        # A font only improves the look; the stand-in's Python is not the window's.
        self.assertNotIn("fonts-wine", relations(window["Depends"]))
        self.assertNotIn("python3-aiosmtpd", relations(window["Depends"]) | relations(window.get("Recommends", "")))

    def test_native_source_without_watch(self):
        with open(os.path.join(DEBIAN, "source", "format"), encoding="utf-8") as f:
            self.assertEqual(f.read().strip(), "3.0 (native)")
        self.assertFalse(os.path.exists(os.path.join(DEBIAN, "watch")))


class Changelog(unittest.TestCase):
    def changelog(self, field):
        if shutil.which("dpkg-parsechangelog") is None:
            raise unittest.SkipTest("dpkg-parsechangelog not installed (dpkg-dev)")
        return subprocess.run(["dpkg-parsechangelog", "-l", os.path.join(DEBIAN, "changelog"), "-S", field],
                              capture_output=True, text=True, check=True).stdout.strip()

    def test_version_is_the_one_of_project(self):
        self.assertEqual(self.changelog("Version"), VERSION,
                         "debian/changelog and project() in CMakeLists.txt name different versions")

    def test_pages_and_metadata_show_its_date(self):
        # The day as written, in the entry's own time zone.
        day = email.utils.parsedate_to_datetime(self.changelog("Date")).date().isoformat()
        with open(METAINFO, encoding="utf-8") as f:
            self.assertIn(f'<release version="{VERSION}" date="{day}">', f.read())
        for page in sorted(os.listdir(MAN_DIR)):
            if page.endswith(".1"):
                with self.subTest(page=page), open(os.path.join(MAN_DIR, page), encoding="utf-8") as f:
                    self.assertRegex(f.read(), rf'(?m)^\.TH \S+ 1 "{day}" "Kestravo {re.escape(VERSION)}"')


class Licence(unittest.TestCase):
    def test_one_licence_everywhere(self):
        with open(os.path.join(SOURCE, "LICENSE"), encoding="utf-8") as f:
            self.assertRegex(f.read(1000), r"Apache License\s+Version 2\.0, January 2004")
        with open(METAINFO, encoding="utf-8") as f:
            self.assertIn("<project_license>Apache-2.0</project_license>", f.read())
        copyright = paragraphs(os.path.join(DEBIAN, "copyright"))
        self.assertEqual(copyright[0]["Format"],
                         "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/")
        files = {p["Files"]: p["License"] for p in copyright if "Files" in p}
        self.assertEqual(files["*"], "Apache-2.0")
        # Each licence named is given in a paragraph of its own.
        given = {p["License"].split("\n")[0] for p in copyright if "Files" not in p and "License" in p}
        self.assertEqual(sorted(set(files.values()) - given), [])
        with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
            self.assertIn("Apache License 2.0", f.read())


if __name__ == "__main__":
    outcome = unittest.main(exit=False, verbosity=2).result
    if not outcome.wasSuccessful():
        sys.exit(1)
    sys.exit(77 if outcome.testsRun == len(outcome.skipped) else 0)
