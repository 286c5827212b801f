#!/usr/bin/env bash
# Kills the writer at random moments while it replaces a large file, and
# checks after each kill that the target holds either its old bytes or the
# whole new file, never anything else. Prints the counts.
#
#   scripts/kill_during_write.sh [tries] [payload MiB] [probe binary]
set -euo pipefail
cd "$(dirname "$0")/.."

tries=${1:-300}
mib=${2:-64}
probe=${3:-build/tests/zem_write_probe}
[ -x "$probe" ] || { echo "no probe at $probe (build the zem_write_probe target)" >&2; exit 2; }

work=$(mktemp -d /tmp/zem_kill_XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/target_dir"
target="$work/target_dir/library.zem"

# The old file (seed 1) and the expected new one (seed 2), written whole.
"$probe" "$work/old.zem" "$mib" 1 >/dev/null
"$probe" "$work/new.zem" "$mib" 2 >/dev/null
old_sum=$(sha256sum <"$work/old.zem" | cut -d' ' -f1)
new_sum=$(sha256sum <"$work/new.zem" | cut -d' ' -f1)

# How long one write takes once staged, so the kills spread over all of it.
cp "$work/old.zem" "$target"

"$probe" "$target" "$mib" 2 | while read -r line; do
  if [ "$line" = writing ]; then date +%s%N >"$work/t0"; fi
done
span_ms=$(( ($(date +%s%N) - $(cat "$work/t0")) / 1000000 + 50 ))
echo "one write takes about ${span_ms} ms; killing at random points within it"

kept_old=0; whole_new=0; damaged=0; missing=0; leftovers=0
for ((i = 1; i <= tries; i++)); do
  rm -rf "$work/target_dir"; mkdir "$work/target_dir"
  cp "$work/old.zem" "$target"
  rm -f "$work/out"; mkfifo "$work/out"
  "$probe" "$target" "$mib" 2 >"$work/out" 2>/dev/null &
  pid=$!
  read -r _ <"$work/out"  # staged: the write starts now
  sleep "$(awk -v s="$RANDOM" -v m="$span_ms" 'BEGIN { printf "%.3f", (s / 32767.0) * m / 1000.0 }')"
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  if [ ! -e "$target" ]; then
    missing=$((missing + 1))
  else
    sum=$(sha256sum <"$target" | cut -d' ' -f1)
    if [ "$sum" = "$old_sum" ]; then kept_old=$((kept_old + 1))
    elif [ "$sum" = "$new_sum" ]; then whole_new=$((whole_new + 1))
    else damaged=$((damaged + 1)); fi
  fi
  others=$(find "$work/target_dir" -mindepth 1 ! -path "$target" | wc -l)
  leftovers=$((leftovers + others))
done

echo "tries $tries: old bytes kept $kept_old, whole new file $whole_new, damaged $damaged, missing $missing;" \
     "temporaries left by killed writers $leftovers"
[ "$damaged" -eq 0 ] && [ "$missing" -eq 0 ]
