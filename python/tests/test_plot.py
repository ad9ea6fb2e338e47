"""Pictures: every kind drawn from sweeps and from files, several sweeps on one axis."""

import os
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("matplotlib")
import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from zel import plot  # noqa: E402
from zel.sweep import Sweep  # noqa: E402

from conftest import true_impedance  # noqa: E402


def antenna(f0, r=42, q=12, lo=12.5, hi=16, n=141, **kw):
    f = np.linspace(lo, hi, n)
    return Sweep(f * 1e6, true_impedance(f"antenna:f0={f0},r={r},q={q}", f), **kw)


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    return struct.unpack(">II", data[16:24])


def texts(ax):
    found = [t.get_text() for t in ax.texts]
    legend = ax.get_legend()
    if legend:
        found += [t.get_text() for t in legend.get_texts()]
    return "\n".join(found)


@pytest.mark.parametrize("kind", plot.KINDS)
def test_every_kind_is_drawn_and_saved(tmp_path, kind):
    s = antenna(14.2, calibration="cal.txt")
    fig = plot.draw(kind, s)
    out = tmp_path / f"{kind}.png"
    fig.savefig(out, dpi=80)
    w, h = png_size(out)
    assert w >= 400 and h >= 400
    for ax in fig.axes:
        if ax.axison:  # every chart but the Smith chart has units on both axes
            assert ax.get_xlabel() == "Frequency (MHz)"
            assert "(" in ax.get_ylabel() or ax.get_ylabel() == "SWR"
    plt.close(fig)


def test_swr_chart_carries_the_lines_the_marker_and_the_bandwidths():
    s = antenna(14.2)
    ax = plot.swr(s)
    levels = sorted(l.get_ydata()[0] for l in ax.get_lines() if len(set(l.get_ydata())) == 1
                    and len(l.get_ydata()) == 2)
    assert levels == [1.5, 2.0]
    assert "2:1" in texts(ax) and "1.5:1" in texts(ax)
    sm = s.summary()
    text = texts(ax)
    assert f"lowest SWR {sm.min_swr:.2f} at {sm.min_swr_mhz:.4f} MHz" in text
    assert f"{sm.swr2.bandwidth_mhz:.4f} MHz" in text and "below 1.5:1" in text
    assert "standard" not in ax.get_title()  # no instrument: none named
    plt.close(ax.figure)


def test_smith_chart_grid_and_trace():
    s = antenna(14.2)
    ax = plot.smith(s)
    lines = ax.get_lines()
    # The outer circle, the real axis, five resistance circles, ten reactance arcs.
    grid = [l for l in lines if l.get_zorder() <= 1]
    assert len(grid) == 1 + 1 + 5 + 10
    for l in grid:
        x, y = l.get_xdata(), l.get_ydata()
        assert np.all(np.hypot(x, y) <= 1 + 1e-9)  # nothing of the grid outside the chart
    trace = [l for l in lines if l.get_zorder() == 3][0]
    assert np.allclose(trace.get_xdata() + 1j * trace.get_ydata(), s.gamma)
    assert "12.5 MHz" in texts(ax) and "16 MHz" in texts(ax)
    plt.close(ax.figure)


def test_several_sweeps_on_one_axis_and_awkward_values(tmp_path):
    before, after = antenna(13.6), antenna(14.2)
    opened = Sweep([1e6, 2e6, 3e6], [complex(np.inf, 0), -1 + 2j, 50])  # open, noise, match
    for fn in (plot.swr, plot.return_loss, plot.impedance, plot.smith):
        ax = fn([before, after], labels=["before", "after"])
        assert "before" in texts(ax) and "after" in texts(ax)
        plt.close(ax.figure)
        ax = fn(opened)
        ax.figure.savefig(tmp_path / "open.png", dpi=60)
        plt.close(ax.figure)
    with pytest.raises(ValueError, match="one label per sweep"):
        plot.swr([before, after], labels=["only one"])


def test_command_line(tmp_path):
    a, b = tmp_path / "before.s1p", tmp_path / "after.csv"
    antenna(13.6, corrected=False).to_touchstone(a)
    antenna(14.2).to_csv(b)
    out = tmp_path / "both.png"
    assert plot.main([str(a), str(b), "-o", str(out), "--kind", "return-loss"]) == 0
    png_size(out)
    r = subprocess.run([sys.executable, "-m", "zel.plot", str(a), "-o", str(tmp_path / "o.png"),
                        "--kind", "overview"], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    png_size(tmp_path / "o.png")
    (tmp_path / "bad.s1p").write_text("# MHZ S RI R 50\n1 2\n")
    assert plot.main([str(tmp_path / "bad.s1p"), "-o", str(out)]) == 1
    assert plot.main([str(a), "-o", str(tmp_path / "no-such-dir" / "x.png")]) == 1
    with pytest.raises(SystemExit):
        plot.main([str(a), "-o", str(out), "--kind", "polar"])


def test_the_readme_example_runs(tmp_path):
    # The README's Python example, run as printed: it sweeps the simulator and saves two pictures.
    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    code = readme.split("```python\n", 1)[1].split("```", 1)[0]
    (tmp_path / "docs").mkdir()
    env = dict(os.environ, PYTHONPATH=str(Path(plot.__file__).resolve().parents[1]))
    r = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True,
                       text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    for name in ("python-swr.png", "python-smith.png"):
        png_size(tmp_path / "docs" / name)
