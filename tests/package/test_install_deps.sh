#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# scripts/install-deps.sh installs per kind of work: `make run` gets no test packages, the test
# list has every tool the tests call.
set -uo pipefail

deps="$KESTRAVO_SOURCE_DIR/scripts/install-deps.sh"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

list() { "$deps" --list "$@"; }
has() { grep -qx -- "$2" <<<"$1"; }

run_list=$(list build runtime) || fail "--list build runtime exited $?"
for p in qt6-base-dev cmake ninja-build libqt6sql6-sqlite fonts-wine python3-aiosmtpd; do
    has "$run_list" "$p" || fail "build+runtime lacks $p"
done
for p in libgtest-dev googletest xvfb exim4-daemon-light lintian hyperfine; do
    has "$run_list" "$p" && fail "build+runtime (make run) installs the test or bench package $p"
done

test_list=$(list test)
for p in libgtest-dev xvfb xdotool exim4-daemon-light clang libclang-rt-14-dev desktop-file-utils \
         appstream lintian dpkg-dev debhelper autopkgtest man-db file; do
    has "$test_list" "$p" || fail "the test list lacks $p"
done
has "$(list bench)" hyperfine || fail "the bench list lacks hyperfine"
has "$(list bench)" curl || fail "the bench list lacks curl"

[[ "$(list)" == "$(list build runtime test)" ]] || fail "no list name is not build runtime test"
[[ "$(list build build | sort | uniq -d)" == "" ]] || fail "a package is listed twice"

"$deps" --list nonsense >/dev/null 2>&1
[[ $? -eq 2 ]] || fail "an unknown list name is not refused with exit 2"

# debian/control against these lists: tests/package/test_debian_source.py.

if ((failures > 0)); then echo "$failures check(s) failed"; exit 1; fi
echo "install-deps: all checks passed"
