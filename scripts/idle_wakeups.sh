#!/usr/bin/env bash
# Measures what the program costs while nothing happens: with a 5,000-sample
# zem open and its hit analysis finished, the wake-ups a second (voluntary
# context switches, per thread and in all) and the share of one core over
# 10 s, against an empty framework window measured in the same run (the
# floor: what the framework's own display timer costs). Needs a display
# (xvfb-run).
#
#   xvfb-run -a scripts/idle_wakeups.sh [driver binary]
set -euo pipefail
cd "$(dirname "$0")/.."

driver=${1:-build/tests/zem_open_driver}
saver=build/tests/zem_save_driver
[ -x "$driver" ] || { echo "no driver at $driver (build the zem_open_driver target)" >&2; exit 2; }
[ -x "$saver" ] || { echo "no kit writer at $saver (build the zem_save_driver target)" >&2; exit 2; }

work=$(mktemp -d /tmp/zem_idle_XXXXXX)
pid=
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
export TMPDIR="$work" XDG_CONFIG_HOME="$work/config"
mkdir "$work/config"
"$saver" --kit "$work/many.zem" 5000 2000

switches() {
  local total=0 n
  for t in /proc/"$1"/task/*; do
    n=$(awk '/^voluntary_ctxt_switches/ {print $2}' "$t/status" 2>/dev/null || echo 0)
    total=$((total + n))
  done
  echo "$total"
}
ticks() { awk '{print $14 + $15}' /proc/"$1"/stat; }

measure() {
  local label=$1; shift
  "$driver" "$@" >/dev/null 2>&1 &
  pid=$!
  # The open, its first paint and the background hit analysis end well within this.
  sleep "${SETTLE:-20}"
  local s0 t0 s1 t1
  s0=$(switches "$pid"); t0=$(ticks "$pid")
  sleep 10
  s1=$(switches "$pid"); t1=$(ticks "$pid")
  kill "$pid"; wait "$pid" 2>/dev/null || true; pid=
  local hz; hz=$(getconf CLK_TCK)
  awk -v l="$label" -v w=$(( (s1 - s0) )) -v c=$(( t1 - t0 )) -v hz="$hz" \
    'BEGIN { printf "%-28s %7.1f wake-ups/s  %5.2f %% of a core\n", l, w / 10, c * 100 / hz / 10 }'
}

measure "empty framework window" --bare
measure "program, 5,000 samples open" "$work/many.zem"
