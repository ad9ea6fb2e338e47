#!/usr/bin/python3
"""What serving costs, measured against zel-sim paced at the real link's speed (57600 baud, about
14 ms of wire time per point), on 127.0.0.1:

  latency   a measured point reaches a viewer (the event's wall-clock stamp, taken right after the
            library returned the point, to the moment the viewer has parsed it): median, 95th
            percentile and worst, for a Python viewer and, when it can start, headless Chromium
  overhead  a sweep's time in zel serve (one viewer) against the same points measured by a bare
            loop over the library (ctypes), on a fresh simulator each: medians of the runs; and
            the share of the server's sweep loop spent outside the library's calls
  viewers   the server process's CPU time (user + system, /proc) over a sweep watched by 20
            viewers, less the same sweep with none, as a share of one core over the sweep's time

Not a test: the machine is shared and the figures scatter. Run from the build folder's parent:
  bench/serve_bench.py [--build build] [--points 401] [--runs 3]
"""
import argparse
import ctypes
import json
import os
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "serve"))
from serve_support import EventStream, Server  # noqa: E402

import serve_support  # noqa: E402

START, STOP = 13.0, 15.5
SIM_COM = 97  # a port number far above a machine's own


class PacedSim:
    def __init__(self, build):
        self.proc = subprocess.Popen(
            [os.path.join(build, "sim", "zel-sim"), "--paced", "--no-stdin",
             "--dut", "antenna:f0=14.15,r=42,q=12"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.path = self.proc.stdout.readline().strip()

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


def library_sweep_seconds(build, points):
    """A bare loop over the library on a fresh paced simulator: the sweep without any serving."""
    sim = PacedSim(build)
    try:
        os.environ[f"ZEL_COM{SIM_COM}"] = sim.path
        lib = ctypes.CDLL(os.path.join(build, "ZEL_863_DLL.so"))
        lib.ZEL_ScanPoint.argtypes = [ctypes.c_int32, ctypes.c_double,
                                      ctypes.POINTER(ctypes.c_double),
                                      ctypes.POINTER(ctypes.c_double)]
        lib.ZEL_GetVersion.restype = ctypes.c_void_p
        assert lib.ZEL_CommPort(1, SIM_COM, 57600) == 0
        lib.ZEL_InitVars(0)
        lib.ZEL_GetVersion(0)
        r, x = ctypes.c_double(), ctypes.c_double()
        freqs = [START + (STOP - START) * i / (points - 1) for i in range(points)]
        t0 = time.perf_counter()
        for f in freqs:
            assert lib.ZEL_ScanPoint(0, f, ctypes.byref(r), ctypes.byref(x)) == 0
        t = time.perf_counter() - t0
        lib.ZEL_ProgRelay(0)
        lib.ZEL_CommPort(0, SIM_COM, 0)
        return t
    finally:
        sim.stop()


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def served_sweep(build, points, viewers, want_latency=False):
    """One sweep in zel serve on a fresh paced simulator with `viewers` event streams open.
    Returns (server's sweep seconds, server CPU seconds over the sweep, wall seconds, latencies)."""
    sim = PacedSim(build)
    server = Server(pre=("--device", sim.path))
    streams = []
    try:
        latencies = []
        def stamp(name, data):
            # As each point is parsed, on the stream's own thread.
            if name == "point":
                latencies.append(time.time() * 1000 - data["t_ms"])

        for i in range(max(viewers, 1 if want_latency else 0)):
            ev = EventStream(server, on_event=stamp if want_latency and i == 0 else None)
            ev.wait_for(lambda n, d: n == "hello")
            streams.append(ev)
        cpu0, wall0 = cpu_seconds(server.proc.pid), time.perf_counter()
        status, data, _ = server.post("/api/sweep", {"start_mhz": START, "stop_mhz": STOP,
                                                     "points": points, "values": "raw"})
        assert status == 202, data
        end = None
        watcher = streams[0] if streams else EventStream(server)
        _, end = watcher.wait_for(lambda n, d: n == "sweep_end", 600)
        cpu1, wall1 = cpu_seconds(server.proc.pid), time.perf_counter()
        if watcher not in streams:
            watcher.close()
        served_sweep.last_end = end
        return end["elapsed_ms"] / 1000, cpu1 - cpu0, wall1 - wall0, latencies
    finally:
        for ev in streams:
            ev.close()
        server.stop()
        sim.stop()


def browser_latencies(build, points):
    """The same measurement in headless Chromium, with the page's own EventSource."""
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        return None
    sim = PacedSim(build)
    server = Server(pre=("--device", sim.path))
    try:
        opts = webdriver.ChromeOptions()
        for a in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu"):
            opts.add_argument(a)
        try:
            b = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
        except Exception:  # noqa: BLE001 -- no browser here: the figure is left out
            return None
        try:
            # A bare document of the server's own origin: the figure is the stream's, not the
            # time the full page takes to redraw its plots on a busy machine.
            b.get(server.url + "api/state")
            b.execute_script("""
                window.lat = []; window.ended = false;
                const s = new EventSource('/api/events');
                s.addEventListener('point', (e) => window.lat.push(Date.now() - JSON.parse(e.data).t_ms));
                s.addEventListener('sweep_end', () => { window.ended = true; });""")
            time.sleep(0.5)
            status, data, _ = server.post("/api/sweep", {"start_mhz": START, "stop_mhz": STOP,
                                                         "points": points, "values": "raw"})
            assert status == 202, data
            end = time.monotonic() + 600
            while time.monotonic() < end and not b.execute_script("return window.ended"):
                time.sleep(0.2)
            return b.execute_script("return window.lat")
        finally:
            b.quit()
    finally:
        server.stop()
        sim.stop()


def describe(xs):
    xs = sorted(xs)
    return {"median": round(statistics.median(xs), 2), "p95": round(xs[int(0.95 * (len(xs) - 1))], 2),
            "max": round(xs[-1], 2), "n": len(xs)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--points", type=int, default=401)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    serve_support.ZEL = os.path.join(build, "tools", "zel")

    lib_t, served_t, lat, in_loop = [], [], [], []
    for _ in range(args.runs):
        lib_t.append(library_sweep_seconds(build, args.points))
        t, _, _, l = served_sweep(build, args.points, 1, want_latency=True)
        served_t.append(t)
        lat += l
        end = served_sweep.last_end
        in_loop.append(100 * (end["elapsed_ms"] - end["measure_ms"]) / end["measure_ms"])
    quiet_cpu, busy_cpu = [], []
    for _ in range(args.runs):
        _, cpu, wall, _ = served_sweep(build, args.points, 0)
        quiet_cpu.append(cpu / wall)
        _, cpu, wall, _ = served_sweep(build, args.points, 20)
        busy_cpu.append(cpu / wall)
    chromium = browser_latencies(build, args.points)

    lib_med, served_med = statistics.median(lib_t), statistics.median(served_t)
    report = {
        "points_per_sweep": args.points,
        "runs": args.runs,
        "latency_ms_python_viewer": describe(lat),
        "latency_ms_chromium": describe(chromium) if chromium else "chromium could not start",
        "library_sweep_s": [round(t, 3) for t in lib_t],
        "served_sweep_s": [round(t, 3) for t in served_t],
        "serving_overhead_percent": round(100 * (served_med / lib_med - 1), 2),
        # The sweep loop's own time outside the library's calls (events, JSON, locks).
        "in_loop_serving_percent": [round(x, 3) for x in in_loop],
        "server_cpu_share_no_viewer": [round(c, 4) for c in quiet_cpu],
        "server_cpu_share_20_viewers": [round(c, 4) for c in busy_cpu],
        "cost_of_20_viewers_percent_of_a_core": round(
            100 * (statistics.median(busy_cpu) - statistics.median(quiet_cpu)), 2),
    }
    print(json.dumps(report, indent=2))


if __name__ == "__main__":
    main()
