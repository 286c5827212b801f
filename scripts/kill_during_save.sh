#!/usr/bin/env bash
# Kills the real program window at random moments while it saves a large
# file over itself (Ctrl+S after one edit), and checks after each kill that
# the file opens as the old one (byte for byte) or as the whole new one
# (holding the edit), never as anything else. Needs a display (xvfb-run).
#
#   scripts/kill_during_save.sh [tries] [samples] [frames per sample] [driver binary]
set -euo pipefail
cd "$(dirname "$0")/.."

tries=${1:-12}
samples=${2:-48}
frames=${3:-88200}
driver=${4:-build/tests/zem_save_driver}
[ -x "$driver" ] || { echo "no driver at $driver (build the zem_save_driver target)" >&2; exit 2; }

work=$(mktemp -d /tmp/zem_kill_save_XXXXXX)
trap 'rm -rf "$work"' EXIT
# The program's working copies go here too, so killed runs leave nothing behind.
export TMPDIR="$work"
export XDG_CONFIG_HOME="$work/config"
mkdir "$work/target_dir" "$work/config"
target="$work/target_dir/library.zem"

"$driver" --kit "$work/old.zem" "$samples" "$frames"
old_sum=$(sha256sum <"$work/old.zem" | cut -d' ' -f1)

# One whole run: how long the save takes, and that it ends in the new file.
cp "$work/old.zem" "$target"
"$driver" "$target" | while read -r line; do
  case "$line" in
    saving) date +%s%N >"$work/t0" ;;
    saved) date +%s%N >"$work/t1" ;;
  esac
done
[ -s "$work/t1" ] || { echo "the uninterrupted save did not finish" >&2; exit 1; }
[ "$("$driver" --check "$target")" = new ] || { echo "the uninterrupted save did not write the edit" >&2; exit 1; }
span_ms=$(( ($(cat "$work/t1") - $(cat "$work/t0")) / 1000000 + 20 ))
echo "one save takes about ${span_ms} ms; killing at random points within it"

kept_old=0; whole_new=0; damaged=0; missing=0; leftovers=0
for ((i = 1; i <= tries; i++)); do
  rm -rf "$work/target_dir"; mkdir "$work/target_dir"
  cp "$work/old.zem" "$target"
  rm -f "$work/out"; mkfifo "$work/out"
  "$driver" "$target" >"$work/out" 2>/dev/null &
  pid=$!
  read -r _ <"$work/out"  # the save job has started
  # Spread the kills evenly over the span, with a random offset in each slot.
  sleep "$(awk -v i="$i" -v n="$tries" -v s="$RANDOM" -v m="$span_ms" \
    'BEGIN { printf "%.3f", ((i - 1) + s / 32767.0) / n * m / 1000.0 }')"
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  if [ ! -e "$target" ]; then
    missing=$((missing + 1))
  elif [ "$(sha256sum <"$target" | cut -d' ' -f1)" = "$old_sum" ]; then
    kept_old=$((kept_old + 1))
  elif [ "$("$driver" --check "$target")" = new ]; then
    whole_new=$((whole_new + 1))
  else
    damaged=$((damaged + 1))
  fi
  others=$(find "$work/target_dir" -mindepth 1 ! -path "$target" | wc -l)
  leftovers=$((leftovers + others))
  find "$work" -maxdepth 1 -name '*.zem' ! -name old.zem -delete
done

echo "tries $tries: old bytes kept $kept_old, whole new file $whole_new, damaged $damaged, missing $missing;" \
     "temporaries left by killed saves $leftovers"
[ "$damaged" -eq 0 ] && [ "$missing" -eq 0 ]
