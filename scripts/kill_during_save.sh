#!/usr/bin/env bash
# Kills the real program window at random moments while it saves a large
# file over itself (Ctrl+S after one edit), and checks after each kill that
# the file opens as the old one (byte for byte) or as the whole new one
# (holding the edit), never as anything else. Nothing is deleted between the
# tries: what a killed run leaves (save temporaries beside the target,
# working copies and its lock in the temporary folder) is counted, and the
# next start must have removed every earlier run's leftovers; a last clean
# run must leave none at all. Needs a display (xvfb-run).
#
# With signals other than KILL (a comma-separated list, taken in turn) the
# program ends itself and must leave nothing of its own behind at all.
#
#   scripts/kill_during_save.sh [tries] [samples] [frames per sample] [driver binary] [signals]
set -euo pipefail
cd "$(dirname "$0")/.."

tries=${1:-12}
samples=${2:-48}
frames=${3:-88200}
driver=${4:-build/tests/zem_save_driver}
IFS=, read -r -a signals <<<"${5:-KILL}"
[ -x "$driver" ] || { echo "no driver at $driver (build the zem_save_driver target)" >&2; exit 2; }

work=$(mktemp -d /tmp/zem_kill_save_XXXXXX)
trap 'rm -rf "$work"' EXIT
# The program's working copies and locks go here, where they are counted.
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

# The program's own files besides the target: everything else in the
# target's folder, and its names in the temporary folder.
ours() {
  find "$work/target_dir" -mindepth 1 ! -path "$target"
  find "$work" -maxdepth 1 -name 'zem-rivir-*'
}

kept_old=0; whole_new=0; damaged=0; missing=0; leftovers=0; stale=0; own_left=0
for ((i = 1; i <= tries; i++)); do
  cp "$work/old.zem" "$target"
  rm -f "$work/out"; mkfifo "$work/out"
  "$driver" "$target" >"$work/out" 2>/dev/null &
  pid=$!
  # Held open to the end: a run whose save ends before the kill quits as it
  # would, instead of dying of a closed pipe.
  exec 3<"$work/out"
  read -r _ <&3  # the save job has started
  # Spread the kills evenly over the span, with a random offset in each slot.
  sleep "$(awk -v i="$i" -v n="$tries" -v s="$RANDOM" -v m="$span_ms" \
    'BEGIN { printf "%.3f", ((i - 1) + s / 32767.0) / n * m / 1000.0 }')"
  sig=${signals[$(( (i - 1) % ${#signals[@]} ))]}
  kill -s "$sig" "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  exec 3<&-
  if [ ! -e "$target" ]; then
    missing=$((missing + 1))
  elif [ "$(sha256sum <"$target" | cut -d' ' -f1)" = "$old_sum" ]; then
    kept_old=$((kept_old + 1))
  elif [ "$("$driver" --check "$target")" = new ]; then
    whole_new=$((whole_new + 1))
  else
    damaged=$((damaged + 1))
  fi
  # This run's files carry its process id (8 hex digits) in their names;
  # any other left over is one an earlier kill left and this start kept.
  tag=$(printf '%08x' "$pid")
  left=$(ours | wc -l)
  earlier=$(ours | grep -v -c -- "$tag" || true)
  [ "$sig" = KILL ] || own_left=$((own_left + left - earlier))
  leftovers=$((leftovers + left - earlier))
  stale=$((stale + earlier))
done

# A last run to its end: its start and its save remove what the last kill
# left, and it leaves nothing of its own.
cp "$work/old.zem" "$target"
"$driver" "$target" >/dev/null 2>&1 || { echo "the last save did not finish" >&2; exit 1; }
remaining=$(ours | wc -l)

echo "tries $tries: old bytes kept $kept_old, whole new file $whole_new, damaged $damaged, missing $missing;" \
     "files left by killed runs $leftovers, earlier runs' files a later start kept $stale," \
     "files left after a last clean run $remaining, files a run ended by a signal it handles left $own_left"
ours | sed 's/^/left: /' >&2
[ "$damaged" -eq 0 ] && [ "$missing" -eq 0 ] && [ "$stale" -eq 0 ] && [ "$remaining" -eq 0 ] && [ "$own_left" -eq 0 ]
