"""zel: the ZEL vector impedance analyzer from Python.

A thin layer over the ZEL_863_DLL library (ctypes, no compiler needed)::

    import zel
    from zel.sim import Simulator

    with Simulator(model="standard", dut="antenna:f0=14.2,r=42,q=12") as sim:
        with zel.Analyzer(device=sim.device) as za:
            za.calibrate("cal.txt", ask=sim.attach)
            sweep = za.sweep(13.5, 15.0, points=301)
    print(sweep.summary())
    sweep.to_touchstone("antenna.s1p")

Sweeps are numpy arrays (:class:`Sweep`), ``sweep.to_network()`` gives a scikit-rf Network,
:mod:`zel.plot` draws SWR, impedance, return loss and Smith charts (matplotlib).
"""

from ._lib import LibraryNotFound
from ._version import __version__
from .analyzer import Analyzer, UnitInfo, library_version, sweep_frequencies
from .errors import (
    CalibrationCancelled,
    CalibrationError,
    IdentificationError,
    InstrumentTimeout,
    MeasurementError,
    NotSupported,
    PortError,
    RelayRefused,
    ZelError,
)
from .sweep import Band, Summary, Sweep, read_sweep


def status_text(code: int) -> str:
    """The library's text for a status code ("no detector record from the instrument")."""
    from . import _lib

    return _lib.load().status_text(code)


__all__ = [
    "Analyzer",
    "Band",
    "CalibrationCancelled",
    "CalibrationError",
    "IdentificationError",
    "InstrumentTimeout",
    "LibraryNotFound",
    "MeasurementError",
    "NotSupported",
    "PortError",
    "RelayRefused",
    "Summary",
    "Sweep",
    "UnitInfo",
    "ZelError",
    "__version__",
    "library_version",
    "read_sweep",
    "status_text",
    "sweep_frequencies",
]
