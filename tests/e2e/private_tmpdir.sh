#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The tests that switch to another user (the record writer's table, which writes as "nobody",
# and the Exim relay, whose daemon runs as "nobody") run again with TMPDIR inside a folder of
# mode 0700, which that user cannot enter: they must find a temporary folder it can reach.
#
# Usage: private_tmpdir.sh RECORD_TESTS EXIM_SCRIPT EXIM_ARGS...
# Exit status: 0 passed, 1 failed, 77 skipped (not root: no test switches user then).
set -euo pipefail

record_tests=$1
exim_script=$2
shift 2

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: only root's runs switch user; run as root to check them under a private TMPDIR"
  exit 77
fi
if ! id nobody > /dev/null 2>&1; then
  echo "SKIP: no user \"nobody\" to switch to"
  exit 77
fi

private=$(mktemp -d)
trap 'rm -rf "$private"' EXIT
chmod 700 "$private"
mkdir -m 755 "$private/tmp"
export TMPDIR=$private/tmp
if setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups -- test -x "$TMPDIR"; then
  echo "FAIL: nobody can reach $TMPDIR; the check would prove nothing"
  exit 1
fi

failed=0
echo "---- the record writer's table as nobody, TMPDIR=$TMPDIR"
out=$("$record_tests" --gtest_filter='Kinds/WriteRecordFileTest.*' 2>&1) || failed=1
echo "$out"
# As root every row runs: a row skipped here would hide exactly what this test is for.
if grep -q '^\[  SKIPPED \]' <<< "$out"; then
  echo "FAIL: rows were skipped"
  failed=1
fi

echo "---- the Exim relay, TMPDIR=$TMPDIR"
status=0
bash "$exim_script" "$@" || status=$?
case $status in
  0) ;;
  77) echo "(the Exim relay test skipped itself; its reason is above)" ;;
  *) failed=1 ;;
esac

[ $failed -eq 0 ] && echo "passed" || echo "FAIL"
exit $failed
