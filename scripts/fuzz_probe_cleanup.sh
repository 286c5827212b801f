#!/usr/bin/env bash
# Kills fuzz entry points (their replay programs) in the middle of a run and
# checks that they left nothing in the temporary folder: a fuzzer's driver
# ends its workers with signals, so cleanup at exit is not enough.
#
#   scripts/fuzz_probe_cleanup.sh <corpus root> <replay binary>...
set -euo pipefail
corpus_root=$1
shift
work=$(mktemp -d /tmp/zem_fuzz_probe_XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
for binary in "$@"; do
  name=$(basename "$binary"); name=${name#replay_}
  seed=$(find "$corpus_root/$name" -type f | sort | head -n 1)
  rm -rf "$work/tmp"; mkdir "$work/tmp"
  rm -f "$work/wait"; mkfifo "$work/wait"
  # The seed goes through the probe file; the FIFO then holds the program
  # until it is killed.
  TMPDIR="$work/tmp" "$binary" "$seed" "$work/wait" >/dev/null 2>&1 &
  pid=$!
  sleep 0.5
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  left=$(find "$work/tmp" -mindepth 1 | wc -l)
  echo "$name: $left files left in the temporary folder after a kill"
  [ "$left" -eq 0 ] || failed=1
done
exit "$failed"
