#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Runs debian/tests against the packages in DIR (tests/package/autopkgtest.sh DIR) with
# autopkgtest's null virtualisation server: on this machine, which it changes, so only as root
# and where apt can install the packages' dependencies. autopkgtest installs the packages; they
# are purged again afterwards unless they were installed before.
set -eu

dir=${1:?usage: $0 DIR}
top=$(cd "$(dirname "$0")/../.." && pwd)
skip() {
    echo "autopkgtest: skipped: $*"
    exit 0
}
command -v autopkgtest >/dev/null 2>&1 || skip "autopkgtest is not installed"
[ "$(id -u)" -eq 0 ] || skip "the null server installs the packages, which needs root"

set -- "$dir"/kestravo_*.deb "$dir"/kestravo-gateway-sim_*.deb
for deb; do [ -f "$deb" ] || skip "no package $deb; run make package"; done

installed_before=
for p in kestravo kestravo-gateway-sim; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        installed_before="$installed_before $p"
    fi
done

status=0
rm -rf "$dir/autopkgtest"
autopkgtest --no-built-binaries --output-dir "$dir/autopkgtest" "$@" "$top" -- null || status=$?

if [ -z "$installed_before" ]; then
    apt-get -o DPkg::Lock::Timeout=600 purge -y -q kestravo kestravo-gateway-sim >/dev/null || true
fi
# 0: all passed; 2: some were skipped; anything else failed.
[ $status -eq 0 ] || [ $status -eq 2 ] || { echo "autopkgtest failed ($status)"; exit 1; }
echo "autopkgtest: passed"
