#!/usr/bin/env bash
# Times the real program window from the answer to the "Unsaved changes"
# question (Discard) to the end of its process, with a 5,000-sample zem open,
# edited and its hit analysis measuring. Needs a display (xvfb-run). Prints
# one time per run.
#
#   scripts/quit_timing.sh [runs] [driver binary]
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-5}
driver=${2:-build/tests/zem_save_driver}
[ -x "$driver" ] || { echo "no driver at $driver (build the zem_save_driver target)" >&2; exit 2; }

work=$(mktemp -d /tmp/zem_quit_XXXXXX)
trap 'rm -rf "$work"' EXIT
export TMPDIR="$work" XDG_CONFIG_HOME="$work/config"
mkdir "$work/config"
"$driver" --kit "$work/many.zem" 5000 2000

for ((i = 1; i <= runs; i++)); do
  answer=$("$driver" --quit "$work/many.zem" | sed -n 's/^answer //p')
  ended=$(date +%s%N)
  [ -n "$answer" ] || { echo "run $i: the question was never answered" >&2; exit 1; }
  echo "run $i: answer to end of process $(( (ended - answer) / 1000000 )) ms"
done
