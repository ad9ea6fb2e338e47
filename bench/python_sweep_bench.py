#!/usr/bin/env python3
"""A 1000-point sweep through the Python package against the same sweep on the bare C interface,
both on zel-sim paced at the link rate over a pseudo-terminal (not a test: figures to read).

    ZEL_LIB=build/ZEL_863_DLL.so ZEL_SIM=build/sim/zel-sim python3 bench/python_sweep_bench.py

Reports the medians of a few alternating rounds and their ratio (goal: the package at most 2 %
longer), and the package's own cost per point (goal: under 30 us), measured with a no-op C
function in place of ZEL_ScanPoint so that only the package's work is left (the ctypes call
included, so the figure is an upper bound); the bare loop's figure is shown beside it.
The frequencies are those of bench/sweep_bench.cpp: 1 MHz + 0.028 MHz x i, raw readings.
"""

import argparse
import ctypes
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))

import zel  # noqa: E402
from zel.sim import Simulator  # noqa: E402

POINTS = 1000
START_MHZ, STEP_MHZ = 1.0, 0.028


def bare_sweep(scan, freqs):
    """The loop a C host would write, through ctypes with nothing around it."""
    r, x = ctypes.c_double(), ctypes.c_double()
    pr, px = ctypes.byref(r), ctypes.byref(x)
    out = []
    for f in freqs:
        if scan(0, f, pr, px):
            raise RuntimeError(f"point at {f} MHz failed")
        out.append((r.value, x.value))
    return out


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def no_op_scan():
    """A C function that takes ZEL_ScanPoint's arguments, touches nothing and returns 0 for
    mode 0: libc's abs(int) (the further arguments are ignored by the C calling convention)."""
    fn = ctypes.CDLL(None).abs
    fn.restype = ctypes.c_int32
    fn.argtypes = [ctypes.c_int32, ctypes.c_double, ctypes.POINTER(ctypes.c_double),
                   ctypes.POINTER(ctypes.c_double)]
    return fn


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rounds", type=int, default=3, help="alternating rounds (default 3)")
    ap.add_argument("--fast", action="store_true", help="the 115000-baud link")
    ap.add_argument("--model", default="standard")
    a = ap.parse_args()

    freqs = [START_MHZ + STEP_MHZ * i for i in range(POINTS)]
    stop = freqs[-1]
    with Simulator(model=a.model, dut="antenna:f0=14.2,r=50,q=10", paced=True) as sim:
        with zel.Analyzer(device=sim.device, fast=a.fast) as za:
            scan = za._lib.dll.ZEL_ScanPoint
            za.point(1.0, corrected=False)  # the relay switch and its pause are not part of it
            bare, pkg = [], []
            for i in range(a.rounds):
                bare.append(timed(lambda: bare_sweep(scan, freqs)))
                pkg.append(timed(lambda: za.sweep(START_MHZ, stop, points=POINTS, corrected=False)))
                print(f"round {i + 1}: bare C interface {bare[-1]:.3f} s, package {pkg[-1]:.3f} s",
                      flush=True)
            baud = za.info.baud_rate

            # The package's own cost: the same sweep with a no-op in place of the instrument.
            stub = no_op_scan()
            za._lib.dll.ZEL_ScanPoint = stub
            try:
                reps = 30
                bare_us = [
                    timed(lambda: bare_sweep(stub, freqs)) / POINTS * 1e6 for _ in range(reps)
                ]
                pkg_us = [
                    timed(lambda: za.sweep(START_MHZ, stop, points=POINTS, corrected=False))
                    / POINTS * 1e6
                    for _ in range(reps)
                ]
            finally:
                za._lib.dll.ZEL_ScanPoint = scan

    wire_s = POINTS * (9 + 72) * 10 / (115000 if baud > 100000 else 57600)
    mb, mp = statistics.median(bare), statistics.median(pkg)
    own = statistics.median(pkg_us)
    print(f"\n{POINTS}-point sweep, {a.model} model, paced at {baud} baud "
          f"(bytes on the wire: {wire_s:.3f} s), medians of {a.rounds} rounds:")
    print(f"  bare C interface  {mb:.3f} s  ({mb / wire_s:.4f} of the wire time)")
    print(f"  package           {mp:.3f} s  ({mp / wire_s:.4f} of the wire time)")
    print(f"  package / bare    {mp / mb:.4f}  (goal <= 1.02)")
    print(f"  per point with a no-op instrument: bare {statistics.median(bare_us):.2f} us, "
          f"package {statistics.median(pkg_us):.2f} us")
    print(f"  package's own cost per point, ctypes call included: {own:.2f} us  (goal < 30 us)")
    return 0 if mp / mb <= 1.02 and own < 30 else 1


if __name__ == "__main__":
    sys.exit(main())
