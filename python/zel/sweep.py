"""Sweeps: impedance against frequency, the match figures derived from it, and the sweep files.

The files are the ones ``zel`` writes: Touchstone (``.s1p``, MHz, S in RI form against 50 ohm,
with provenance comments) and a plain CSV. :func:`read_sweep` reads both back, and Touchstone
one-port files from other instruments too (any frequency unit, RI/MA/DB, any reference).
"""

from __future__ import annotations

import csv
import math
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Dict, List, Optional, Sequence, Union

import numpy as np

if TYPE_CHECKING:  # pragma: no cover
    from .analyzer import UnitInfo

REF_OHMS = 50.0
CSV_HEADER = "frequency_mhz,r_ohm,x_ohm,z_abs_ohm,swr,return_loss_db"
TOUCHSTONE_OPTIONS = "# MHZ S RI R 50"
REFLECTION_COMMENT = "one-port reflection coefficient against 50 ohms"

PathLike = Union[str, Path]


def gamma_of(z: np.ndarray) -> np.ndarray:
    """Reflection coefficient against 50 ohm; a reading that is no finite number is a total
    mismatch (an open beyond the instrument's range), as an open is."""
    z = np.asarray(z, dtype=complex)
    finite = np.isfinite(z.real) & np.isfinite(z.imag)
    g = np.ones_like(z)
    with np.errstate(divide="ignore", invalid="ignore"):
        g[finite] = (z[finite] - REF_OHMS) / (z[finite] + REF_OHMS)
    return g


def swr_of(gamma: np.ndarray) -> np.ndarray:
    """SWR; a reflection on or a hair outside the unit circle (noise on an open) is infinite."""
    a = np.abs(gamma)
    out = np.full(a.shape, np.inf)
    inside = a < 1
    out[inside] = (1 + a[inside]) / (1 - a[inside])
    return out


def return_loss_of(gamma: np.ndarray) -> np.ndarray:
    """Return loss in dB; a perfect match is infinite."""
    a = np.abs(gamma)
    with np.errstate(divide="ignore"):
        return np.where(a > 0, -20 * np.log10(np.where(a > 0, a, 1)), np.inf)


@dataclass
class Band:
    """Where the SWR stays below a limit around the lowest point."""

    limit: float
    low_mhz: float
    high_mhz: float
    low_at_sweep_end: bool
    high_at_sweep_end: bool

    @property
    def bandwidth_mhz(self) -> float:
        return self.high_mhz - self.low_mhz

    @property
    def open_ended(self) -> bool:
        """True when the band reaches an end of the sweep (it may be wider)."""
        return self.low_at_sweep_end or self.high_at_sweep_end


@dataclass
class Summary:
    """The lowest SWR and the 2:1 and 1.5:1 bands around it (None: the SWR never gets there)."""

    min_swr: float
    min_swr_mhz: float
    swr2: Optional[Band]
    swr1_5: Optional[Band]


def _crossing(f_below: float, s_below: float, f_above: float, s_above: float, limit: float):
    # Linear in SWR; an infinite SWR leaves nothing to interpolate, so the edge is the point below.
    if not math.isfinite(s_above) or s_above == s_below:
        return f_below
    t = (limit - s_below) / (s_above - s_below)
    return f_below + t * (f_above - f_below)


def band_below(f_mhz: np.ndarray, swr: np.ndarray, best: int, limit: float) -> Optional[Band]:
    """The band around point ``best`` where the SWR is below ``limit``, edges interpolated."""
    if not swr[best] < limit:
        return None
    lo = best
    while lo > 0 and swr[lo - 1] < limit:
        lo -= 1
    hi = best
    while hi + 1 < len(swr) and swr[hi + 1] < limit:
        hi += 1
    low_end = lo == 0
    high_end = hi + 1 == len(swr)
    low = f_mhz[0] if low_end else _crossing(f_mhz[lo], swr[lo], f_mhz[lo - 1], swr[lo - 1], limit)
    high = (
        f_mhz[hi] if high_end else _crossing(f_mhz[hi], swr[hi], f_mhz[hi + 1], swr[hi + 1], limit)
    )
    return Band(limit, float(low), float(high), low_end, high_end)


@dataclass
class Sweep:
    """One measured sweep.

    Attributes:
        frequency_hz: the frequencies, Hz.
        z: the series impedance R + jX at each, ohm (numpy complex).
        status: the library's status code per point (0: measured; a raw point outside a custom
            calibration loaded earlier is measured too, with 34514).
        info: the instrument's identification (None for a file from elsewhere).
        calibration: the calibration file used (None: raw values, or not known).
        corrected: True when the values are corrected by a calibration, False for raw readings,
            None when not known (a CSV file, a file of another tool).
        averaging: readings per point (1 = none).
        date: when it was measured (ISO 8601 with the UTC offset), or "".
        tool: what measured it ("zel-analyzer 1.1.0 library 1.1.0"), or "".
        comment: the free first comment line of its file.
        provenance: every "! key: value" comment line of the file it came from.
    """

    frequency_hz: np.ndarray
    z: np.ndarray
    status: Optional[np.ndarray] = None
    info: Optional["UnitInfo"] = None
    calibration: Optional[str] = None
    corrected: Optional[bool] = True
    averaging: int = 1
    date: str = ""
    tool: str = ""
    comment: str = ""
    instrument: str = ""
    provenance: Dict[str, str] = field(default_factory=dict)

    def __post_init__(self) -> None:
        self.frequency_hz = np.asarray(self.frequency_hz, dtype=float)
        self.z = np.asarray(self.z, dtype=complex)
        if self.status is None:
            self.status = np.zeros(len(self.frequency_hz), dtype=np.int32)
        else:
            self.status = np.asarray(self.status, dtype=np.int32)
        if not (len(self.frequency_hz) == len(self.z) == len(self.status)):
            raise ValueError("frequency_hz, z and status must have the same length")

    def __len__(self) -> int:
        return len(self.frequency_hz)

    def __repr__(self) -> str:
        if len(self) == 0:
            return "Sweep(no points)"
        f = self.frequency_mhz
        what = {True: "corrected", False: "raw", None: "correction not known"}[self.corrected]
        return f"Sweep({len(self)} points, {f[0]:.6g} to {f[-1]:.6g} MHz, {what})"

    @property
    def frequency_mhz(self) -> np.ndarray:
        return self.frequency_hz / 1e6

    @property
    def r(self) -> np.ndarray:
        """Series resistance, ohm."""
        return self.z.real

    @property
    def x(self) -> np.ndarray:
        """Series reactance, ohm."""
        return self.z.imag

    @property
    def gamma(self) -> np.ndarray:
        """Reflection coefficient against 50 ohm."""
        return gamma_of(self.z)

    @property
    def swr(self) -> np.ndarray:
        return swr_of(self.gamma)

    @property
    def return_loss_db(self) -> np.ndarray:
        return return_loss_of(self.gamma)

    def summary(self) -> Optional[Summary]:
        """The lowest SWR, where it is, and the 2:1 and 1.5:1 bandwidths (None: no points)."""
        if len(self) == 0:
            return None
        swr = self.swr
        f = self.frequency_mhz
        best = int(np.argmin(swr))
        return Summary(
            float(swr[best]),
            float(f[best]),
            band_below(f, swr, best, 2.0),
            band_below(f, swr, best, 1.5),
        )

    def to_network(self, name: Optional[str] = None):
        """The sweep as a one-port ``skrf.Network`` (S against Z0 = 50 ohm).

        scikit-rf is optional and imported here. Only S is handed over: Z, Gamma and SWR come from
        this class (Debian's scikit-rf 0.15 fails on ``Network.z`` with numpy 1.24).
        """
        import skrf

        freq = skrf.Frequency.from_f(self.frequency_hz, unit="hz")
        return skrf.Network(
            frequency=freq, s=self.gamma.reshape(-1, 1, 1), z0=REF_OHMS, name=name or "zel sweep"
        )

    def to_touchstone(self, path: PathLike) -> None:
        """Write a one-port Touchstone file as ``zel`` writes it (MHz, S RI, R 50)."""
        g = self.gamma
        lines = [f"! {self.comment or self._default_comment()}", f"! {REFLECTION_COMMENT}"]
        lines += [f"! {k}: {v}" for k, v in self._provenance_lines()]
        lines.append(TOUCHSTONE_OPTIONS)
        for f, gi in zip(self.frequency_mhz, g):
            lines.append("%.9f %.12g %.12g" % (f, gi.real, gi.imag))
        _write_text(path, lines)

    def to_csv(self, path: PathLike) -> None:
        """Write the CSV ``zel`` writes: a header line, then one line per point, no comments."""
        lines = [CSV_HEADER]
        swr, rl = self.swr, self.return_loss_db
        for f, z, s, l in zip(self.frequency_mhz, self.z, swr, rl):
            lines.append("%.6f,%.4f,%.4f,%.4f,%.4f,%.3f" % (f, z.real, z.imag, abs(z), s, l))
        _write_text(path, lines)

    def _default_comment(self) -> str:
        how = {True: "calibrated ", False: "raw ", None: ""}[self.corrected]
        return f"zel-analyzer sweep, {how}series impedance as reflection coefficient"

    def _provenance_lines(self) -> List[tuple]:
        if self.info is not None:
            instrument = self.info.provenance_text()
        else:
            instrument = self.instrument or self.provenance.get("instrument", "")
        out = []
        if instrument:
            out.append(("instrument", instrument))
        if self.date:
            out.append(("date", self.date))
        if self.corrected is not None:
            out.append(("values", "corrected" if self.corrected else "raw"))
        if self.calibration or self.corrected is not None:
            cal = Path(self.calibration).name if self.calibration else "none"
            out.append(("calibration", cal))
        out.append(("averaging", str(self.averaging)))
        if self.tool:
            out.append(("tool", self.tool))
        return out


def _write_text(path: PathLike, lines: Sequence[str]) -> None:
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


_UNITS = {"HZ": 1.0, "KHZ": 1e3, "MHZ": 1e6, "GHZ": 1e9}
_KEY_LINE = re.compile(r"^([a-z][a-z0-9 _-]*):\s*(.*)$")


def read_sweep(path: PathLike) -> Sweep:
    """Read a sweep file back: ``.s1p`` (Touchstone) or ``.csv`` as ``zel`` writes them.

    Touchstone files from other instruments are read too: frequency in Hz/kHz/MHz/GHz, S in
    RI, MA or DB form, any reference resistance. Comment lines may come in any order; a line
    ``! key: value`` with a lower-case key is kept in :attr:`Sweep.provenance`, and keys this
    package does not know are ignored otherwise.
    """
    p = Path(path)
    suffix = p.suffix.lower()
    if suffix == ".csv":
        return _read_csv(p)
    if suffix == ".s1p":
        return _read_touchstone(p)
    raise ValueError(f"{p}: the name must end in .s1p (Touchstone) or .csv")


def _read_csv(p: Path) -> Sweep:
    with open(p, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    if not rows or [c.strip() for c in rows[0][:3]] != ["frequency_mhz", "r_ohm", "x_ohm"]:
        raise ValueError(f"{p}: not a zel sweep CSV (the header must start {CSV_HEADER[:26]})")
    f_mhz, z = [], []
    for n, row in enumerate(rows[1:], start=2):
        if not row or not "".join(row).strip():
            continue
        try:
            f_mhz.append(float(row[0]))
            z.append(complex(float(row[1]), float(row[2])))
        except (ValueError, IndexError):
            raise ValueError(f"{p}:{n}: not a sweep line: {','.join(row)!r}") from None
    # The CSV carries no provenance: whether the values were corrected is not known.
    return Sweep(np.array(f_mhz) * 1e6, np.array(z, dtype=complex), corrected=None)


def _corrected(values: str, comment: str) -> Optional[bool]:
    # The "values" line; else the words of zel's first comment ("zel sweep, calibrated ...");
    # else not known.
    if values in ("corrected", "raw"):
        return values == "corrected"
    words = comment.replace(",", " ").split()
    if "raw" in words:
        return False
    if "calibrated" in words or "corrected" in words:
        return True
    return None


def _read_touchstone(p: Path) -> Sweep:
    unit, param, fmt, ref = 1e9, "S", "MA", 50.0  # Touchstone's defaults
    comments: List[str] = []
    keys: Dict[str, str] = {}
    f_list, a_list, b_list = [], [], []
    with open(p, encoding="utf-8", errors="replace") as f:
        for n, raw in enumerate(f, start=1):
            line = raw.strip()
            if line.startswith("!"):
                text = line[1:].strip()
                m = _KEY_LINE.match(text)
                if m:
                    keys[m.group(1)] = m.group(2).strip()
                else:
                    comments.append(text)
                continue
            line = line.split("!", 1)[0].strip()
            if not line:
                continue
            if line.startswith("#"):
                words = line[1:].upper().split()
                i = 0
                while i < len(words):
                    w = words[i]
                    if w in _UNITS:
                        unit = _UNITS[w]
                    elif w in ("S", "Y", "Z", "H", "G"):
                        param = w
                    elif w in ("RI", "MA", "DB"):
                        fmt = w
                    elif w == "R" and i + 1 < len(words):
                        ref = float(words[i + 1])
                        i += 1
                    i += 1
                continue
            if line.startswith("["):
                raise ValueError(f"{p}:{n}: Touchstone 2 keywords are not supported")
            parts = line.split()
            if len(parts) != 3:
                raise ValueError(f"{p}:{n}: a one-port line holds 3 numbers, not {len(parts)}")
            try:
                f_list.append(float(parts[0]))
                a_list.append(float(parts[1]))
                b_list.append(float(parts[2]))
            except ValueError:
                raise ValueError(f"{p}:{n}: not a number in {line!r}") from None
    if param not in ("S", "Z"):
        raise ValueError(f"{p}: {param} parameters are not supported (S or Z only)")
    a, b = np.array(a_list), np.array(b_list)
    if fmt == "RI":
        v = a + 1j * b
    elif fmt == "MA":
        v = a * np.exp(1j * np.deg2rad(b))
    else:
        v = 10 ** (a / 20) * np.exp(1j * np.deg2rad(b))
    if param == "S":
        with np.errstate(divide="ignore", invalid="ignore"):
            z = ref * (1 + v) / (1 - v)
        z[v == 1] = complex(np.inf, 0)
    else:
        z = v * ref  # normalised impedance
    values = keys.get("values", "")
    cal = keys.get("calibration")
    try:
        averaging = int(keys.get("averaging", "1"))
    except ValueError:
        averaging = 1
    comment = comments[0] if comments else ""
    return Sweep(
        np.array(f_list) * unit,
        z,
        calibration=None if cal in (None, "none") else cal,
        corrected=_corrected(values, comment),
        averaging=averaging,
        date=keys.get("date", ""),
        tool=keys.get("tool", ""),
        comment=comment,
        instrument=keys.get("instrument", ""),
        provenance=keys,
    )
