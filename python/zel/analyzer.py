"""The analyzer: one instrument on a serial port, driven through the library."""

from __future__ import annotations

import contextlib
import ctypes
import datetime
import logging
import math
import os
import re
import sys
import tempfile
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Iterator, List, Optional, Tuple, Union

import numpy as np

from . import _lib, errors
from ._version import __version__
from .sweep import Sweep

log = logging.getLogger("zel")

PathLike = Union[str, Path]
# on_question(title, text) -> True for Yes: the instrument's Yes/No questions (default: No).
QuestionCallback = Callable[[str, str], bool]
# ask(standard, rcal_ohms) before each standard of a calibration ("short", "open", "load");
# returning False cancels the calibration.
StandardCallback = Callable[[str, float], Optional[bool]]
ProgressCallback = Callable[[int, int], None]

# The library maps COMn to the device named by ZEL_COM<n>; a device given by name goes through
# this port number, far above the ports a machine has, as zel's own does.
DEVICE_PORT = 99
BAUD_NORMAL = 57600
BAUD_FAST = 115200  # any rate above 100000 selects the 115000-baud link
DEFAULT_SWEEP_POINTS = 101
MAX_SWEEP_POINTS = 100000
# Frequencies typed as the range's edges get half a hertz of slack.
RANGE_SLACK_MHZ = 5e-7
# Recorded in a calibration file for units without a temperature sensor; never used to correct.
NOMINAL_TEMP_F = 77.0
# A standard calibration grid runs one point per whole MHz from 0 to two beyond the maximum; a
# custom one has two points below its start and reaches past its end, so the library's
# three-point interpolation covers all of start..stop.
EXTRA_STANDARD_POINTS = 3
CUSTOM_POINTS_BELOW = 2
CUSTOM_EXTRA_POINTS = 4
# What ZEL_GetVersion returns when the identification failed.
IDENT_FAILED_TEXT = "34506"


@dataclass(frozen=True)
class UnitInfo:
    """What the identification found out about the instrument."""

    model: str  #: "low-range", "standard", "UHF", "high-power"
    model_code: int
    firmware: str  #: as the identification writes it ("5.12"), or ""
    serial_number: int
    unit_id: str  #: the identification calibration files must carry
    min_freq_mhz: float
    max_freq_mhz: float
    record_bytes: int  #: 72 (long records) or 67 (short)
    sync: bool
    rf_sensor: bool
    temp_sensor: bool
    max_baud: int
    baud_rate: int
    rgen_ohms: float
    rref_ohms: float
    device: str
    identification: str  #: the controller's identification text
    flash_id: bool
    flash_programmed: bool

    @property
    def frequency_range(self) -> Tuple[float, float]:
        """(lowest, highest) frequency in MHz."""
        return (self.min_freq_mhz, self.max_freq_mhz)

    @property
    def record_format(self) -> str:
        return "short (67 bytes)" if self.record_bytes == 67 else "long (72 bytes)"

    @property
    def sensors(self) -> Tuple[str, ...]:
        """The sensors the model has: "rf_voltage", "temperature"."""
        out = []
        if self.rf_sensor:
            out.append("rf_voltage")
        if self.temp_sensor:
            out.append("temperature")
        return tuple(out)

    def provenance_text(self) -> str:
        """The instrument as a sweep file's provenance line names it."""
        serial = str(self.serial_number) if self.serial_number > 0 else "none"
        return f"{self.model} serial {serial} firmware {self.firmware or 'none'}"

    @staticmethod
    def _from_struct(s: _lib.UnitInfoStruct) -> "UnitInfo":
        def text(b: bytes) -> str:
            return b.decode("latin-1")

        return UnitInfo(
            model=text(s.model_name),
            model_code=s.model,
            firmware=text(s.firmware),
            serial_number=s.serial_number,
            unit_id=text(s.unit_id),
            min_freq_mhz=s.min_freq_mhz,
            max_freq_mhz=s.max_freq_mhz,
            record_bytes=s.record_bytes,
            sync=bool(s.sync),
            rf_sensor=bool(s.rf_sensor),
            temp_sensor=bool(s.temp_sensor),
            max_baud=s.max_baud,
            baud_rate=s.baud_rate,
            rgen_ohms=s.rgen_ohms,
            rref_ohms=s.rref_ohms,
            device=text(s.device),
            identification=_trimmed(text(s.ident_text)),
            flash_id=bool(s.flash_id),
            flash_programmed=bool(s.flash_programmed),
        )


def _trimmed(text: str) -> str:
    # The controller ends its reply with "?" (or "@") and line ends; they are not the text.
    return text.rstrip("?@\r\n ").lstrip("\r\n ")


def sweep_frequencies(
    start: float, stop: float, points: Optional[int] = None, step: Optional[float] = None
) -> np.ndarray:
    """The frequencies of a sweep, MHz, as ``zel sweep`` makes them."""
    if not (math.isfinite(start) and math.isfinite(stop)) or stop < start:
        raise ValueError("stop must not be below start")
    if points is not None and step is not None:
        raise ValueError("give points or step, not both")
    if step is not None:
        if not (step > 0 and math.isfinite(step)):
            raise ValueError("step must be above 0")
        span = (stop - start) / step
        if span >= MAX_SWEEP_POINTS:
            raise ValueError(f"step gives more than {MAX_SWEEP_POINTS} points")
        # A little slack for a stop that is a decimal step away.
        count = int(math.floor(span + 1e-9)) + 1
        return start + step * np.arange(count)
    count = DEFAULT_SWEEP_POINTS if points is None else int(points)
    if not 1 <= count <= MAX_SWEEP_POINTS:
        raise ValueError(f"points must be 1 to {MAX_SWEEP_POINTS}")
    if count == 1 or stop == start:
        return np.array([float(start)])
    return start + (stop - start) * np.arange(count) / (count - 1)


# The library has one state per process, so one Analyzer at a time may hold it; the notice
# handler reaches the Yes/No callback of that one.
_current: Optional["Analyzer"] = None
_current_lock = threading.Lock()


def _on_notice(title: Optional[bytes], text: Optional[bytes], yes_no: int) -> int:
    t = (title or b"").decode("latin-1").strip()
    body = (text or b"").decode("latin-1").replace("\r\n", " / ")
    body = body.replace("\r", " ").replace("\n", " ")
    if not yes_no:
        log.warning("instrument notice [%s] %s", t, body)
        return 0
    answer = False
    callback = _current.on_question if _current is not None else None
    if callback is not None:
        try:
            answer = bool(callback(t, body))
        except Exception:  # an exception cannot cross the library; the answer is No
            log.exception("the question callback failed; answering No")
            answer = False
    log.warning("instrument question [%s] %s: answered %s", t, body, "Yes" if answer else "No")
    return 1 if answer else 0


def _install_notice_handler(lib: _lib.Library) -> None:
    with lib.lock:
        if lib.notice_thunk is None:
            lib.notice_thunk = _lib.NOTICE_HANDLER(_on_notice)
            lib.ZEL_SetNoticeHandler(lib.notice_thunk)


def library_version(library: Optional[str] = None) -> str:
    """The version of the ZEL_863_DLL library the package loads."""
    return _lib.load(library).version()


class Analyzer:
    """One analyzer on a serial port; a context manager that closes it on exit.

    Opening initialises the library and identifies the controller (:attr:`info`). Every call
    blocks until the instrument has answered; a status code other than 0 raises a
    :class:`zel.ZelError`. The library keeps one instrument per process, so a second Analyzer
    may only open after the first has closed. Calls from several threads are serialised.

    Args:
        port: the COM port number (COMn; on Linux ``$ZEL_COM<n>`` or ``/dev/ttyS<n-1>``).
        device: a device path instead ("/dev/ttyUSB0", a simulator's pseudo-terminal; "COM5" on
            Windows).
        fast: switch the link to 115000 baud when the controller can.
        library: the library file to load (else ``$ZEL_LIB``, the package folder, the build
            tree, the system).
        on_question: answers the instrument's Yes/No questions,
            ``on_question(title, text) -> bool``; without it every question is answered No.
            Notices go to the ``zel`` logger.
    """

    def __init__(
        self,
        port: Optional[int] = None,
        *,
        device: Optional[str] = None,
        fast: bool = False,
        library: Optional[str] = None,
        on_question: Optional[QuestionCallback] = None,
    ) -> None:
        global _current
        if (port is None) == (device is None):
            raise ValueError("give either port or device")
        self._lib = _lib.load(library)
        self.on_question = on_question
        self._open = False
        self._calibration: Optional[str] = None
        self._averaging = 1
        self._lock = self._lib.lock
        with _current_lock:
            if _current is not None:
                raise RuntimeError(
                    "another Analyzer is open in this process (the library keeps one instrument);"
                    " close it first"
                )
            _current = self
        try:
            self._open_port(port, device, fast)
        except BaseException:
            self._release()
            raise

    def _open_port(self, port: Optional[int], device: Optional[str], fast: bool) -> None:
        _install_notice_handler(self._lib)
        if device is not None and sys.platform == "win32":
            # Windows names the port itself: the library opens \\.\COMn.
            m = re.fullmatch(r"(?:\\\\\.\\)?COM(\d+)", os.fspath(device), re.IGNORECASE)
            if not m:
                raise ValueError(f"device {device!r}: on Windows give COMn (or port=n)")
            port, where = int(m.group(1)), f"COM{m.group(1)}"
        elif device is not None:
            port = DEVICE_PORT
            os.environ[f"ZEL_COM{port}"] = os.fspath(device)
            where = str(device)
        else:
            assert port is not None
            where = f"COM{port}"
        self._port = int(port)
        with self._lock:
            status = self._lib.ZEL_CommPort(1, self._port, BAUD_FAST if fast else BAUD_NORMAL)
            if status != errors.OK:
                raise errors.make_error(status, f"cannot open {where}", self._lib)
            self._open = True
            try:
                self._lib.ZEL_InitVars(0)
                ptr = self._lib.ZEL_GetVersion(0)
                text = ctypes.string_at(ptr).decode("latin-1") if ptr else IDENT_FAILED_TEXT
                if ptr:
                    self._lib.free(ptr)
                if text == IDENT_FAILED_TEXT:
                    raise errors.make_error(errors.ERR_NO_IDENT, where, self._lib)
                self.info = self._read_info()
                if self.info.model_code == _lib.MODEL_UNKNOWN:
                    context = f"{where}: the identification names no model ({_trimmed(text)!r})"
                    raise errors.make_error(errors.ERR_NO_IDENT, context, self._lib)
            except BaseException:
                self._close_port()
                raise

    def _read_info(self) -> UnitInfo:
        s = _lib.UnitInfoStruct()
        self._lib.ZEL_GetUnitInfo(ctypes.byref(s))
        return UnitInfo._from_struct(s)

    def _release(self) -> None:
        global _current
        with _current_lock:
            if _current is self:
                _current = None

    def _close_port(self) -> None:
        if self._open:
            # The relay goes off whatever state the run left it in; the generator with it.
            self._lib.ZEL_ProgRelay(0)
            self._lib.ZEL_CommPort(0, self._port, 0)
            self._open = False

    def close(self) -> None:
        """Switch the relay off and close the port. Safe to call more than once."""
        with self._lock:
            self._close_port()
        self._release()

    def __enter__(self) -> "Analyzer":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        state = "open" if self._open else "closed"
        info = getattr(self, "info", None)
        model = info.model if info else "?"
        return f"<zel.Analyzer {model} on port {getattr(self, '_port', '?')} ({state})>"

    # -- helpers ---------------------------------------------------------------------------

    def _check(self, status: int, context: str) -> None:
        if status != errors.OK:
            raise errors.make_error(status, context, self._lib)

    def _require_open(self) -> None:
        if not self._open:
            raise RuntimeError("the analyzer is closed")

    def _check_range(self, f_mhz: float, what: str) -> None:
        lo, hi = self.info.frequency_range
        if not (lo - RANGE_SLACK_MHZ <= f_mhz <= hi + RANGE_SLACK_MHZ):
            raise ValueError(
                f"{what} {f_mhz:.6g} MHz is outside the {self.info.model} instrument's range "
                f"{lo:.6g} to {hi:.6g} MHz"
            )

    # -- the instrument --------------------------------------------------------------------

    @property
    def calibration(self) -> Optional[str]:
        """The calibration file loaded, or None."""
        return self._calibration

    @property
    def averaging(self) -> int:
        """Readings averaged per point, as last set through this Analyzer (1 = none)."""
        return self._averaging

    def set_averaging(self, count: int) -> None:
        """Average ``count`` readings per point (1..16, up to 256 on newer firmware; the
        library maps values out of range)."""
        with self._lock:
            self._require_open()
            self._lib.ZEL_AvgReadings(int(count))
            self._averaging = int(count)

    def load_calibration(self, path: PathLike) -> None:
        """Load a calibration file; corrected measurements need one."""
        p = os.fspath(path)
        with self._lock:
            self._require_open()
            self._check(self._lib.ZEL_LoadCalFile(os.fsencode(p)), f"calibration file {p}")
            self._calibration = p

    def point(self, f_mhz: float, corrected: bool = True) -> complex:
        """Measure one frequency: the series impedance R + jX, ohm.

        ``corrected`` needs a calibration (:meth:`load_calibration` or :meth:`calibrate`);
        ``corrected=False`` gives the bridge's raw reading.
        """
        f = float(f_mhz)
        r, x = ctypes.c_double(), ctypes.c_double()
        with self._lock:
            self._require_open()
            self._check_range(f, "frequency")
            status = self._lib.ZEL_ScanPoint(1 if corrected else 0, f, r, x)
            if not (status == errors.ERR_CAL_RANGE and not corrected):
                self._check(status, f"point at {f:.6g} MHz")
        return complex(r.value, x.value)

    def sweep(
        self,
        start: float,
        stop: float,
        points: Optional[int] = None,
        step: Optional[float] = None,
        *,
        corrected: bool = True,
        avg: Optional[int] = None,
        progress: Optional[ProgressCallback] = None,
    ) -> Sweep:
        """Measure from ``start`` to ``stop`` MHz at ``points`` points (default 101) or every
        ``step`` MHz.

        ``avg`` sets the readings averaged per point first. ``progress(done, total)`` is called
        after each point. A point that fails raises its :class:`zel.ZelError`, whose ``sweep``
        attribute holds the points measured before it.
        """
        freqs = sweep_frequencies(start, stop, points, step)
        f_list: List[float] = freqs.tolist()
        n = len(f_list)
        r_arr = np.empty(n)
        x_arr = np.empty(n)
        mode = 1 if corrected else 0
        # A raw reading is good even when a custom calibration loaded earlier in the process does
        # not reach its frequency (the library reports 34514 and hands out the raw values).
        harmless = 0 if corrected else errors.ERR_CAL_RANGE
        status_arr = np.zeros(n, dtype=np.int32)
        scan = self._lib.dll.ZEL_ScanPoint
        r, x = ctypes.c_double(), ctypes.c_double()
        pr, px = ctypes.byref(r), ctypes.byref(x)
        with self._lock:
            self._require_open()
            self._check_range(f_list[0], "sweep start")
            self._check_range(f_list[-1], "sweep stop")
            if avg is not None:
                self.set_averaging(avg)
            date = _now()
            for i, f in enumerate(f_list):
                status = scan(mode, f, pr, px)
                if status:
                    if status != harmless:
                        err = errors.make_error(status, f"sweep at {f:.6g} MHz", self._lib)
                        err.sweep = self._make_sweep(  # type: ignore[attr-defined]
                            freqs[:i], r_arr[:i], x_arr[:i], status_arr[:i], corrected, date
                        )
                        raise err
                    status_arr[i] = status
                r_arr[i] = r.value
                x_arr[i] = x.value
                if progress is not None:
                    progress(i + 1, n)
            return self._make_sweep(freqs, r_arr, x_arr, status_arr, corrected, date)

    def _make_sweep(self, f_mhz, r, x, status, corrected: bool, date: str) -> Sweep:
        return Sweep(
            frequency_hz=np.asarray(f_mhz) * 1e6,
            z=np.asarray(r) + 1j * np.asarray(x),
            status=status,
            info=self.info,
            calibration=self._calibration if corrected else None,
            corrected=corrected,
            averaging=self._averaging,
            date=date,
            tool=f"zel-analyzer {__version__} library {self._lib.version()}",
        )

    @contextlib.contextmanager
    def hold(self, f_mhz: float) -> Iterator[None]:
        """Hold the generator on one frequency for the ``with`` block; it is switched off on
        leaving the block, also on an exception."""
        f = float(f_mhz)
        with self._lock:
            self._require_open()
            self._check_range(f, "frequency")
            status = self._lib.ZEL_ConstantFreq(1, f)
            if status != errors.OK:
                self._lib.ZEL_ConstantFreq(0, 0.0)
                self._check(status, f"hold at {f:.6g} MHz")
        try:
            yield
        finally:
            with self._lock:
                if self._open:
                    status = self._lib.ZEL_ConstantFreq(0, 0.0)
                    self._check(status, "switching the generator off")

    def _sensor(self, raw: int, what: str) -> float:
        v = _lib.bits_to_double(raw)
        # A failure comes back as its status code in place of the value; no reading of either
        # sensor comes near those numbers.
        if math.isfinite(v) and v == int(v) and errors.error_class(int(v)) is not errors.ZelError:
            raise errors.make_error(int(v), what, self._lib)
        return v

    def rf_voltage(self) -> float:
        """The RF voltage at the input, volts peak (high-power model only)."""
        with self._lock:
            self._require_open()
            return self._sensor(self._lib.ZEL_GetRFVoltage(0), "RF voltage")

    def temperature(self, unit: str = "C") -> float:
        """The instrument's temperature in ``unit`` "C" (Celsius) or "F" (Fahrenheit)."""
        u = unit.strip().upper()[:1]
        if u not in ("C", "F"):
            raise ValueError('unit must be "C" or "F"')
        with self._lock:
            self._require_open()
            return self._sensor(self._lib.ZEL_GetTemperature(0 if u == "C" else 1), "temperature")

    def calibrate(
        self,
        path: PathLike,
        ask: Optional[StandardCallback] = None,
        custom: Optional[Tuple[float, float, float]] = None,
        rcal: float = 50.0,
        avg: Optional[int] = None,
        comment: str = "zel-analyzer calibrate",
    ) -> int:
        """Calibrate: measure the short, the open and the load standard, write the calibration
        file with the library's writer and load it.

        ``ask(standard, rcal)`` is called before each standard ("short", "open", "load") once it
        should be attached; it returns False to cancel (:class:`zel.CalibrationCancelled` is raised
        then and no file is written). Without it the question is asked on the terminal.
        ``custom=(start, stop, step)`` MHz makes a custom grid; the default grid is one point
        per MHz over the whole range. Returns the number of points per standard.
        """
        if not 5 <= rcal <= 999999:
            raise ValueError("rcal must be between 5 and 999999 ohms")
        ask = ask or _ask_on_terminal
        with self._lock:
            self._require_open()
            lo, hi = self.info.frequency_range
            if custom is not None:
                start, stop, step = (float(v) for v in custom)
                if not step > 0 or not stop > start:
                    raise ValueError("custom: stop must be above start and step above 0")
                self._check_range(start, "custom start")
                self._check_range(stop, "custom stop")
                count = math.ceil((stop - start) / step - 1e-9) + CUSTOM_EXTRA_POINTS
                grid = [start + (i - CUSTOM_POINTS_BELOW) * step for i in range(count)]
            else:
                start = stop = step = 0.0
                grid = [float(i) for i in range(round(hi) + EXTRA_STANDARD_POINTS)]
            if len(grid) > _lib.MAX_CAL_POINTS:
                raise ValueError(
                    f"the grid has {len(grid)} points; a calibration holds at most "
                    f"{_lib.MAX_CAL_POINTS}"
                )
            # Nothing is measured outside the range: a point beyond an edge holds the standard
            # measured at that edge (so 0 MHz holds the lowest frequency the instrument makes).
            measure = [min(max(f, lo), hi) for f in grid]
            if avg is not None:
                self.set_averaging(avg)
            self._calibration = None
            self._leave_custom_grid(measure[0])
            n = len(grid)
            arrays = []
            for standard in ("short", "open", "load"):
                if ask(standard, rcal) is False:
                    raise errors.CalibrationCancelled(
                        f"calibration cancelled at the {standard} standard; no file written"
                    )
                re_, im_ = (ctypes.c_double * n)(), (ctypes.c_double * n)()
                r, x = ctypes.c_double(), ctypes.c_double()
                for i, f in enumerate(measure):
                    status = self._lib.ZEL_ScanPoint(0, f, r, x)
                    if status != errors.ERR_CAL_RANGE:  # the raw reading is good (see sweep)
                        self._check(status, f"calibration, {standard} standard at {f:.6g} MHz")
                    re_[i], im_[i] = r.value, x.value
                arrays += [re_, im_]
            temp_f = NOMINAL_TEMP_F
            if self.info.temp_sensor:
                t = _lib.bits_to_double(self._lib.ZEL_GetTemperature(1))
                if 0 <= t <= 200:
                    temp_f = t
            desc = _lib.CalDescription()
            desc.rcal_ohms = rcal
            desc.max_freq_mhz = 0  # the identified controller's
            desc.temperature_f = temp_f
            desc.custom = 1 if custom is not None else 0
            desc.points = n
            desc.start_mhz, desc.end_mhz, desc.step_mhz = start, stop, step
            desc.unit_id = None  # the identified unit's own
            desc.comment = comment.encode("latin-1")
            desc.uhf = 1 if self.info.model_code == _lib.MODEL_UHF else 0
            desc.from_mode0 = 1
            p = os.fspath(path)
            status = self._lib.ZEL_WriteCalFile(os.fsencode(p), ctypes.byref(desc), *arrays)
            self._check(status, f"writing the calibration file {p}")
            self._check(self._lib.ZEL_LoadCalFile(os.fsencode(p)), f"calibration file {p}")
            self._calibration = p
            return n


    def _leave_custom_grid(self, f_mhz: float) -> None:
        # A custom calibration loaded earlier in the process stays in force (ZEL_InitVars keeps
        # it), and every raw reading outside its grid then switches the relay off and on again,
        # a pause per point. Loading a placeholder on the standard grid ends that; the new
        # calibration replaces it at the end.
        r, x = ctypes.c_double(), ctypes.c_double()
        if self._lib.ZEL_ScanPoint(0, f_mhz, r, x) != errors.ERR_CAL_RANGE:
            return
        n = round(self.info.max_freq_mhz) + EXTRA_STANDARD_POINTS
        short, open_, load = [(ctypes.c_double * n)(*([v] * n)) for v in (1.0, 5000.0, 100.0)]
        zeros = (ctypes.c_double * n)()
        desc = _lib.CalDescription()
        desc.rcal_ohms = 50
        desc.temperature_f = NOMINAL_TEMP_F
        desc.unit_id = b""
        desc.comment = b"zel-analyzer placeholder"
        desc.uhf = 1 if self.info.model_code == _lib.MODEL_UHF else 0
        with tempfile.TemporaryDirectory(prefix="zel-") as d:
            p = os.fsencode(os.path.join(d, "placeholder.cal"))
            desc_p = ctypes.byref(desc)
            status = self._lib.ZEL_WriteCalFile(p, desc_p, short, zeros, open_, zeros, load, zeros)
            if status == errors.OK:
                self._lib.ZEL_LoadCalFile(p)


def _ask_on_terminal(standard: str, rcal: float) -> bool:
    what = f"the LOAD standard ({rcal:g} ohm)" if standard == "load" else f"the {standard.upper()}"
    try:
        input(f"Attach {what} and press Enter (Ctrl-C cancels) ")
    except (EOFError, KeyboardInterrupt):
        return False
    return True


def _now() -> str:
    return datetime.datetime.now().astimezone().isoformat(timespec="seconds")
