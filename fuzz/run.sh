#!/bin/sh
# Builds the fuzz targets (clang, ASan + UBSan) and runs each for SECONDS (default 60) on a copy
# of its checked-in corpus, one after the other, niced, so the machine stays usable.
#   fuzz/run.sh [SECONDS] [TARGET...]
# FUZZ_RUNS=N stops each target after N executions instead (SECONDS stays the upper bound):
#   FUZZ_RUNS=10000000 fuzz/run.sh 3600
# A run is reported as its execution count and rate and the sanitizer's verdict; a crashing,
# leaking or hanging input (more than 10 s for one run) is written to build-fuzz/artifacts/.
set -e
cd "$(dirname "$0")/.."
SECS=${1:-60}
[ $# -gt 0 ] && shift
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DZEL_FUZZ=ON -DZEL_BUILD_TESTS=OFF -DZEL_BUILD_TOOLS=OFF -DZEL_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j2 >/dev/null
TARGETS=${*:-$(cd build-fuzz/fuzz && ls fuzz_* | grep -v '\.')}
RUNS=${FUZZ_RUNS:+-runs=$FUZZ_RUNS}
mkdir -p build-fuzz/artifacts
status=0
for t in $TARGETS; do
  mkdir -p build-fuzz/corpus/$t
  cp -n fuzz/corpus/$t/* build-fuzz/corpus/$t/ 2>/dev/null || true
  echo "== $t (at most $SECS s${FUZZ_RUNS:+, $FUZZ_RUNS runs})"
  log=build-fuzz/$t.log
  if nice -n 10 build-fuzz/fuzz/$t -max_total_time="$SECS" $RUNS -timeout=10 -print_final_stats=1 \
      -artifact_prefix=build-fuzz/artifacts/$t- build-fuzz/corpus/$t >"$log" 2>&1; then
    echo "   no crash, hang or sanitizer report"
  else
    echo "   FAILED: see $log"
    status=1
  fi
  grep -E "stat::number_of_executed_units|stat::average_exec_per_sec|^SUMMARY|ERROR:|artifact" "$log" | sed 's/^/   /' || true
done
exit $status
