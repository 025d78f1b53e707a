#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages one kind of work needs; does nothing when all are present.
#
#   scripts/install-deps.sh build runtime           # make run: build and start the window
#   scripts/install-deps.sh build runtime test      # make test: every test too
#   scripts/install-deps.sh build runtime package   # make package: build and check the .debs
#   scripts/install-deps.sh bench                   # the benchmarks' tools
#   scripts/install-deps.sh --list build runtime    # print the packages, install nothing
#
# Without a list name it installs build, runtime and test.
set -euo pipefail

# Compilers and libraries to build the program and the record tool. debian/control's
# Build-Depends names the same (tests/package checks it), but for build-essential, which Debian
# implies, and ccache, used when present.
build=(
  build-essential cmake ninja-build ccache
  qt6-base-dev
  libsqlite3-dev
  libssl-dev
  qtkeychain-qt6-dev
)

# What the installed programs need to run (the packages of debian/control depend on, or
# recommend, the same).
runtime=(
  libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libqt6sql6 libqt6sql6-sqlite
  fonts-wine
  netbase
  python3 python3-aiosmtpd
  libssl3 libqt6keychain1
)

# Building the Debian packages with `make package` (with the tests debian/rules runs, whose
# GoogleTest is here; the rest is in build and runtime), `make package-check`, and the chroot of
# `make package-check-chroot`.
package=(
  dpkg-dev debhelper fakeroot file libgtest-dev
  lintian autopkgtest
  debootstrap
)

# The test suites: unit tests, the real window in a private X server, the Exim relay on
# loopback, fuzzing, and checks of the package, its desktop entry, metadata and manual pages.
test=(
  libgtest-dev googletest
  xvfb xauth x11-utils xdotool python3-xlib imagemagick python3-pil
  # a window manager, for the tests that drive the real window as a person does
  openbox
  exim4-daemon-light
  openssl
  # a desktop session's keyring (Secret Service) on a private D-Bus, for the password tests
  dbus-daemon gnome-keyring
  clang libclang-rt-14-dev
  curl
  desktop-file-utils appstream lintian man-db shared-mime-info
  "${package[@]}"
)

# Benchmarks run by hand; `make test` runs them once, tiny, and needs only curl of these.
bench=(
  curl hyperfine
)

usage() {
  echo "usage: $0 [--list] [build] [runtime] [package] [test] [bench]" >&2
  exit 2
}

list_only=0
wanted=()
for arg in "$@"; do
  case "$arg" in
    --list) list_only=1 ;;
    build) wanted+=("${build[@]}") ;;
    runtime) wanted+=("${runtime[@]}") ;;
    package) wanted+=("${package[@]}") ;;
    test) wanted+=("${test[@]}") ;;
    bench) wanted+=("${bench[@]}") ;;
    -h|--help) usage ;;
    *) echo "$0: unknown list '$arg'" >&2; usage ;;
  esac
done
[ ${#wanted[@]} -eq 0 ] && wanted=("${build[@]}" "${runtime[@]}" "${test[@]}")

# One copy of each name, in the order first given.
declare -A seen=()
packages=()
for p in "${wanted[@]}"; do
  if [ -z "${seen[$p]:-}" ]; then seen[$p]=1; packages+=("$p"); fi
done

if [ $list_only -eq 1 ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
export DEBIAN_FRONTEND=noninteractive

# Exim's maintainer scripts start the system daemon. Tests run their own Exim on a port of their
# own, and a container without an init system may fail that start, so services stay stopped during
# the install, unless the machine already has a policy of its own.
policy=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$policy" ]; then
  "${sudo[@]}" sh -c "printf '#!/bin/sh\nexit 101\n' > $policy && chmod 755 $policy"
  own_policy=1
fi
remove_policy() {
  if [ $own_policy -eq 1 ]; then "${sudo[@]}" rm -f "$policy"; fi
}
trap remove_policy EXIT

apt=("${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600)
"${apt[@]}" update -q
"${apt[@]}" install -y -q --no-install-recommends "${missing[@]}"
