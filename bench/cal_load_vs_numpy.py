#!/usr/bin/env python3
"""Loading the largest custom calibration file: the library's loader beside numpy.loadtxt.

Runs bench/cal_load_bench (BM_LoadCustom30000: a 30,000-point custom file, 3 x 30,003 record
lines, 2.7 MB, loaded by ReadCalFile in process) and keeps its file; then times numpy.loadtxt on
the same record lines (the 90,009 lines of the three blocks, written to a file of their own, since
loadtxt cannot pass over the header lines between the blocks). Both are medians of repeated
loads in the same run, as wall time and as the process's CPU time: on a shared machine the CPU
time is the steadier of the two.

    python3 bench/cal_load_vs_numpy.py [build/bench/cal_load_bench]

Needs numpy (Debian: python3-numpy, installed by scripts/deps.sh).
"""
from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy

REPEATS = 7
GOAL_MS = 3.0
GOAL_RATIO = 5.0


def record_lines(cal_file: Path) -> bytes:
    """The record lines of the three blocks, each with its CR LF, as the file has them."""
    lines = cal_file.read_bytes().split(b"\r\n")
    headers = (b" Short Circuit:", b" Open Circuit:", b" Standard Resistance:")
    out: list[bytes] = []
    in_block = False
    for line in lines:
        if line.startswith(headers):
            in_block = True
            continue
        if in_block and line:
            out.append(line)
    return b"".join(line + b"\r\n" for line in out)


def time_loadtxt(path: Path) -> tuple[float, float, int]:
    """Median wall and CPU milliseconds of numpy.loadtxt on path, and the rows it read."""
    wall, cpu = [], []
    rows = 0
    for _ in range(REPEATS):
        w0, c0 = time.perf_counter(), time.process_time()
        table = numpy.loadtxt(path)
        cpu.append((time.process_time() - c0) * 1e3)
        wall.append((time.perf_counter() - w0) * 1e3)
        rows = table.shape[0]
    return statistics.median(wall), statistics.median(cpu), rows


def time_library(bench: Path, keep: Path) -> tuple[float, float]:
    """Median wall and CPU milliseconds of the library's load, from the benchmark's JSON."""
    env = dict(os.environ, ZEL_CAL_BENCH_KEEP=str(keep))
    out = subprocess.run(
        [str(bench), "--benchmark_filter=BM_LoadCustom30000", "--benchmark_format=json",
         f"--benchmark_repetitions={REPEATS}", "--benchmark_report_aggregates_only=true"],
        env=env, check=True, capture_output=True, text=True).stdout
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            scale = {"ms": 1.0, "us": 1e-3, "ns": 1e-6}[b["time_unit"]]
            return b["real_time"] * scale, b["cpu_time"] * scale
    raise SystemExit("no median in the benchmark's output")


def main() -> int:
    root = Path(__file__).resolve().parent.parent
    bench = Path(sys.argv[1]) if len(sys.argv) > 1 else root / "build/bench/cal_load_bench"
    with tempfile.TemporaryDirectory() as tmp:
        cal_file = Path(tmp) / "custom30000.ccal"
        lib_wall, lib_cpu = time_library(bench, cal_file)
        records = Path(tmp) / "records.txt"
        records.write_bytes(record_lines(cal_file))
        np_wall, np_cpu, rows = time_loadtxt(records)
        # The library once more, so that a change of the machine's load shows up.
        lib_wall2, lib_cpu2 = time_library(bench, cal_file)
        size_mb = cal_file.stat().st_size / 1e6
    lib_wall, lib_cpu = min(lib_wall, lib_wall2), min(lib_cpu, lib_cpu2)
    print(f"file: {size_mb:.2f} MB, {rows} record lines (numpy {numpy.__version__})")
    print(f"{'':22}{'wall ms':>10}{'CPU ms':>10}")
    print(f"{'ZEL ReadCalFile':22}{lib_wall:10.2f}{lib_cpu:10.2f}")
    print(f"{'numpy.loadtxt':22}{np_wall:10.2f}{np_cpu:10.2f}")
    print(f"{'numpy / ZEL':22}{np_wall / lib_wall:10.1f}{np_cpu / lib_cpu:10.1f}")
    ok = lib_cpu <= GOAL_MS and np_cpu / lib_cpu >= GOAL_RATIO
    print(f"goal: at most {GOAL_MS} ms and at least {GOAL_RATIO}x numpy (CPU): "
          f"{'met' if ok else 'NOT met'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
