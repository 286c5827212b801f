#!/usr/bin/env bash
# Builds and runs every benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
export CCACHE_SLOPPINESS=time_macros
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
for b in build/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "== $b"
  "$b"
done
