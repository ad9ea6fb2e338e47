"""Finding and loading the ZEL_863_DLL library, and its C interface as ctypes sees it.

The library keeps one process-wide state (one instrument per process, one call at a time), so
every call into it goes through :data:`Library.lock`, a re-entrant lock: the notice handler runs
inside a call on the caller's thread and may call back (``ZEL_StatusText``) without deadlock.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import struct
import sys
import threading
from pathlib import Path
from typing import Callable, List, Optional

# The file's name on each system: no "lib" prefix on Linux, as hosts of the DLL expect.
LIBRARY_FILE = "ZEL_863_DLL.dll" if sys.platform == "win32" else "ZEL_863_DLL.so"
LIBRARY_NAME = "ZEL_863_DLL"
ENV_LIBRARY = "ZEL_LIB"

# The folders of a CMake build tree the package looks in when it runs from a checkout
# (python/zel inside the repository): the usual build directory names.
_BUILD_DIRS = ("build", "build-release", "build-debug", "build-win32", "build-win64")


# From the C header: the calibration tables' size and the models ZEL_UnitInfo.model names.
MAX_CAL_POINTS = 30032
MODEL_UNKNOWN = 0
MODEL_LOW_RANGE = 1
MODEL_STANDARD = 2
MODEL_UHF = 3
MODEL_HIGH_POWER = 4


class LibraryNotFound(OSError):
    """No loadable ZEL_863_DLL library was found; the message lists every place tried."""


class UnitInfoStruct(ctypes.Structure):
    """``ZEL_UnitInfo`` of the C header, field for field."""

    _fields_ = [
        ("identified", ctypes.c_int32),
        ("model", ctypes.c_int32),
        ("model_name", ctypes.c_char * 32),
        ("firmware", ctypes.c_char * 16),
        ("firmware_version100", ctypes.c_int32),
        ("serial_number", ctypes.c_int32),
        ("unit_id", ctypes.c_char * 256),
        ("flash_id", ctypes.c_int32),
        ("flash_programmed", ctypes.c_int32),
        ("min_freq_mhz", ctypes.c_double),
        ("max_freq_mhz", ctypes.c_double),
        ("record_bytes", ctypes.c_int32),
        ("sync", ctypes.c_int32),
        ("rf_sensor", ctypes.c_int32),
        ("temp_sensor", ctypes.c_int32),
        ("max_baud", ctypes.c_int32),
        ("baud_rate", ctypes.c_int32),
        ("rgen_ohms", ctypes.c_double),
        ("rref_ohms", ctypes.c_double),
        ("device", ctypes.c_char * 256),
        ("ident_text", ctypes.c_char * 256),
    ]


class CalDescription(ctypes.Structure):
    """``ZEL_CalSpec`` of the C header, field for field."""

    _fields_ = [
        ("rcal_ohms", ctypes.c_double),
        ("max_freq_mhz", ctypes.c_double),
        ("temperature_f", ctypes.c_double),
        ("custom", ctypes.c_int32),
        ("points", ctypes.c_int32),
        ("start_mhz", ctypes.c_double),
        ("end_mhz", ctypes.c_double),
        ("step_mhz", ctypes.c_double),
        ("unit_id", ctypes.c_char_p),
        ("min5k", ctypes.c_int32),
        ("comment", ctypes.c_char_p),
        ("date_time", ctypes.c_char_p),
        ("uhf", ctypes.c_int32),
        ("segment_count", ctypes.c_int32),
        ("seg_start_mhz", ctypes.POINTER(ctypes.c_int32)),
        ("seg_mults", ctypes.POINTER(ctypes.c_int32)),
        ("band_edge1_mhz", ctypes.c_int32),
        ("band_edge2_mhz", ctypes.c_int32),
        ("dds1_level", ctypes.c_double),
        ("from_mode0", ctypes.c_int32),
    ]


# The notice handler has no calling-convention mark in the header, so it is cdecl on every
# system, the 32-bit Windows DLL included (whose exports are __stdcall).
NOTICE_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int)

_D = ctypes.c_double
_I = ctypes.c_int32
_PD = ctypes.POINTER(ctypes.c_double)
_SIGNATURES = {
    "ZEL_InitVars": (_I, [_I]),
    "ZEL_Sync": (_I, [_I]),
    "ZEL_ScanPoint": (_I, [_I, _D, _PD, _PD]),
    "ZEL_AvgReadings": (_I, [_I]),
    "ZEL_CommPort": (_I, [_I, _I, _I]),
    "ZEL_LoadCalFile": (_I, [ctypes.c_char_p]),
    "ZEL_ProgRelay": (_I, [_I]),
    "ZEL_ConstantFreq": (_I, [_I, _D]),
    # A pointer, not c_char_p: the block is the caller's to free, so its address must survive.
    "ZEL_GetVersion": (ctypes.c_void_p, [_I]),
    "ZEL_GetSerialNum": (_I, [_I]),
    "ZEL_GetRFVoltage": (ctypes.c_int64, [_I]),
    "ZEL_GetTemperature": (ctypes.c_int64, [_I]),
    "ZEL_SetNoticeHandler": (None, [NOTICE_HANDLER]),
    "ZEL_WriteCalFile": (_I, [ctypes.c_char_p, ctypes.POINTER(CalDescription)] + [_PD] * 6),
    "ZEL_StatusText": (ctypes.c_char_p, [_I]),
    "ZEL_LibraryVersion": (ctypes.c_char_p, []),
    "ZEL_GetUnitInfo": (_I, [ctypes.POINTER(UnitInfoStruct)]),
}


def bits_to_double(bits: int) -> float:
    """The double whose 64 bits ``ZEL_GetRFVoltage`` and ``ZEL_GetTemperature`` return."""
    return struct.unpack("<d", struct.pack("<q", bits))[0]


def _c_free() -> Callable[[Optional[int]], None]:
    """``free`` of the C runtime the library allocates from."""
    if sys.platform == "win32":
        # MinGW-w64 links the DLL against msvcrt.dll, the C runtime its malloc comes from.
        crt = ctypes.CDLL("msvcrt")
    else:
        crt = ctypes.CDLL(None)
    free = crt.free
    free.argtypes = [ctypes.c_void_p]
    free.restype = None
    return free


class Library:
    """The loaded library: its functions with their C signatures, and the lock around them."""

    def __init__(self, path: str) -> None:
        # The 32-bit DLL's exports are __stdcall; on 64-bit Windows both loaders are the same.
        win = sys.platform == "win32"
        loader = ctypes.WinDLL if win else ctypes.CDLL  # type: ignore[attr-defined]
        self.path = path
        self.dll = loader(path)
        for name, (restype, argtypes) in _SIGNATURES.items():
            fn = getattr(self.dll, name)
            fn.restype = restype
            fn.argtypes = argtypes
        self.lock = threading.RLock()
        self.free = _c_free()
        # The handler installed with ZEL_SetNoticeHandler; kept here so that ctypes does not
        # collect the thunk the library calls.
        self.notice_thunk: Optional[ctypes._CFuncPtr] = None  # type: ignore[name-defined]

    def __getattr__(self, name: str):
        return getattr(self.dll, name)

    def status_text(self, code: int) -> str:
        """The library's one line of English for a status code."""
        return self.dll.ZEL_StatusText(code).decode("utf-8", "replace")

    def version(self) -> str:
        """The library's version, "major.minor.patch"."""
        return self.dll.ZEL_LibraryVersion().decode("ascii", "replace")


def candidates(library: Optional[str] = None) -> List[str]:
    """Where the package looks for the library, in order (the first loadable one wins).

    The ``library`` argument, then ``$ZEL_LIB``, then the package's own folder, then the build
    tree of the checkout the package runs from, then the system's search (``find_library``
    and the dynamic loader's own path).
    """
    places: List[str] = []
    if library:
        return [str(library)]
    env = os.environ.get(ENV_LIBRARY)
    if env:
        return [env]
    here = Path(__file__).resolve().parent
    places.append(str(here / LIBRARY_FILE))
    repo = here.parent.parent
    for d in _BUILD_DIRS:
        places.append(str(repo / d / LIBRARY_FILE))
    found = ctypes.util.find_library(LIBRARY_NAME)
    if found:
        places.append(found)
    # The bare name: the dynamic loader's own search (LD_LIBRARY_PATH, ld.so.cache, PATH).
    places.append(LIBRARY_FILE)
    return places


_loaded: dict = {}
_loaded_lock = threading.Lock()


def load(library: Optional[str] = None) -> Library:
    """The library, loaded once per path.

    Raises :class:`LibraryNotFound`, listing every place tried and why each failed, when none
    of them holds a loadable library.
    """
    tried: List[str] = []
    explicit = bool(library) or bool(os.environ.get(ENV_LIBRARY))
    with _loaded_lock:
        for place in candidates(library):
            is_path = os.sep in place or (os.altsep is not None and os.altsep in place)
            if is_path and not os.path.exists(place):
                tried.append(f"{place} (no such file)")
                continue
            key = os.path.realpath(place) if is_path else place
            if key in _loaded:
                return _loaded[key]
            try:
                lib = Library(place)
            except (OSError, AttributeError) as e:
                tried.append(f"{place} ({e})")
                continue
            _loaded[key] = lib
            return lib
    how = (
        "the library argument or $ZEL_LIB names it"
        if explicit
        else "pass library=PATH, set ZEL_LIB, or install it with cmake --install"
    )
    raise LibraryNotFound(
        "cannot load the ZEL_863_DLL library (" + how + "); tried:\n  " + "\n  ".join(tried)
    )
