"""Pictures of sweeps with matplotlib (optional; imported when a picture is drawn).

Each function draws on the ``ax`` given (or a new figure's) and returns the axes; give a list
of sweeps to draw several on one axis (before and after tuning)::

    zel.plot.swr(sweep).figure.savefig("swr.png")
    zel.plot.smith([before, after], labels=["before", "after"])
    zel.plot.overview(sweep).savefig("overview.png")

From the shell, any sweep file (zel's, or a one-port Touchstone file of another instrument)::

    python3 -m zel.plot antenna.s1p -o swr.png --kind swr
"""

from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path
from typing import Any, List, Optional, Sequence, Tuple, Union

import numpy as np

from .sweep import Sweep, read_sweep

Sweeps = Union[Sweep, Sequence[Sweep]]
KINDS = ("swr", "smith", "impedance", "return-loss", "overview")

# SWR 2:1 and 1.5:1 as return loss, dB.
_RL_SWR2 = -20 * math.log10(1 / 3)
_RL_SWR1_5 = -20 * math.log10(0.2)
_SMITH_R = (0.2, 0.5, 1.0, 2.0, 5.0)
_SMITH_X = (0.2, 0.5, 1.0, 2.0, 5.0)
_GRID = dict(color="0.78", lw=0.6, zorder=0)


def _plt():
    import matplotlib.pyplot as plt

    return plt


def _as_list(sweeps: Sweeps) -> List[Sweep]:
    return [sweeps] if isinstance(sweeps, Sweep) else list(sweeps)


def _labels(sweeps: List[Sweep], labels: Optional[Sequence[str]]) -> List[Optional[str]]:
    if labels is not None:
        if len(labels) != len(sweeps):
            raise ValueError("give one label per sweep")
        return list(labels)
    if len(sweeps) == 1:
        return [None]
    return [f"sweep {i + 1}" for i in range(len(sweeps))]


def _axes(ax: Any, figsize: Tuple[float, float] = (8, 5)):
    if ax is not None:
        return ax
    fig = _plt().figure(figsize=figsize, layout="constrained")
    return fig.add_subplot()


def _freq_scale(sweeps: List[Sweep]) -> Tuple[float, str]:
    """Divisor from MHz and the unit name that keeps the tick labels short."""
    top = max((float(np.max(s.frequency_mhz)) for s in sweeps if len(s)), default=1.0)
    if top >= 2000:
        return 1000.0, "GHz"
    if top < 1:
        return 0.001, "kHz"
    return 1.0, "MHz"


def _title(s: Sweep) -> str:
    """"standard analyzer, corrected with cal.txt", from what the sweep knows of itself."""
    if s.info is not None:
        who = f"{s.info.model} analyzer"
    elif s.instrument:
        who = s.instrument.split(" serial ")[0] + " analyzer"
    else:
        who = ""
    if s.corrected is None:
        how = ""
    elif not s.corrected:
        how = "raw readings"
    elif s.calibration:
        how = f"corrected with {Path(s.calibration).name}"
    else:
        how = "corrected"
    return ", ".join(t for t in (who, how) if t)


def _set_title(ax: Any, sweeps: List[Sweep], what: str, title: Optional[str]) -> None:
    if title is None:
        sub = _title(sweeps[0]) if len(sweeps) == 1 else ""
        title = f"{what} — {sub}" if sub else what
    if title:
        ax.set_title(title)


_DECIMALS = {"kHz": 3, "MHz": 4, "GHz": 6}


def _num_f(f_mhz: float, unit: str) -> str:
    scale = {"kHz": 0.001, "MHz": 1.0, "GHz": 1000.0}[unit]
    return f"{f_mhz / scale:.{_DECIMALS[unit]}f}"


def _fmt_f(f_mhz: float, scale: float, unit: str) -> str:
    return f"{_num_f(f_mhz, unit)} {unit}"


def _frequency_axes(ax: Any, unit: str, ylabel: str) -> None:
    """The frame every plot against frequency shares: axis labels, a light grid, no margin."""
    ax.set_xlabel(f"Frequency ({unit})")
    ax.set_ylabel(ylabel)
    ax.grid(True, color="0.88")
    ax.margins(x=0)


def swr(
    sweeps: Sweeps,
    ax: Any = None,
    labels: Optional[Sequence[str]] = None,
    max_swr: float = 10.0,
    title: Optional[str] = None,
):
    """SWR against frequency, with the 2:1 and 1.5:1 lines, a marker at the lowest SWR and the
    bandwidths below 2:1 and 1.5:1 written on the chart. Returns the axes."""
    items = _as_list(sweeps)
    ax = _axes(ax)
    scale, unit = _freq_scale(items)
    notes = []
    for s, label in zip(items, _labels(items, labels)):
        f = s.frequency_mhz / scale
        y = np.minimum(s.swr, max_swr)
        (line,) = ax.plot(f, y, lw=1.6, label=label)
        sm = s.summary()
        if sm is None:
            continue
        ax.plot(sm.min_swr_mhz / scale, min(sm.min_swr, max_swr), "o", color=line.get_color(),
                ms=7, mec="black", mew=0.8, zorder=5)
        head = f"{label}: " if label else ""
        text = f"{head}lowest SWR {sm.min_swr:.2f} at {_fmt_f(sm.min_swr_mhz, scale, unit)}"
        for band, name in ((sm.swr2, "2:1"), (sm.swr1_5, "1.5:1")):
            if band is None:
                text += f"\n  below {name}: none"
            else:
                more = " or more" if band.open_ended else ""
                text += (
                    f"\n  below {name}: {_num_f(band.low_mhz, unit)} to "
                    f"{_fmt_f(band.high_mhz, scale, unit)}, "
                    f"{_fmt_f(band.bandwidth_mhz, scale, unit)}{more}"
                )
        notes.append(text)
    # The limits are named on the lines themselves, which keeps the legend for the sweeps.
    for level, color, name in ((2.0, "tab:orange", "2:1"), (1.5, "tab:green", "1.5:1")):
        ax.axhline(level, color=color, ls="--", lw=1)
        ax.text(0.995, level, name, transform=ax.get_yaxis_transform(), ha="right", va="bottom",
                fontsize=8.5, color=color)
    ax.set_ylim(1.0, max_swr * 1.02)
    _frequency_axes(ax, unit, "SWR")
    if notes:
        ax.text(0.01, 0.98, "\n".join(notes), transform=ax.transAxes, va="top", ha="left",
                fontsize=8.5, family="monospace",
                bbox=dict(boxstyle="round", fc="white", ec="0.7", alpha=0.92))
    if len(items) > 1:
        ax.legend(loc="upper right", fontsize=8.5)
    _set_title(ax, items, "SWR", title)
    return ax


def return_loss(
    sweeps: Sweeps,
    ax: Any = None,
    labels: Optional[Sequence[str]] = None,
    title: Optional[str] = None,
):
    """Return loss (dB) against frequency, with the SWR 2:1 and 1.5:1 levels. Returns the axes."""
    items = _as_list(sweeps)
    ax = _axes(ax)
    scale, unit = _freq_scale(items)
    top = 0.0
    for s, label in zip(items, _labels(items, labels)):
        rl = s.return_loss_db
        finite = rl[np.isfinite(rl)]
        top = max(top, 60.0 if np.isinf(rl).any() else float(finite.max()) if len(finite) else 0.0)
        ax.plot(s.frequency_mhz / scale, np.minimum(rl, 60), lw=1.6, label=label)
    ax.axhline(_RL_SWR2, color="tab:orange", ls="--", lw=1, label="SWR 2:1 (9.5 dB)")
    ax.axhline(_RL_SWR1_5, color="tab:green", ls="--", lw=1, label="SWR 1.5:1 (14.0 dB)")
    ax.set_ylim(min(max(top * 1.1, 20.0), 62.0), 0)  # better matches further down
    _frequency_axes(ax, unit, "Return loss (dB)")
    ax.legend(loc="upper right", fontsize=8.5)
    _set_title(ax, items, "Return loss", title)
    return ax


def impedance(
    sweeps: Sweeps,
    ax: Any = None,
    labels: Optional[Sequence[str]] = None,
    title: Optional[str] = None,
):
    """Series resistance R, reactance X and magnitude |Z| (ohm) against frequency. Returns
    the axes; one colour per quantity for one sweep, one colour per sweep for several."""
    items = _as_list(sweeps)
    ax = _axes(ax)
    scale, unit = _freq_scale(items)
    names = _labels(items, labels)
    colors = _plt().rcParams["axes.prop_cycle"].by_key()["color"]
    for i, (s, label) in enumerate(zip(items, names)):
        f = s.frequency_mhz / scale
        z = np.where(np.isfinite(s.z), s.z, np.nan)
        pre = f"{label}: " if label else ""
        if len(items) == 1:
            ax.plot(f, z.real, lw=1.6, label="R")
            ax.plot(f, z.imag, lw=1.6, label="X")
            ax.plot(f, np.abs(z), lw=1.2, ls="--", label="|Z|")
        else:
            c = colors[i % len(colors)]
            ax.plot(f, z.real, lw=1.6, color=c, label=pre + "R")
            ax.plot(f, z.imag, lw=1.4, color=c, ls="-.", label=pre + "X")
            ax.plot(f, np.abs(z), lw=1.0, color=c, ls=":", label=pre + "|Z|")
    ax.axhline(0, color="0.5", lw=0.8)
    ax.axhline(50, color="0.6", lw=0.8, ls=":")
    _frequency_axes(ax, unit, "Impedance (Ω)")
    ax.legend(loc="best", fontsize=8.5, ncol=1 if len(items) == 1 else 2)
    _set_title(ax, items, "Impedance", title)
    return ax


def smith_grid(ax: Any) -> None:
    """Draw a Smith chart's grid (normalised to 50 ohm) on ``ax``: the constant-resistance
    circles, the constant-reactance arcs and their values."""
    t = np.linspace(0, 2 * np.pi, 721)
    ax.plot(np.cos(t), np.sin(t), color="0.35", lw=1.0, zorder=1)
    ax.plot([-1, 1], [0, 0], **_GRID)
    for r in _SMITH_R:
        c, rad = r / (1 + r), 1 / (1 + r)
        ax.plot(c + rad * np.cos(t), rad * np.sin(t), **_GRID)
        ax.text(c - rad, 0.012, f"{r:g}", fontsize=7.5, color="0.4", ha="right", va="bottom",
                rotation=90)
    # Constant-reactance arcs: z = r + jx for r from 0 to infinity, mapped to gamma.
    u = np.linspace(0, 1, 400, endpoint=False)
    r_run = u / (1 - u)
    for x in _SMITH_X:
        for sign in (1, -1):
            z = r_run + 1j * sign * x
            g = (z - 1) / (z + 1)
            ax.plot(g.real, g.imag, **_GRID)
            g0 = (1j * sign * x - 1) / (1j * sign * x + 1)
            ax.text(g0.real * 1.07, g0.imag * 1.07, f"{sign * x:+g}j", fontsize=7.5,
                    color="0.4", ha="center", va="center")
    ax.set_aspect("equal")
    ax.set_xlim(-1.18, 1.18)
    ax.set_ylim(-1.18, 1.18)
    ax.axis("off")


def smith(
    sweeps: Sweeps,
    ax: Any = None,
    labels: Optional[Sequence[str]] = None,
    title: Optional[str] = None,
):
    """A Smith chart (50 ohm): the grid, each sweep's trace, a marker at its lowest SWR and the
    frequencies of its ends. Returns the axes."""
    items = _as_list(sweeps)
    ax = _axes(ax, figsize=(6.4, 6.6))
    smith_grid(ax)
    scale, unit = _freq_scale(items)
    for s, label in zip(items, _labels(items, labels)):
        if len(s) == 0:
            continue
        g = s.gamma
        (line,) = ax.plot(g.real, g.imag, lw=1.8, label=label, zorder=3)
        c = line.get_color()
        sm = s.summary()
        best = int(np.argmin(s.swr))
        ax.plot(g[best].real, g[best].imag, "o", color=c, mec="black", mew=0.8, ms=7, zorder=5,
                label=f"lowest SWR {sm.min_swr:.2f} at {_fmt_f(sm.min_swr_mhz, scale, unit)}")
        f = s.frequency_mhz / scale
        for i, mark in ((0, "s"), (len(s) - 1, "^")):
            ax.plot(g[i].real, g[i].imag, mark, color=c, ms=6, mec="black", mew=0.6, zorder=5)
            # The label sits outside the point, towards the chart's edge, clear of the trace.
            d = g[i] if abs(g[i]) > 0.05 else 1j
            d = d / abs(d)
            pos = g[i] + 0.1 * d
            ax.annotate(f"{f[i]:.6g} {unit}", (g[i].real, g[i].imag), (pos.real, pos.imag),
                        fontsize=8, color=c, ha="left" if d.real >= 0 else "right",
                        va="bottom" if d.imag >= 0 else "top", zorder=6,
                        bbox=dict(boxstyle="round,pad=0.15", fc="white", ec="none", alpha=0.8))
    ax.legend(loc="lower left", fontsize=8, bbox_to_anchor=(0.0, -0.08), frameon=True)
    _set_title(ax, items, "Smith chart (50 Ω)", title)
    return ax


def overview(sweep: Sweeps, labels: Optional[Sequence[str]] = None, title: Optional[str] = None):
    """Four panels: SWR, return loss, impedance and the Smith chart. Returns the figure."""
    items = _as_list(sweep)
    plt = _plt()
    fig = plt.figure(figsize=(13, 10), layout="constrained")
    axs = fig.subplots(2, 2)
    swr(items, ax=axs[0, 0], labels=labels, title="SWR")
    return_loss(items, ax=axs[0, 1], labels=labels, title="Return loss")
    impedance(items, ax=axs[1, 0], labels=labels, title="Impedance")
    smith(items, ax=axs[1, 1], labels=labels, title="Smith chart (50 Ω)")
    if title is None:
        title = _title(items[0]) if len(items) == 1 else ""
    if title:
        fig.suptitle(title, fontsize=13)
    return fig


def draw(kind: str, sweeps: Sweeps, labels: Optional[Sequence[str]] = None,
         title: Optional[str] = None):
    """The figure of one kind ("swr", "smith", "impedance", "return-loss", "overview")."""
    if kind == "overview":
        return overview(sweeps, labels=labels, title=title)
    fns = {"swr": swr, "smith": smith, "impedance": impedance, "return-loss": return_loss,
           "return_loss": return_loss}
    if kind not in fns:
        raise ValueError(f"unknown kind {kind!r}: use one of {', '.join(KINDS)}")
    return fns[kind](sweeps, labels=labels, title=title).figure


def main(argv: Optional[Sequence[str]] = None) -> int:
    """``python3 -m zel.plot FILE... -o OUT.png [--kind KIND]``."""
    p = argparse.ArgumentParser(
        prog="python3 -m zel.plot",
        description="Draw sweep files (.s1p or .csv) as a picture; several files share one axis.",
    )
    p.add_argument("files", nargs="+", metavar="FILE", help="sweep file, .s1p or .csv")
    p.add_argument("-o", "--output", required=True, help="picture file (.png, .svg, .pdf)")
    p.add_argument("--kind", default="swr", choices=KINDS, help="what to draw (default: swr)")
    p.add_argument("--label", action="append", help="label of each file (default: its name)")
    p.add_argument("--title", help="the chart's title")
    p.add_argument("--dpi", type=int, default=120)
    a = p.parse_args(argv)

    import matplotlib

    matplotlib.use("Agg")
    try:
        sweeps = [read_sweep(f) for f in a.files]
    except (OSError, ValueError) as e:
        print(f"zel.plot: {e}", file=sys.stderr)
        return 1
    labels = a.label or ([Path(f).stem for f in a.files] if len(a.files) > 1 else None)
    try:
        fig = draw(a.kind, sweeps, labels=labels, title=a.title)
    except ValueError as e:
        print(f"zel.plot: {e}", file=sys.stderr)
        return 2
    try:
        fig.savefig(a.output, dpi=a.dpi)
    except (OSError, ValueError) as e:
        print(f"zel.plot: cannot write {a.output}: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
