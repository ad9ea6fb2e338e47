"""Finding the library, its status codes as exceptions, and the constants it shares with C."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import zel
from zel import _lib, errors

from conftest import REPO


def header_constants():
    text = (REPO / "include" / "ZEL_863_DLL.h").read_text()
    return {m.group(1): int(m.group(2)) for m in re.finditer(r"\bZEL_(\w+) = (\d+)", text)}


def test_constants_match_the_header():
    header = header_constants()
    status = {k: v for k, v in header.items() if k == "OK" or k.startswith("ERR_")}
    mine = {k: getattr(errors, k) for k in dir(errors) if k == "OK" or k.startswith("ERR_")}
    assert mine == status
    models = {k: v for k, v in header.items() if k.startswith("MODEL_")}
    assert models == {k: getattr(_lib, k) for k in dir(_lib) if k.startswith("MODEL_")}
    m = re.search(r"#define ZEL_MAX_CAL_POINTS (\d+)", (REPO / "include/ZEL_863_DLL.h").read_text())
    assert int(m.group(1)) == _lib.MAX_CAL_POINTS


def test_every_code_raises_its_class_with_the_library_text():
    lib = _lib.load()
    for name, code in header_constants().items():
        if not name.startswith("ERR_"):
            continue
        e = errors.make_error(code, "doing it")
        assert isinstance(e, zel.ZelError)
        assert e.code == code
        assert e.message == lib.status_text(code) != "unknown status code", name
        assert str(e) == f"doing it: {e.message} (status {code})"
        assert type(e) is not zel.ZelError, f"{name} has no class of its own"
    assert type(errors.make_error(4711)) is zel.ZelError
    assert zel.status_text(4711) == "unknown status code"


@pytest.mark.parametrize(
    "code, cls",
    [
        (errors.ERR_PORT_OPEN, zel.PortError),
        (errors.ERR_NOT_SENT, zel.PortError),
        (errors.ERR_CAL_OPEN, zel.CalibrationError),
        (errors.ERR_NOT_CALIBRATED, zel.CalibrationError),
        (errors.ERR_NO_RECORD, zel.InstrumentTimeout),
        (errors.ERR_RF_TIMEOUT, zel.InstrumentTimeout),
        (errors.ERR_NO_REFERENCE, zel.MeasurementError),
        (errors.ERR_NO_TEMP_SENSOR, zel.NotSupported),
        (errors.ERR_RF_OVERVOLTAGE, zel.RelayRefused),
        (errors.ERR_NO_IDENT, zel.IdentificationError),
    ],
)
def test_codes_map_to_the_classes_users_catch(code, cls):
    assert errors.error_class(code) is cls


def test_discovery_order_and_the_error_that_lists_where_it_looked(monkeypatch, tmp_path):
    monkeypatch.setenv("ZEL_LIB", "/from/env/ZEL_863_DLL.so")
    assert _lib.candidates("/given/ZEL_863_DLL.so") == ["/given/ZEL_863_DLL.so"]
    assert _lib.candidates() == ["/from/env/ZEL_863_DLL.so"]
    monkeypatch.delenv("ZEL_LIB")
    places = _lib.candidates()
    pkg = Path(zel.__file__).resolve().parent
    assert places[0] == str(pkg / _lib.LIBRARY_FILE)
    assert places[1] == str(REPO / "build" / _lib.LIBRARY_FILE)
    assert places[-1] == _lib.LIBRARY_FILE  # the dynamic loader's own search comes last

    missing = tmp_path / "nothing.so"
    with pytest.raises(zel.LibraryNotFound, match=r"(?s)tried:.*nothing\.so \(no such file\)"):
        _lib.load(str(missing))
    not_a_library = tmp_path / "ZEL_863_DLL.so"
    not_a_library.write_text("not a library")
    monkeypatch.setenv("ZEL_LIB", str(not_a_library))
    with pytest.raises(zel.LibraryNotFound, match="ZEL_LIB"):
        zel.Analyzer(device="/dev/null")


def test_versions():
    cmake = (REPO / "CMakeLists.txt").read_text()
    project = re.search(r"project\(ZEL_863_DLL VERSION ([\d.]+)", cmake)
    assert zel.__version__ == project.group(1)
    assert re.fullmatch(r"\d+\.\d+\.\d+", zel.library_version())


def test_bits_to_double_reads_the_sensor_convention():
    import struct

    for v in (0.0, 12.5, -40.0, 34517.0):
        (bits,) = struct.unpack("<q", struct.pack("<d", v))
        assert _lib.bits_to_double(bits) == v


def test_cmake_install_puts_the_package_where_it_finds_the_library(tmp_path):
    build, cmake = os.environ.get("ZEL_BUILD_DIR"), os.environ.get("ZEL_CMAKE", "cmake")
    if not build:
        pytest.skip("ZEL_BUILD_DIR (the build tree) not given")
    prefix = tmp_path / "prefix"
    subprocess.run([cmake, "--install", build, "--prefix", str(prefix)], check=True,
                   capture_output=True, timeout=120)
    (pkg,) = prefix.glob("lib*/python3*/*-packages/zel")
    env = {k: v for k, v in os.environ.items() if k not in ("ZEL_LIB", "ZEL_SIM")}
    env["PYTHONPATH"] = str(pkg.parent)
    code = ("import zel, zel._lib, zel.sim; print(zel._lib.load().path); "
            "print(zel.sim.find_simulator()); print(zel.__file__)")
    r = subprocess.run([sys.executable, "-c", code], env=env, cwd=tmp_path, capture_output=True,
                       text=True, timeout=60, check=True)
    lib, sim, init = r.stdout.split()
    assert Path(init).parent == pkg
    assert lib == str(pkg / _lib.LIBRARY_FILE) and sim == str(pkg / "zel-sim")
    # Links to the installed files, not copies.
    installed = {p.name: p for p in prefix.rglob("*") if p.is_file() and not p.is_symlink()}
    assert Path(lib).resolve() == installed[_lib.LIBRARY_FILE].resolve()
    assert Path(sim).resolve() == installed["zel-sim"].resolve()
