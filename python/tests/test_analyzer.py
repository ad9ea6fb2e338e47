"""The Analyzer against zel-sim on a pseudo-terminal, on every model."""

import logging
import threading

import numpy as np
import pytest

import zel
from zel import errors

from conftest import MODELS, true_impedance

# What each simulated model identifies as (sim/README.md's table).
EXPECTED = {
    "lowrange": dict(model="low-range", range=(0.1, 32.0), record_bytes=67, sensors=(),
                     firmware="4.85", max_baud=115000),
    "standard": dict(model="standard", range=(0.002, 180.0), record_bytes=72, sensors=(),
                     firmware="5.12", max_baud=115000),
    "uhf": dict(model="UHF", range=(0.002, 1000.0), record_bytes=72, sensors=("temperature",),
                firmware="6.30", max_baud=57600),
    "power": dict(model="high-power", range=(0.01, 170.0), record_bytes=72,
                  sensors=("rf_voltage", "temperature"), firmware="5.40", max_baud=57600),
}
DUT = "series:r=30,l=1u,c=100p"


def close_to_truth(z, dut, f_mhz):
    # A short/open/load calibration removes the bridge exactly; what is left is the simulated
    # detector noise and the grid interpolation, well under 2 % and half an ohm here.
    truth = true_impedance(dut, f_mhz)
    return np.abs(z - truth) <= 0.02 * np.abs(truth) + 0.5


@pytest.mark.parametrize("model", MODELS)
def test_identifies_calibrates_and_sweeps_the_true_impedance(analyzer_factory, model, tmp_path):
    za, sim = analyzer_factory(model, DUT)
    e = EXPECTED[model]
    info = za.info
    assert (info.model, info.frequency_range, info.record_bytes) == (
        e["model"], e["range"], e["record_bytes"])
    assert info.sensors == e["sensors"]
    assert info.firmware == e["firmware"]
    assert info.max_baud == e["max_baud"]
    assert info.device == sim.device and info.baud_rate == 57600
    assert info.identification.startswith(("zel", "powerzel"))

    cal = tmp_path / "cal.txt"
    assert za.calibrate(cal, ask=sim.attach, custom=(10, 20, 0.5)) == 24
    assert za.calibration == str(cal) and cal.exists()
    sim.dut(DUT)
    seen = []
    s = za.sweep(10, 20, points=21, progress=lambda done, total: seen.append((done, total)))
    assert seen == [(i, 21) for i in range(1, 22)]
    assert len(s) == 21 and s.frequency_hz[0] == 10e6 and s.frequency_hz[-1] == 20e6
    assert np.all(s.status == 0)
    assert close_to_truth(s.z, DUT, s.frequency_mhz).all(), s.z
    assert s.info == info and s.calibration == str(cal) and s.corrected
    assert s.tool == f"zel-analyzer {zel.__version__} library {zel.library_version()}"

    raw = za.point(15.0, corrected=False)
    corrected = za.point(15.0)
    assert close_to_truth(corrected, DUT, 15.0)
    assert not close_to_truth(raw, DUT, 15.0)  # the bridge's own error, several percent


def test_standard_grid_calibration_over_the_whole_range(analyzer_factory, tmp_path):
    za, sim = analyzer_factory("lowrange", "antenna:f0=14.2,r=42,q=12")
    n = za.calibrate(tmp_path / "cal.txt", ask=sim.attach, rcal=100)
    assert n == 32 + 3
    sim.dut("antenna:f0=14.2,r=42,q=12")
    s = za.sweep(2, 30, step=0.5)
    assert len(s) == 57
    assert close_to_truth(s.z, "antenna:f0=14.2,r=42,q=12", s.frequency_mhz).all()
    sm = s.summary()
    assert abs(sm.min_swr_mhz - 14.0) <= 0.5 and sm.swr2 is not None


def test_a_second_calibration_in_the_process_replaces_a_custom_one(analyzer_factory, tmp_path):
    # A custom calibration stays in the library's state; the next one measures outside its grid.
    za, sim = analyzer_factory("standard", DUT)
    za.calibrate(tmp_path / "a.txt", ask=sim.attach, custom=(10, 12, 0.5))
    za.calibrate(tmp_path / "b.txt", ask=sim.attach, custom=(30, 40, 1))
    sim.dut(DUT)
    s = za.sweep(30, 40, points=11)
    assert close_to_truth(s.z, DUT, s.frequency_mhz).all()
    raw = za.sweep(50, 60, points=3, corrected=False)  # outside b.txt's grid: raw is still raw
    assert list(raw.status) == [errors.ERR_CAL_RANGE] * 3 and np.isfinite(raw.z).all()
    with pytest.raises(zel.CalibrationError) as e:
        za.point(50)
    assert e.value.code == errors.ERR_CAL_RANGE


def test_calibration_can_be_cancelled(analyzer_factory, tmp_path):
    za, sim = analyzer_factory("standard")
    asked = []

    def ask(standard, rcal):
        asked.append(standard)
        return standard != "open"

    with pytest.raises(zel.CalibrationCancelled):
        za.calibrate(tmp_path / "cal.txt", ask=ask, custom=(10, 12, 1))
    assert asked == ["short", "open"] and not (tmp_path / "cal.txt").exists()
    assert za.calibration is None


@pytest.mark.parametrize(
    "call, cls, code",
    [
        (lambda za, p: za.point(14.0), zel.CalibrationError, errors.ERR_NOT_CALIBRATED),
        (lambda za, p: za.sweep(10, 11, points=3), zel.CalibrationError, errors.ERR_NOT_CALIBRATED),
        (lambda za, p: za.load_calibration(p / "missing.txt"), zel.CalibrationError,
         errors.ERR_CAL_OPEN),
        (lambda za, p: za.load_calibration("x" * 300), zel.CalibrationError, errors.ERR_CAL_PATH),
        (lambda za, p: za.rf_voltage(), zel.NotSupported, errors.ERR_NO_RF_SENSOR),
        (lambda za, p: za.temperature("F"), zel.NotSupported, errors.ERR_NO_TEMP_SENSOR),
    ],
)
def test_status_codes_raise(analyzer_factory, tmp_path, call, cls, code):
    za, _ = analyzer_factory("standard")
    with pytest.raises(cls) as e:
        call(za, tmp_path)
    assert e.value.code == code
    assert e.value.message == zel.status_text(code)


def test_arguments_out_of_range_are_refused_before_the_instrument(analyzer_factory):
    za, _ = analyzer_factory("lowrange")
    for call in (
        lambda: za.point(40.0, corrected=False),
        lambda: za.sweep(1, 33, points=5, corrected=False),
        lambda: za.sweep(10, 5),
        lambda: za.sweep(1, 2, points=3, step=0.5),
        lambda: za.sweep(1, 2, points=0),
        lambda: za.temperature("K"),
        lambda: za.calibrate("x.txt", rcal=1),
    ):
        with pytest.raises(ValueError):
            call()


def test_a_failed_point_keeps_the_points_before_it(analyzer_factory):
    za, sim = analyzer_factory("standard")
    za.point(10.0, corrected=False)
    sim.command("fault unplug-after 6")
    with pytest.raises(zel.ZelError) as e:
        za.sweep(10, 20, points=11, corrected=False)
    assert isinstance(e.value, (zel.InstrumentTimeout, zel.PortError))
    partial = e.value.sweep
    assert 0 < len(partial) < 11
    assert np.allclose(partial.frequency_mhz, np.linspace(10, 20, 11)[: len(partial)])


def test_silent_instrument_times_out(analyzer_factory):
    za, sim = analyzer_factory("standard")
    za.point(10.0, corrected=False)
    sim.fault("silent", 10)
    with pytest.raises(zel.InstrumentTimeout) as e:
        za.point(11.0, corrected=False)
    assert e.value.code == errors.ERR_NO_RECORD


def test_sensors_of_the_high_power_model(analyzer_factory):
    za, sim = analyzer_factory("power", sim_args=["--rf-volts", "12.5", "--temp-f", "86"])
    assert za.rf_voltage() == pytest.approx(12.5, abs=0.1)
    assert za.temperature("F") == pytest.approx(86, abs=1)
    assert za.temperature("C") == pytest.approx(30, abs=0.6)
    sim.fault("silent", 1)
    with pytest.raises(zel.InstrumentTimeout) as e:
        za.rf_voltage()
    assert e.value.code == errors.ERR_RF_TIMEOUT


def test_hold_switches_the_generator_off_also_on_an_exception(analyzer_factory):
    za, sim = analyzer_factory("standard")
    with pytest.raises(KeyError):
        with za.hold(14.1):
            assert sim.status()["relay"] == "1"
            raise KeyError("user code failed")
    assert sim.status()["relay"] == "0"
    with za.hold(7.0):
        pass
    assert sim.status()["relay"] == "0"


def test_port_errors_and_one_analyzer_per_process(analyzer_factory, tmp_path):
    with pytest.raises(zel.PortError) as e:
        zel.Analyzer(device=str(tmp_path / "no-such-tty"))
    assert e.value.code == errors.ERR_PORT_OPEN
    za, sim = analyzer_factory("standard")
    with pytest.raises(RuntimeError, match="another Analyzer"):
        zel.Analyzer(device=sim.device)
    za.close()
    za.close()
    with pytest.raises(RuntimeError, match="closed"):
        za.point(10)
    with zel.Analyzer(device=sim.device, fast=True) as again:
        assert again.info.baud_rate == 115000
        assert isinstance(again.point(10, corrected=False), complex)


def test_no_model_in_the_identification(analyzer_factory, sim_factory, caplog):
    sim = sim_factory("standard", args=["--ident", "ACME box ver 1.00 jan 01 2001 00:00:00?"])
    with caplog.at_level(logging.WARNING, logger="zel"):
        with pytest.raises(zel.IdentificationError, match="names no model"):
            zel.Analyzer(device=sim.device)
    assert any("Invalid program" in r.getMessage() for r in caplog.records)
    with zel.Analyzer(device=sim_factory("lowrange").device) as za:  # the port was closed
        assert za.info.model == "low-range"


@pytest.mark.parametrize("answer", [True, False, None])
def test_yes_no_questions_go_to_the_callback(sim_factory, tmp_path, caplog, answer):
    # A UHF unit whose flash holds a date code with a bad checksum: the library asks whether
    # to program a new one. No callback answers No.
    flash = tmp_path / "flash.txt"
    flash.write_text("1000 0001\n1001 0002\n1002 0003\n1003 0000\n")
    sim = sim_factory("uhf", args=["--flash", str(flash)])
    asked = []

    def ask(title, text):
        asked.append((title, text))
        return answer

    with caplog.at_level(logging.WARNING, logger="zel"):
        with zel.Analyzer(device=sim.device, on_question=None if answer is None else ask) as za:
            assert za.info.flash_programmed is bool(answer)
    if answer is not None:
        assert asked and "reprogram" in asked[0][1]
    assert any("answered " + ("Yes" if answer else "No") in r.getMessage() for r in caplog.records)


def test_threads_share_one_analyzer(analyzer_factory, tmp_path):
    za, sim = analyzer_factory("standard", DUT)
    za.calibrate(tmp_path / "cal.txt", ask=sim.attach, custom=(10, 20, 1))
    sim.dut(DUT)
    results, failures = {}, []

    def work(k):
        try:
            for i in range(5):
                f = 10.5 + k + 0.1 * i
                results[f] = za.point(f) if i % 2 else za.sweep(f, f + 0.2, points=3).z[0]
        except Exception as e:  # pragma: no cover - reported below
            failures.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
    f = np.array(sorted(results))
    assert len(f) == 20
    assert close_to_truth(np.array([results[k] for k in f]), DUT, f).all()
