#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Runs one libFuzzer binary from its committed corpus for a number of seconds. New inputs and
# any crash go to a fresh folder under the system's temporary folder, never into the tree; a
# crash keeps that folder and names the file to add to the corpus.
# usage: run_fuzzer.sh FUZZER CORPUS_FOLDER SECONDS [libFuzzer options...]
set -u
if [ $# -lt 3 ]; then
  echo "usage: $0 FUZZER CORPUS_FOLDER SECONDS [options...]" >&2
  exit 2
fi
fuzzer=$1
corpus=$2
seconds=$3
shift 3
name=$(basename "$fuzzer")
work=$(mktemp -d "${TMPDIR:-/tmp}/kestravo-$name.XXXXXX") || exit 1
mkdir "$work/corpus" "$work/crashes"

# The first folder receives new inputs; the committed corpus is only read.
"$fuzzer" "$work/corpus" "$corpus" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 \
  -artifact_prefix="$work/crashes/" -print_final_stats=1 "$@"
status=$?

if [ $status -ne 0 ] || [ -n "$(ls -A "$work/crashes")" ]; then
  echo "$name: FAILED (exit $status). Kept $work" >&2
  for f in "$work"/crashes/*; do
    [ -e "$f" ] || continue
    echo "  failing input: $f" >&2
    echo "  replay it:     $fuzzer $f" >&2
    echo "  keep it as a regression test: cp $f $corpus/" >&2
  done
  exit 1
fi
echo "$name: $seconds s, $(ls "$work/corpus" | wc -l) new inputs, no failure"
rm -rf "$work"
exit 0
