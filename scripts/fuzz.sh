#!/usr/bin/env bash
# Runs one libFuzzer target: scripts/fuzz.sh NAME [SECONDS]. New inputs go to
# fuzz-out/NAME, crashes to fuzz-out/NAME-crashes; the seed corpus is read only.
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: scripts/fuzz.sh NAME [SECONDS]}
seconds=${2:-600}

bash scripts/setup.sh
export CCACHE_SLOPPINESS=time_macros
# Relative paths let clones in other folders share cached objects.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DZEM_SANITIZE=ON -DZEM_FUZZ=ON -DZEM_GUI=OFF -DZEM_BENCH=OFF >/dev/null
cmake --build build-fuzz --target "fuzz_$name"
mkdir -p "fuzz-out/$name" "fuzz-out/$name-crashes"
# Leaks that system codec libraries make on malformed input are not ours.
export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
exec "build-fuzz/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="fuzz-out/$name-crashes/" "fuzz-out/$name" "fuzz/corpus/$name"
