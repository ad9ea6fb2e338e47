"""Status codes as exceptions.

Every non-zero status code the library returns is raised as a :class:`ZelError` (or one of its
subclasses, chosen by what the code is about). The message is the library's own text for the
code (``ZEL_StatusText``), so the package, ``zel`` and the C header never disagree on it.
The numeric constants mirror the enum of ``ZEL_863_DLL.h``; a test checks them against it.
"""

from __future__ import annotations

from typing import Dict, Optional, Type

OK = 0
ERR_UHF_FEW_SEGMENTS = 14
ERR_FLASH_READ = 27
ERR_FLASH_WRITE = 29
ERR_NO_IDENT = 121
ERR_UHF_MANY_SEGMENTS = 213
ERR_PORT_OPEN = 34502
ERR_PORT_CLOSE = 34503
ERR_RF_OVERVOLTAGE = 34506
ERR_CAL_FORMAT = 34508
ERR_CAL_TEMPERATURE = 34510
ERR_MULT_CODE = 34511
ERR_IMAGE_ZONE = 34512
ERR_CAL_TOO_LARGE = 34513
ERR_CAL_RANGE = 34514
ERR_NO_TEMP_SENSOR = 34515
ERR_TEMP_TIMEOUT = 34516
ERR_NO_RF_SENSOR = 34517
ERR_RF_TIMEOUT = 34518
ERR_NOT_CALIBRATED = 34519
ERR_CAL_WRONG_UNIT = 34520
ERR_CAL_PATH = 34521
ERR_CAL_SEGMENTS = 34522
ERR_CAL_OPEN = 34523
ERR_NO_SYNC = 34524
ERR_NO_RECORD = 34525
ERR_NO_REFERENCE = 34526
ERR_CAL_WRITE = 34527
ERR_CAL_SPEC = 34528
ERR_RECORD_CHECKSUM = 34529
ERR_CAL_MAXFREQ = 34530
ERR_CAL_DAMAGED = 34531
ERR_BAD_FREQUENCY = 34532
ERR_NOT_SENT = 34533


class ZelError(Exception):
    """A status code from the library.

    Attributes:
        code: the status code (see the constants of this module).
        message: the library's text for it.
        context: what the package was doing ("sweep at 14.2 MHz"), or "".
    """

    def __init__(self, code: int, message: str, context: str = "") -> None:
        self.code = code
        self.message = message
        self.context = context
        text = f"{message} (status {code})"
        super().__init__(f"{context}: {text}" if context else text)


class PortError(ZelError):
    """The port cannot be opened or closed, or a command cannot be sent on it."""


class IdentificationError(ZelError):
    """The controller did not identify itself, or its flash date code could not be handled."""


class CalibrationError(ZelError):
    """A calibration file cannot be read, written or used, or none is loaded."""


class InstrumentTimeout(ZelError):
    """The instrument did not answer in time (no detector record, no sensor reply)."""


class MeasurementError(ZelError):
    """A point could not be measured (no reference signal, bad records, a frequency refused)."""


class NotSupported(ZelError):
    """The model has no such feature (temperature or RF voltage sensor, sync output)."""


class RelayRefused(ZelError):
    """The relay stayed off: the RF voltage at the input is too high."""


class CalibrationCancelled(Exception):
    """The calibration was cancelled before its file was written (no status code)."""


_CLASSES: Dict[int, Type[ZelError]] = {}
for _cls, _codes in (
    (PortError, (ERR_PORT_OPEN, ERR_PORT_CLOSE, ERR_NOT_SENT)),
    (IdentificationError, (ERR_NO_IDENT, ERR_FLASH_READ, ERR_FLASH_WRITE)),
    (
        CalibrationError,
        (
            ERR_UHF_FEW_SEGMENTS,
            ERR_UHF_MANY_SEGMENTS,
            ERR_CAL_FORMAT,
            ERR_CAL_TEMPERATURE,
            ERR_CAL_TOO_LARGE,
            ERR_CAL_RANGE,
            ERR_NOT_CALIBRATED,
            ERR_CAL_WRONG_UNIT,
            ERR_CAL_PATH,
            ERR_CAL_SEGMENTS,
            ERR_CAL_OPEN,
            ERR_CAL_WRITE,
            ERR_CAL_SPEC,
            ERR_CAL_MAXFREQ,
            ERR_CAL_DAMAGED,
        ),
    ),
    (InstrumentTimeout, (ERR_NO_RECORD, ERR_TEMP_TIMEOUT, ERR_RF_TIMEOUT)),
    (
        MeasurementError,
        (
            ERR_NO_REFERENCE,
            ERR_RECORD_CHECKSUM,
            ERR_MULT_CODE,
            ERR_IMAGE_ZONE,
            ERR_BAD_FREQUENCY,
        ),
    ),
    (NotSupported, (ERR_NO_TEMP_SENSOR, ERR_NO_RF_SENSOR, ERR_NO_SYNC)),
    (RelayRefused, (ERR_RF_OVERVOLTAGE,)),
):
    for _code in _codes:
        _CLASSES[_code] = _cls


def error_class(code: int) -> Type[ZelError]:
    """The exception class a status code is raised as."""
    return _CLASSES.get(code, ZelError)


def make_error(code: int, context: str = "", library: Optional[object] = None) -> ZelError:
    """The exception for a status code, its message from the library's ``ZEL_StatusText``."""
    from . import _lib

    lib = library if library is not None else _lib.load()
    return error_class(code)(code, lib.status_text(code), context)  # type: ignore[attr-defined]
