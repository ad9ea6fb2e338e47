#!/bin/bash
# Cross-builds ZEL_863_DLL.dll and the conformance host, checks the DLL's export and import
# tables, and runs the host under Wine against zel-sim instruments on pseudo-terminals linked as
# the prefix's COM ports.
#
#   run_wine_tests.sh win64|win32 SOURCE_DIR BUILD_DIR ZEL_SIM [WERROR 0|1]
#
# BUILD_DIR holds the cross build, the Wine prefix and the run's files; a second run reuses all
# three. Passes only on the host's own lines: every check "PASS", none "FAIL", and the closing
# "N passed, 0 failed". Wine's exit code alone proves nothing (a 32-bit program without wine32
# does nothing and exits 0).
set -u

arch=${1:?win64 or win32}
src=$(cd "${2:?source dir}" && pwd)
build=${3:?build dir}
sim=${4:?zel-sim}
werror=${5:-1}
case $arch in
  win64) toolchain=$src/cmake/toolchain-mingw64.cmake; objdump=x86_64-w64-mingw32-objdump ;;
  win32) toolchain=$src/cmake/toolchain-mingw32.cmake; objdump=i686-w64-mingw32-objdump ;;
  *) echo "unknown arch $arch" >&2; exit 2 ;;
esac
case $werror in ON|on|TRUE|true|1) werror=ON ;; *) werror=OFF ;; esac

# Debian's wine starts its 32-bit loader first. A kernel that runs no 32-bit x86 programs (IA-32
# emulation off) cannot exec it: the 64-bit host then runs on the 64-bit loader directly, and the
# 32-bit DLL cannot be run at all, which is reported as a skip (77), not as a pass.
wine_loader=wine
if [ -x /usr/lib/wine/wine ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1 &&
  [ -x /usr/lib/wine/wine64 ]; then
  if [ "$arch" = win32 ]; then
    echo "SKIP: this kernel runs no 32-bit x86 programs, so Wine cannot run the 32-bit DLL"
    exit 77
  fi
  wine_loader=/usr/lib/wine/wine64
fi
wine() { command "$wine_loader" "$@"; }

mkdir -p "$build"
build=$(cd "$build" && pwd)
work=$build/run
mkdir -p "$work"

failed=0
check() {  # check NAME CONDITION-STATUS WHY
  if [ "$2" -eq 0 ]; then echo "PASS $1"; else echo "FAIL $1: $3"; failed=$((failed + 1)); fi
}

# 1. The cross build (incremental after the first run).
if ! cmake -S "$src" -B "$build/cross" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_WERROR=$werror >"$work/cross-configure.log" 2>&1 ||
  ! cmake --build "$build/cross" -j2 --target ZEL_863_DLL zel_conformance host_example \
    >"$work/cross-build.log" 2>&1; then
  cat "$work/cross-configure.log" "$work/cross-build.log"
  echo "FAIL cross_build: see above"
  exit 1
fi
dll=$build/cross/ZEL_863_DLL.dll
exe=$build/cross/tests/wine/zel_conformance.exe
echo "PASS cross_build"

# 2. Exports: exactly the functions the header declares, under their plain names; imports: only
# the system DLLs every Windows has (the C++ runtime is inside).
want=$(grep -oE 'ZEL_CALL +ZEL_[A-Za-z0-9_]+\(' "$src/include/ZEL_863_DLL.h" |
  sed -E 's/ZEL_CALL +//; s/\($//' | sort | tr '\n' ' ')
have=$($objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  grep -oE '^\s+\[ *[0-9]+\] +[^ ]+$' | sed -E 's/^.*\] +//' | sort | tr '\n' ' ')
[ -n "$want" ] && [ "$want" = "$have" ]
check dll.exports_are_the_header_functions $? "header: $want / dll: $have"
imports=$($objdump -p "$dll" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
[ "$imports" = "kernel32.dll msvcrt.dll user32.dll " ]
check dll.imports_only_kernel32_user32_msvcrt $? "imports: $imports"

# 3. A headless prefix of its own, one wineserver kept for the whole run.
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
sims=()
cleanup() {
  # Wine first, while the pseudo-terminals still exist: a wineserver that loses its ports
  # under an open handle can hang.
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${sims[@]}"; do wait "$pid" 2>/dev/null; done
}
trap cleanup EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  if ! wine wineboot --init >"$work/wineboot.log" 2>&1; then
    cat "$work/wineboot.log"
    echo "FAIL wine_prefix: wineboot --init failed"
    exit 1
  fi
fi
wineserver -p
# Wine's device manager makes COM links for the machine's serial ports when the session starts;
# it runs before the simulators are linked, so it cannot replace their links.
wine cmd.exe /c exit >/dev/null 2>&1

# 4. The instruments, as zel_conformance.c expects them.
sim_on() {  # sim_on PORT zel-sim options...
  local port=$1
  shift
  local link=$WINEPREFIX/dosdevices/com$port
  rm -f "$link"
  "$sim" --no-stdin --link "$link" --log "$work/com$port.log" "$@" \
    >"$work/com$port.out" 2>"$work/com$port.err" &
  sims+=($!)
  for _ in $(seq 50); do [ -L "$link" ] && return 0; sleep 0.1; done
  echo "FAIL sim_com$port: no link; $(cat "$work/com$port.err")"
  exit 1
}
rm -f "$work"/com*.log "$work"/*.cal
sim_on 1 --model standard --dut r=75,x=20
sim_on 2 --model lowrange --dut r=75,x=20 --seed 2
sim_on 3 --model lowrange --dut short --seed 3
sim_on 4 --model lowrange --dut open --seed 4
sim_on 5 --model lowrange --dut load --rcal 50 --seed 5
sim_on 7 --model power --rf-volts 12.5 --temp-f 95
sim_on 8 --model standard --silent 1000000000
sim_on 12 --model uhf
rm -f "$WINEPREFIX/dosdevices/com9"

# 5. The host.
dll_win="Z:${dll//\//\\}"
(cd "$work" && timeout 900 "$wine_loader" "$exe" "$dll_win" zel_conformance.cal) >"$work/host.log" 2>&1
host_rc=$?
cat "$work/host.log"
tr -d '\r' <"$work/host.log" >"$work/host.txt"
summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$work/host.txt" | tail -1)
passes=$(grep -c '^PASS ' "$work/host.txt")
fails=$(grep -c '^FAIL ' "$work/host.txt")
[ -n "$summary" ] && [ "$summary" = "$passes passed, 0 failed" ] && [ "$passes" -gt 0 ] &&
  [ "$fails" -eq 0 ]
check host_run $? "host exit $host_rc, summary '${summary:-none}', $passes PASS and $fails FAIL lines"

# 6. What the instruments saw, from their logs: the relay switched, sync pulses, the averaging
# count and the rate switch reached the wire as commands.
grep -q 'relay code 3' "$work/com1.log" && grep -q 'relay code 0' "$work/com1.log"
check wire.relay_commands $? "no relay codes 3 and 0 in com1.log"
grep -qE '^[0-9.]+ Z2' "$work/com1.log"
check wire.sync_pulse $? "no Z2 in com1.log"
grep -q 'averaging 16' "$work/com1.log"
check wire.averaging_16 $? "no averaging 16 in com1.log"
grep -qE '^[0-9.]+ C( |$)' "$work/com1.log"
check wire.rate_switch $? "no C in com1.log"
grep -qE ' f=(179\.99|180\.00)[0-9]* MHz' "$work/com1.log"
check wire.constant_frequency_clamped_to_180MHz $? "no 180 MHz command in com1.log"
grep -qE '^[0-9.]+ E' "$work/com12.log"
check wire.uhf_frequency_command $? "no E command in com12.log"

if [ "$failed" -ne 0 ]; then
  echo "$failed script checks failed (logs in $work)"
  exit 1
fi
exit 0
