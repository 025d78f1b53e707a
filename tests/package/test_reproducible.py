#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Two builds of the same tree give byte-identical packages: packaging/build-deb.sh builds in two
folders of different names, at different times, with the files' times, the umask and the time
zone changed between them, the second without ccache, and every .deb and .ddeb of one is compared
with the other's.

    test_reproducible.py                 # builds twice, without the tests (nocheck)
    test_reproducible.py --against DIR   # builds once, without the tests, and compares with the
                                         # packages in DIR (`make package`'s, built with them)

A build without the tests must give the same packages as one with: nocheck changes what is run,
never what is shipped. Under ctest (label package) it runs only when KESTRAVO_PACKAGE_REBUILD=1
is set, since it builds the project twice; `make package-check` runs it."""

import argparse
import filecmp
import glob
import os
import subprocess
import sys
import tempfile

SOURCE = os.environ.get("KESTRAVO_SOURCE_DIR",
                        os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BUILD_DEB = os.path.join(SOURCE, "packaging", "build-deb.sh")
SKIP = 77
# A file time unlike any a checkout gets: 2001-09-09.
OTHER_FILE_TIME = 1000000000


def build(out, variant):
    """build-deb.sh into out; variant 1 changes the file times, the umask and the time zone, and
    compiles everything afresh: objects from ccache, compiled in the other folder, would hide
    a build path that only the compiler's own run writes."""
    env = dict(os.environ, DEB_BUILD_OPTIONS="nocheck parallel=2")
    if variant:
        env.update(KESTRAVO_DEB_FILE_TIME=str(OTHER_FILE_TIME), TZ="Pacific/Kiritimati", CCACHE_DISABLE="1")
    print("$ DEB_BUILD_OPTIONS=nocheck", BUILD_DEB, out, flush=True)
    old_umask = os.umask(0o002 if variant else 0o022)
    try:
        result = subprocess.run([BUILD_DEB, out], capture_output=True, text=True, env=env, timeout=3000)
    finally:
        os.umask(old_umask)
    if result.returncode != 0:
        print(result.stdout[-8000:], result.stderr[-8000:])
        raise SystemExit(1)


def packages(folder):
    return {os.path.basename(p): p for p in glob.glob(os.path.join(folder, "*.deb"))
            + glob.glob(os.path.join(folder, "*.ddeb"))}


def differing_members(a, b, work):
    """The files of two packages that differ, to tell where to look."""
    os.makedirs(work)
    roots = []
    for deb, side in ((a, "a"), (b, "b")):
        root = os.path.join(work, side)
        subprocess.run(["dpkg-deb", "-R", deb, root], check=True)
        roots.append(root)
    found = []
    for folder, _, files in os.walk(roots[0]):
        for name in files:
            left = os.path.join(folder, name)
            right = os.path.join(roots[1], os.path.relpath(left, roots[0]))
            if not os.path.exists(right) or not filecmp.cmp(left, right, shallow=False):
                found.append(os.path.relpath(left, roots[0]))
    listing = [subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True).stdout for deb in (a, b)]
    if listing[0] != listing[1]:
        found.append("(the archives' member lists, times or modes)")
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--against", metavar="DIR", help="packages built earlier, to compare with")
    args = parser.parse_args()
    if not args.against and os.environ.get("KESTRAVO_PACKAGE_REBUILD") != "1":
        print("SKIPPED: builds the packages twice; set KESTRAVO_PACKAGE_REBUILD=1 or run "
              "`make package-check`")
        return SKIP

    with tempfile.TemporaryDirectory(prefix="kestravo-repro-") as work:
        if args.against:
            first = os.path.abspath(args.against)
        else:
            # Where ccache has the objects of earlier runs; the second build compiles afresh.
            first = os.path.join(os.environ.get("KESTRAVO_BUILD_DIR", work), "package-reproducible")
            build(first, 0)
        # Another folder, of another name length.
        second = os.path.join(work, "second-build-folder")
        build(second, 1)

        a, b = packages(first), packages(second)
        if not a or sorted(a) != sorted(b):
            print("FAIL: the builds gave different packages:", sorted(a), sorted(b))
            return 1
        failed = 0
        for name in sorted(a):
            if filecmp.cmp(a[name], b[name], shallow=False):
                print("same:", name)
                continue
            failed += 1
            print("FAIL: differs:", name)
            for member in differing_members(a[name], b[name], os.path.join(work, "diff-" + name)):
                print("   ", member)
        if failed:
            return 1
    print("reproducible: %d packages byte for byte the same" % len(a))
    return 0


if __name__ == "__main__":
    sys.exit(main())
