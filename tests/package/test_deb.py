#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""The Debian packages, built as a distribution builds them: packaging/build-deb.sh runs
dpkg-buildpackage on a clean copy of the tree in build/package-deb/, without the tests
(DEB_BUILD_OPTIONS=nocheck, so without GoogleTest and Qt Test). Each package holds its own
files and declares what it needs; unpacked into a scratch root, they pass the smoke test of
debian/tests; the binaries are hardened and name no build folder; lintian finds no error or
warning; the desktop entry, metadata and manual pages pass their validators. Also
`cmake --install` of the same build lays out what both packages hold."""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

SOURCE = os.environ["KESTRAVO_SOURCE_DIR"]
BUILD = os.environ["KESTRAVO_BUILD_DIR"]
VERSION = os.environ["KESTRAVO_VERSION"]
APP_ID = os.environ["KESTRAVO_APP_ID"]
TOOLS = ("cmake", "ninja", "dpkg-buildpackage", "dh", "dpkg-deb", "readelf", "lintian",
         "desktop-file-validate", "appstreamcli", "man")
SKIP = 77
ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)

# What each package holds, below usr/.
WINDOW_FILES = [
    "bin/kestravo",
    "bin/kestravo-record",
    f"share/applications/{APP_ID}.desktop",
    f"share/metainfo/{APP_ID}.metainfo.xml",
    f"share/icons/hicolor/scalable/apps/{APP_ID}.svg",
    "share/bash-completion/completions/kestravo-record",
    "share/man/man1/kestravo.1.gz",
    "share/man/man1/kestravo-record.1.gz",
] + [f"share/icons/hicolor/{s}x{s}/apps/{APP_ID}.png" for s in ICON_SIZES]
SIM_FILES = [
    "bin/kestravo-gateway-sim",
    "share/man/man1/kestravo-gateway-sim.1.gz",
]
PROGRAMS = ("bin/kestravo", "bin/kestravo-record", "bin/kestravo-gateway-sim")

failures = []


def run(args, timeout=120, **kwargs):
    print("$", " ".join(args), flush=True)
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout, **kwargs)


def expect(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message, flush=True)


def check_layout(prefix, files, where):
    """Every file at its place, programs executable, each PNG icon of the size its folder says."""
    for relative in files:
        path = os.path.join(prefix, relative)
        expect(os.path.isfile(path), f"{where}: no {relative}")
        if relative in PROGRAMS:
            expect(os.access(path, os.X_OK), f"{where}: {relative} is not executable")
    for s in ICON_SIZES:
        relative = f"share/icons/hicolor/{s}x{s}/apps/{APP_ID}.png"
        if relative not in files or not os.path.isfile(os.path.join(prefix, relative)):
            continue
        with open(os.path.join(prefix, relative), "rb") as f:
            header = f.read(24)
        expect(header[:8] == b"\x89PNG\r\n\x1a\n"
               and (int.from_bytes(header[16:20], "big"), int.from_bytes(header[20:24], "big")) == (s, s),
               f"{where}: {s}x{s} icon is not a {s}x{s} PNG")


def control(deb):
    fields = {}
    for line in run(["dpkg-deb", "-f", deb]).stdout.splitlines():
        if ":" in line and not line.startswith(" "):
            key, value = line.split(":", 1)
            fields[key] = value.strip()
    return fields


def names(field):
    return {re.split(r"[ (]", d.strip())[0] for d in field.split(",") if d.strip()}


def check_control(debs, arch):
    window = control(debs["kestravo"])
    sim = control(debs["kestravo-gateway-sim"])
    print("kestravo Depends:", window.get("Depends"), "Recommends:", window.get("Recommends"))
    print("kestravo-gateway-sim Depends:", sim.get("Depends"))
    for fields, architecture in ((window, arch), (sim, "all")):
        expect(fields.get("Version") == VERSION, f"{fields.get('Package')}: version {fields.get('Version')}")
        expect(fields.get("Architecture") == architecture,
               f"{fields.get('Package')}: architecture {fields.get('Architecture')}")
    depends = names(window.get("Depends", ""))
    # The libraries, as dpkg-shlibdeps found them (the history's SQLite among them).
    for needed in ("libc6", "libqt6core6", "libqt6gui6", "libqt6widgets6", "libsqlite3-0"):
        expect(needed in depends, f"kestravo: Depends lacks {needed}")
    # The stand-in's Python is not the window's, and the font only improves the look.
    for unwanted in ("python3", "python3-aiosmtpd", "fonts-wine", "qt6-qpa-plugins", "kestravo-gateway-sim"):
        expect(unwanted not in depends, f"kestravo: Depends names {unwanted}")
    expect("fonts-wine" in names(window.get("Recommends", "")), "kestravo: Recommends lacks fonts-wine")
    expect(names(sim.get("Depends", "")) == {"python3", "python3-aiosmtpd"},
           f"kestravo-gateway-sim: Depends {sim.get('Depends')}")


def check_binaries(root, build_folder):
    """Hardened (PIE, full RELRO, bind now, fortified, stack protector) and free of build paths."""
    for program in ("usr/bin/kestravo", "usr/bin/kestravo-record"):
        path = os.path.join(root, program)
        header = run(["readelf", "-h", "-l", "-d", "-s", "-W", path]).stdout
        expect(re.search(r"Type:\s+DYN", header) is not None, f"{program}: not position-independent")
        expect("GNU_RELRO" in header, f"{program}: no RELRO segment")
        expect(re.search(r"\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW", header) is not None, f"{program}: not bound now")
        expect("__stack_chk_fail" in header, f"{program}: no stack protector")
        expect(re.search(r"__\w+_chk@", header) is not None, f"{program}: no fortified function")
    needle = build_folder.encode()
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            if os.path.islink(path):
                continue
            with open(path, "rb") as f:
                expect(needle not in f.read(), f"{os.path.relpath(path, root)} names the build folder")


def check_validators(share):
    result = run(["desktop-file-validate", os.path.join(share, "applications", f"{APP_ID}.desktop")])
    expect(result.returncode == 0, "desktop-file-validate: " + result.stdout)
    result = run(["appstreamcli", "validate", "--no-net",
                  os.path.join(share, "metainfo", f"{APP_ID}.metainfo.xml")])
    expect(result.returncode == 0, "appstreamcli: " + result.stdout)
    for page in ("kestravo", "kestravo-record", "kestravo-gateway-sim"):
        result = run(["man", "--warnings", "-l", os.path.join(share, "man", "man1", f"{page}.1.gz")],
                     env=dict(os.environ, MANWIDTH="80"))
        expect(result.returncode == 0 and result.stderr == "", f"man {page}: {result.stderr}")


def main():
    missing = [t for t in TOOLS if shutil.which(t) is None]
    if missing:
        print("SKIPPED: not installed: " + ", ".join(missing)
              + " (scripts/install-deps.sh test installs them)")
        return SKIP

    with tempfile.TemporaryDirectory(prefix="kestravo-deb-") as work:
        # Always the same folder, so that ccache reuses the objects of the last run.
        out = os.path.join(BUILD, "package-deb")
        env = dict(os.environ, DEB_BUILD_OPTIONS="nocheck parallel=2")
        result = run([os.path.join(SOURCE, "packaging", "build-deb.sh"), out], timeout=1500, env=env)
        if result.returncode != 0:
            print(result.stdout[-8000:], result.stderr[-8000:])
            return 1
        src = os.path.join(out, "src", "kestravo")
        build = os.path.join(src, "debian", "build")
        with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as f:
            cache = f.read()
        for test_only in ("GTest_DIR:", "Qt6Test_DIR:"):
            expect(test_only not in cache, f"a nocheck build still looked for {test_only[:-5]}")

        arch = run(["dpkg", "--print-architecture"]).stdout.strip()
        debs = {"kestravo": os.path.join(out, f"kestravo_{VERSION}_{arch}.deb"),
                "kestravo-gateway-sim": os.path.join(out, f"kestravo-gateway-sim_{VERSION}_all.deb")}
        for name, deb in debs.items():
            if not os.path.isfile(deb):
                print("no package at", deb, "; found:", glob.glob(os.path.join(out, "*deb")))
                return 1
        check_control(debs, arch)

        # Each package alone holds its own files, with its licence and changelog.
        root = os.path.join(work, "root")
        for name, files in (("kestravo", WINDOW_FILES), ("kestravo-gateway-sim", SIM_FILES)):
            alone = os.path.join(work, name)
            result = run(["dpkg-deb", "-x", debs[name], alone])
            expect(result.returncode == 0, "dpkg-deb -x: " + result.stderr)
            check_layout(os.path.join(alone, "usr"), files + [f"share/doc/{name}/copyright",
                                                              f"share/doc/{name}/changelog.gz"], name)
            held = {os.path.relpath(os.path.join(d, f), os.path.join(alone, "usr"))
                    for d, _, fs in os.walk(alone) for f in fs}
            extra = sorted(p for p in held - set(files) if not p.startswith(f"share/doc/{name}/"))
            other = SIM_FILES if name == "kestravo" else WINDOW_FILES
            expect(not set(extra) & set(other), f"{name} holds the other package's {sorted(set(extra) & set(other))}")
            run(["dpkg-deb", "-x", debs[name], root])
        with open(os.path.join(root, "usr/share/doc/kestravo/copyright"), encoding="utf-8") as f:
            expect("License: Apache-2.0" in f.read(), "the copyright file does not give the Apache licence")

        # The same build installed by CMake: both packages' files, under any prefix.
        prefix = os.path.join(work, "prefix")
        result = run(["cmake", "--install", build, "--prefix", prefix])
        expect(result.returncode == 0, "cmake --install: " + result.stderr)
        check_layout(prefix, WINDOW_FILES + SIM_FILES, "cmake --install")

        check_binaries(root, os.path.join(out, "src"))
        check_validators(os.path.join(root, "usr", "share"))

        # The autopkgtest smoke test, against the unpacked programs.
        bindir = os.path.join(root, "usr", "bin")
        smoke_env = dict(os.environ, PATH=bindir + os.pathsep + os.environ["PATH"], AUTOPKGTEST_TMP="")
        result = run([os.path.join(SOURCE, "debian", "tests", "smoke")], timeout=180, cwd=SOURCE, env=smoke_env)
        print(result.stdout, result.stderr)
        expect(result.returncode == 0, "debian/tests/smoke failed")
        expect(result.stderr == "", "debian/tests/smoke wrote to stderr (autopkgtest counts it a failure)")

        # Lintian on the source and both packages: no error, no warning; the rest is printed for
        # the record.
        changes = glob.glob(os.path.join(out, "*.changes")) + glob.glob(os.path.join(out, "*.dsc"))
        expect(len(changes) == 2, f"no .changes and .dsc: {changes}")
        result = run(["lintian", "--fail-on", "error,warning", "--display-info", "--pedantic", *changes],
                     timeout=600)
        print(result.stdout, result.stderr)
        expect(result.returncode == 0, "lintian found errors or warnings")

    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("package checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
