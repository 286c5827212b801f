#!/usr/bin/env bash
# Sets up, builds and runs every test: the ordinary build (g++) with all
# tests, then the library tests again under AddressSanitizer and UBSan
# (clang), which also replays each fuzz target's seed corpus and builds the
# libFuzzer programs.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
export CCACHE_SLOPPINESS=time_macros
# Relative paths let clones in other folders share cached objects.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
jobs=$(nproc)

echo "== build (g++)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"

echo "== tests"
xvfb-run -a ctest --test-dir build --output-on-failure --timeout 300 -j "$jobs"

echo "== build with AddressSanitizer and UBSan (clang)"
cmake -S . -B build-san -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DZEM_SANITIZE=ON -DZEM_FUZZ=ON -DZEM_GUI=OFF -DZEM_BENCH=OFF >/dev/null
cmake --build build-san -j "$jobs"

echo "== tests under the sanitizers"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-san --output-on-failure --timeout 600 -j "$jobs"
