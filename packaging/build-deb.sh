#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages from this tree as a distribution would, out of the tree:
#
#   packaging/build-deb.sh OUT [dpkg-buildpackage options]
#
# OUT/src/kestravo gets a clean copy of the tree (the files git knows, with their uncommitted
# edits, and new files git does not ignore; no build folders), dpkg-buildpackage -us -uc -b runs
# there, and the .deb, .ddeb, .buildinfo and .changes files are moved to OUT, with the source
# package (.dsc and .tar.xz) that dpkg-source makes of the copy first. OUT is emptied first.
#
# KESTRAVO_DEB_FILE_TIME=SECONDS sets the time of every file of the copy (since 1970), which must
# change nothing in the packages (tests/package/test_reproducible.py).
#
# DEB_BUILD_OPTIONS defaults to parallel=2. ccache is used when installed (and never needed): it
# is given to CMake through CMAKE_CXX_COMPILER_LAUNCHER, with its cache where the user keeps it,
# since debhelper points HOME elsewhere during the build; the packages are the same with or
# without it.
set -eu

[ $# -ge 1 ] || { echo "usage: $0 OUT [dpkg-buildpackage options]" >&2; exit 2; }
out=$1
shift
top=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)
case "$out/" in
    "$top/"*)
        # Else the copy of the tree would take in the copies of earlier runs.
        if ! git -C "$top" check-ignore -q "$out/src" 2>/dev/null; then
            echo "$0: $out lies in the tree, in a folder git does not ignore" >&2
            exit 2
        fi ;;
esac

rm -rf "$out/src"
find "$out" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.ddeb' -o -name '*.buildinfo' \
    -o -name '*.changes' -o -name '*.dsc' -o -name '*.tar.*' \) -delete
src=$out/src/kestravo
mkdir -p "$src"
if git -C "$top" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    # Deleted files are still in the index; only what exists is copied.
    git -C "$top" ls-files -z --cached --others --exclude-standard |
        (cd "$top" && xargs -0 sh -c 'for f; do [ -e "$f" ] || [ -L "$f" ] && printf "%s\0" "$f"; done' sh) |
        (cd "$top" && tar --null -T - -cf -) | tar -xf - -C "$src"
else
    (cd "$top" && tar --exclude='./build*' --exclude='./obj-*' -cf - .) | tar -xf - -C "$src"
fi

if [ -n "${KESTRAVO_DEB_FILE_TIME:-}" ]; then
    find "$src" -exec touch -h -d "@$KESTRAVO_DEB_FILE_TIME" {} +
fi

export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=2}"
if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] && command -v ccache >/dev/null 2>&1; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
if command -v ccache >/dev/null 2>&1; then
    CCACHE_DIR=${CCACHE_DIR:-$(ccache --get-config cache_dir)}
    export CCACHE_DIR
fi
# No ccache base folder (the Makefile sets one for the other builds): with one, ccache hands the
# compiler relative paths, and the debug information, so the build IDs, so the binaries, would
# differ from those of a build without ccache. Objects are reused by builds in the same folder,
# as make package's is.
export CCACHE_BASEDIR=

# The source package first, from the clean copy: what a distribution's build service rebuilds.
(cd "$out/src" && dpkg-source -b kestravo)
(cd "$src" && dpkg-buildpackage -us -uc -b "$@")

for f in "$out"/src/*.dsc "$out"/src/*.tar.* "$out"/src/*.deb "$out"/src/*.ddeb "$out"/src/*.buildinfo "$out"/src/*.changes; do
    if [ -e "$f" ]; then mv "$f" "$out/"; fi
done
ls "$out"
