#!/bin/sh
# Runs each fuzz target for SECONDS (default 60) on a copy of its corpus.
#   fuzz/run.sh [SECONDS] [TARGET...]
set -e
cd "$(dirname "$0")/.."
SECS=${1:-60}
[ $# -gt 0 ] && shift
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DZEL_FUZZ=ON -DZEL_BUILD_TESTS=OFF -DZEL_BUILD_TOOLS=OFF -DZEL_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j2 >/dev/null
TARGETS=${*:-$(cd build-fuzz/fuzz && ls fuzz_* | grep -v '\.')}
for t in $TARGETS; do
  mkdir -p build-fuzz/corpus/$t
  cp -n fuzz/corpus/$t/* build-fuzz/corpus/$t/ 2>/dev/null || true
  echo "== $t ($SECS s)"
  build-fuzz/fuzz/$t -max_total_time="$SECS" -print_final_stats=1 build-fuzz/corpus/$t 2>&1 | grep -E "stat::number_of_executed_units|ERROR|SUMMARY|crash-" || true
done
