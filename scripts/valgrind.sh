#!/bin/sh
# The whole test suite under valgrind memcheck: every unit, integration and CLI test program, and
# a short fault soak, each in one valgrind process. Any memory error, and any leak other than the
# version text blocks that ZEL_GetVersion hands to its caller (scripts/valgrind.supp), fails it.
#   scripts/valgrind.sh [BUILD_DIR]        (default build-vg; logs in BUILD_DIR/valgrind/)
set -u
cd "$(dirname "$0")/.."
BUILD=${1:-build-vg}
cmake -S . -B "$BUILD" -DZEL_BUILD_BENCH=OFF >/dev/null || exit 1
cmake --build "$BUILD" -j2 >/dev/null || exit 1
LOGS=$BUILD/valgrind
rm -rf "$LOGS" && mkdir -p "$LOGS"
VG="valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible --suppressions=$PWD/scripts/valgrind.supp --gen-suppressions=all"
failed=0
run() {
  name=$1
  shift
  if $VG --log-file="$LOGS/$name.log" "$@" >"$LOGS/$name.out" 2>&1; then
    printf '%-28s clean  (%s)\n' "$name" "$(grep -E 'ERROR SUMMARY' "$LOGS/$name.log" | sed 's/==[0-9]*== //')"
  else
    printf '%-28s FAILED (exit %s): %s\n' "$name" "$?" "$LOGS/$name.log"
    failed=1
  fi
}
for t in $(find "$BUILD/tests" "$BUILD/tools" -maxdepth 2 -type f -name '*_test' -perm -u+x | sort); do
  run "$(basename "$t")" "$t"
done
[ -x "$BUILD/tests/soak/zel_soak" ] && run zel_soak "$BUILD/tests/soak/zel_soak" --points 40 --seed 3
exit $failed
