"""Sweep files: zel's Touchstone and CSV formats written and read back, files of other tools,
and the scikit-rf Network."""

import os
import re
import subprocess

import numpy as np
import pytest

import zel
from zel.sweep import Sweep

# One point of each kind that matters: a match, a short, an open beyond the range (infinite),
# a negative resistance from noise, a reactive load, and 50 ohms exactly (return loss infinite).
F_HZ = np.array([1e6, 2.5e6, 7.1e6, 14.2e6, 29.999999999e6, 180e6])
Z = np.array([42 - 10.7j, 0.001 + 0.3j, complex(np.inf, 0), -0.4 + 2j, 12 + 480j, 50 + 0j])


def make_sweep(**kw):
    return Sweep(F_HZ, Z, **kw)


def test_touchstone_is_written_as_zel_writes_it(analyzer_factory, tmp_path):
    za, sim = analyzer_factory("standard", "antenna:f0=14.2,r=42,q=12")
    za.calibrate(tmp_path / "cal.txt", ask=sim.attach, custom=(13, 15, 0.25))
    sim.dut("antenna:f0=14.2,r=42,q=12")
    s = za.sweep(13, 15, points=9, avg=4)
    path = tmp_path / "a.s1p"
    s.to_touchstone(path)
    lines = path.read_text().splitlines()
    assert lines[0] == "! zel-analyzer sweep, calibrated series impedance as reflection coefficient"
    assert lines[1] == "! one-port reflection coefficient against 50 ohms"
    assert lines[2] == "! instrument: standard serial 12345 firmware 5.12"
    assert re.fullmatch(r"! date: \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d", lines[3])
    assert lines[4:9] == [
        "! values: corrected",
        "! calibration: cal.txt",
        "! averaging: 4",
        f"! tool: zel-analyzer {zel.__version__} library {zel.library_version()}",
        "# MHZ S RI R 50",
    ]
    assert len(lines) == 9 + 9
    for line, f, g in zip(lines[9:], s.frequency_mhz, s.gamma):
        assert line == "%.9f %.12g %.12g" % (f, g.real, g.imag)

    back = zel.read_sweep(path)
    assert np.allclose(back.z, s.z, rtol=1e-9)
    assert back.frequency_hz.tolist() == s.frequency_hz.tolist()
    assert (back.calibration, back.averaging, back.corrected, back.date, back.tool) == (
        "cal.txt", 4, True, s.date, s.tool)
    assert back.instrument == "standard serial 12345 firmware 5.12"
    # Written again, a sweep read back keeps its provenance line for line.
    back.to_touchstone(tmp_path / "b.s1p")
    assert (tmp_path / "b.s1p").read_text() == path.read_text()


def test_raw_and_edge_values_round_trip(tmp_path):
    s = make_sweep(corrected=False)
    s.to_touchstone(tmp_path / "e.s1p")
    s.to_csv(tmp_path / "e.csv")
    text = (tmp_path / "e.s1p").read_text()
    assert "! values: raw\n! calibration: none\n! averaging: 1\n# MHZ S RI R 50\n" in text
    assert "\n29.999999999 " in text and "\n7.100000000 1 0\n" in text

    csv_lines = (tmp_path / "e.csv").read_text().splitlines()
    assert csv_lines[0] == "frequency_mhz,r_ohm,x_ohm,z_abs_ohm,swr,return_loss_db"
    assert csv_lines[1] == "1.000000,42.0000,-10.7000,43.3416,1.3371,16.818"
    # printf's own rendering of what zel computes for an open: -20 log10(1) is -0.
    assert csv_lines[3] == "7.100000,inf,0.0000,inf,inf,-0.000"
    assert csv_lines[6] == "180.000000,50.0000,0.0000,50.0000,1.0000,inf"

    for name in ("e.s1p", "e.csv"):
        back = zel.read_sweep(tmp_path / name)
        assert back.corrected is (False if name.endswith(".s1p") else None)
        f_tol = 1e-3 if name.endswith(".s1p") else 1  # Hz: the CSV holds whole hertz
        assert np.allclose(back.frequency_hz, F_HZ, rtol=0, atol=f_tol)
        finite = np.isfinite(Z)
        tol = 1e-6 if name.endswith(".s1p") else 5e-5
        assert np.allclose(back.z[finite], Z[finite], atol=tol)
        assert back.swr[2] == np.inf and back.gamma[2] == 1
        assert np.allclose(back.swr[finite], s.swr[finite], rtol=1e-4)


def test_figures_of_match():
    s = make_sweep()
    assert s.gamma[2] == 1 and s.swr[2] == np.inf  # the open
    assert s.swr[3] == np.inf  # negative resistance: outside the unit circle
    assert s.return_loss_db[5] == np.inf and s.swr[5] == 1
    assert s.swr[0] == pytest.approx(1.337118, rel=1e-6)


@pytest.mark.parametrize(
    "swr, best_mhz, band2, band15",
    [
        # a dip in the middle: both edges interpolated
        ([3, 2.5, 1.5, 1.2, 1.8, 3], 13, (11 + 0.5 / 1, 14 + 0.2 / 1.2), (12, 13 + 0.3 / 0.6)),
        # below 2:1 from the first point: the band reaches the end of the sweep
        ([1.9, 1.4, 2.2, 4, 5, 6], 11, (10, 11 + 0.6 / 0.8), (10.8, 11 + 0.1 / 0.8)),
        # never below 1.5:1
        ([3, 1.7, 3, 4, 5, 6], 11, (10 + 1 / 1.3, 11 + 0.3 / 1.3), None),
    ],
)
def test_bands_as_zel_reports_them(swr, best_mhz, band2, band15):
    swr = np.array(swr, dtype=float)
    g = (swr - 1) / (swr + 1)
    s = Sweep((10 + np.arange(6)) * 1e6, 50 * (1 + g) / (1 - g))
    sm = s.summary()
    assert sm.min_swr_mhz == best_mhz
    assert (sm.swr2.low_mhz, sm.swr2.high_mhz) == pytest.approx(band2)
    if band15 is None:
        assert sm.swr1_5 is None
    else:
        assert (sm.swr1_5.low_mhz, sm.swr1_5.high_mhz) == pytest.approx(band15)
    assert sm.swr2.open_ended == (swr[0] < 2)


def test_files_of_other_tools(tmp_path):
    z_true = np.array([50 + 0j, 25 + 25j, 100 - 50j])
    g75 = (z_true - 75) / (z_true + 75)
    ma = "\n".join(
        f"{f} {abs(g):.12f} {np.degrees(np.angle(g)):.12f}" for f, g in zip([1, 2, 3], g75))
    (tmp_path / "ma.s1p").write_text(
        "! date: never\n!Created by some VNA: with colons\n# GHz S MA R 75\n" + ma + "\n")
    with np.errstate(divide="ignore"):  # 50 ohms: -inf dB
        db = "\n".join(
            f"{f}   {20 * np.log10(abs(g)):.12f}\t{np.degrees(np.angle(g)):.12f} ! inline"
            for f, g in zip([100, 200, 300], (z_true - 50) / (z_true + 50)))
    (tmp_path / "db.S1P").write_text("! future-key: anything\n# khz s db r 50\n" + db + "\n")
    for name, unit in (("ma.s1p", 1e9), ("db.S1P", 1e3)):
        s = zel.read_sweep(tmp_path / name)
        assert np.allclose(s.frequency_hz, np.array([1, 2, 3]) * unit * (100 if unit == 1e3 else 1))
        assert np.allclose(s.z, z_true, atol=1e-6)
    assert zel.read_sweep(tmp_path / "ma.s1p").provenance == {"date": "never"}

    for name, text, msg in [
        ("two.s1p", "# MHZ S RI R 50\n1 0.1 0.2 0.3 0.4\n", "3 numbers"),
        ("bad.s1p", "# MHZ S RI R 50\n1 0.1 x\n", "not a number"),
        ("y.s1p", "# MHZ Y RI R 50\n1 0.1 0.1\n", "Y parameters"),
        ("bad.csv", "f,r,x\n1,2,3\n", "not a zel sweep CSV"),
        ("short.csv", "frequency_mhz,r_ohm,x_ohm\n1,2\n", "not a sweep line"),
        ("a.txt", "", "must end in"),
    ]:
        (tmp_path / name).write_text(text)
        with pytest.raises(ValueError, match=msg):
            zel.read_sweep(tmp_path / name)


def test_files_written_by_zel_read_back(tmp_path):
    tool = os.environ.get("ZEL_TOOL")
    if not tool:
        pytest.skip("ZEL_TOOL (the zel host of the build) not given")
    out = [tmp_path / "z.s1p", tmp_path / "z.csv"]
    subprocess.run(
        [tool, "--dut", "antenna:f0=14.2,r=42,q=12", "sweep", "13", "15", "--points", "11",
         "-o", str(out[0]), "-o", str(out[1])],
        check=True, capture_output=True, timeout=120)
    a, b = zel.read_sweep(out[0]), zel.read_sweep(out[1])
    assert len(a) == len(b) == 11 and a.corrected and b.corrected is None
    assert np.allclose(a.z, b.z, atol=2e-4)
    # zel's own figures, as its CSV holds them, are the package's.
    rows = np.loadtxt(out[1], delimiter=",", skiprows=1)
    assert np.allclose(rows[:, 4], a.swr, atol=1e-4)
    assert np.allclose(rows[:, 5], a.return_loss_db, atol=1e-3)


def test_network_for_scikit_rf(tmp_path):
    skrf = pytest.importorskip("skrf")
    s = make_sweep()
    n = s.to_network(name="antenna")
    assert isinstance(n, skrf.Network) and n.name == "antenna"
    assert n.s.shape == (6, 1, 1)
    assert np.allclose(n.s[:, 0, 0], s.gamma)
    assert np.allclose(n.f, F_HZ) and np.allclose(n.z0, 50)
    n.write_touchstone(str(tmp_path / "skrf"))
    back = zel.read_sweep(tmp_path / "skrf.s1p")
    finite = np.isfinite(Z)
    assert np.allclose(back.z[finite], Z[finite], atol=1e-6)
