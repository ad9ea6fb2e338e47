"""Fixtures of the package's tests: the library and zel-sim of the build under test.

ctest passes the build's files in ZEL_LIB, ZEL_SIM (and ZEL_TOOL, the zel host); run by hand,
the package finds them in the checkout's build/ folder.
"""

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import zel  # noqa: E402
from zel.sim import Simulator  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
MODELS = ("lowrange", "standard", "uhf", "power")


def true_impedance(dut: str, f_mhz):
    """The device under test's impedance as zel-sim defines it (series RLC, antenna, fixed)."""
    kind, _, fields = dut.partition(":") if ":" in dut else ("fixed", "", dut)
    v = {}
    for item in fields.split(","):
        k, _, val = item.partition("=")
        mult = {"p": 1e-12, "n": 1e-9, "u": 1e-6, "m": 1e-3, "k": 1e3}.get(val[-1:], None)
        v[k] = float(val[:-1]) * mult if mult else float(val)
    w = 2 * np.pi * np.asarray(f_mhz, dtype=float) * 1e6
    if kind == "fixed":
        return np.full(w.shape, complex(v.get("r", 0), v.get("x", 0)))
    if kind == "series":
        z = v.get("r", 0) + 1j * w * v.get("l", 0)
        return z + (1 / (1j * w * v["c"]) if v.get("c") else 0)
    if kind == "antenna":
        w0 = 2 * np.pi * v["f0"] * 1e6
        l = v["q"] * v["r"] / w0
        c = 1 / (w0 * w0 * l)
        return v["r"] + 1j * (w * l - 1 / (w * c))
    raise ValueError(dut)


@pytest.fixture
def sim_factory():
    """Starts zel-sim processes and ends them after the test."""
    started = []

    def start(model="standard", dut="r=50,x=0", **kw):
        s = Simulator(model=model, dut=dut, **kw)
        started.append(s)
        return s

    yield start
    for s in started:
        s.close()


@pytest.fixture
def analyzer_factory(sim_factory):
    """Opens an Analyzer on a fresh simulator; closes it after the test."""
    opened = []

    def open_(model="standard", dut="r=50,x=0", sim_args=(), **kw):
        sim = sim_factory(model, dut, args=sim_args)
        za = zel.Analyzer(device=sim.device, **kw)
        opened.append(za)
        return za, sim

    yield open_
    for za in opened:
        za.close()
