"""The instrument simulator ``zel-sim`` on a pseudo-terminal, for tests and for trying the
package without hardware.

    with Simulator(model="uhf", dut="antenna:f0=433,r=40,q=12") as sim:
        with zel.Analyzer(device=sim.device) as za:
            ...

Its process ends when the ``with`` block does. Control lines change the running instrument:
:meth:`Simulator.dut` attaches another device under test, :meth:`Simulator.attach` is a ready
``ask`` callback for :meth:`zel.Analyzer.calibrate` that attaches each standard in turn.
"""

from __future__ import annotations

import os
import queue
import shutil
import subprocess
import threading
from pathlib import Path
from typing import Dict, List, Optional, Sequence

SIM_FILE = "zel-sim"
ENV_SIM = "ZEL_SIM"
# How long zel-sim may take to print its pseudo-terminal, and to answer a control line.
START_TIMEOUT_S = 10.0
ANSWER_TIMEOUT_S = 5.0

# The names zel-sim takes, and the ones the library's identification reports.
MODELS = ("lowrange", "standard", "uhf", "power")
_ALIASES = {"low-range": "lowrange", "high-power": "power", "highpower": "power"}
_ANSWER_PREFIXES = ("zel-sim: ok", "zel-sim: error", "zel-sim: commands ")


class SimulatorError(RuntimeError):
    """zel-sim could not be found or started, or refused a control line."""


def find_simulator(executable: Optional[str] = None) -> str:
    """The zel-sim program: the argument, then ``$ZEL_SIM``, then the package's folder, then the
    build tree of the checkout, then ``PATH``."""
    if executable:
        return str(executable)
    env = os.environ.get(ENV_SIM)
    if env:
        return env
    here = Path(__file__).resolve().parent
    tried: List[str] = []
    for p in [here / SIM_FILE] + [
        here.parent.parent / d / "sim" / SIM_FILE for d in ("build", "build-release", "build-debug")
    ]:
        if p.is_file() and os.access(p, os.X_OK):
            return str(p)
        tried.append(str(p))
    found = shutil.which(SIM_FILE)
    if found:
        return found
    tried.append("PATH")
    raise SimulatorError("cannot find zel-sim (set ZEL_SIM); tried: " + ", ".join(tried))


class Simulator:
    """``zel-sim`` running on a pseudo-terminal; a context manager that ends it on exit.

    Args:
        model: "lowrange", "standard", "uhf" or "power" (or the library's names "low-range",
            "high-power").
        dut: the device under test, as zel-sim reads it ("r=50,x=0", "antenna:f0=14.2,r=50,q=10",
            "series:r=10,l=1u,c=100p", "s1p:PATH", ...).
        paced: every byte takes its time on the wire, as on a real serial line.
        executable: the zel-sim program (see :func:`find_simulator`).
        args: further zel-sim options ("--noise", "0", "--rf-volts", "12", ...).
    """

    def __init__(
        self,
        model: str = "standard",
        dut: str = "r=50,x=0",
        paced: bool = False,
        executable: Optional[str] = None,
        args: Sequence[str] = (),
    ) -> None:
        m = _ALIASES.get(model.lower(), model.lower())
        if m not in MODELS:
            raise ValueError(f"unknown model {model!r}: use one of {', '.join(MODELS)}")
        self.model = m
        self.start_dut = dut
        self.executable = find_simulator(executable)
        cmd = [self.executable, "--model", m, "--dut", dut] + (["--paced"] if paced else [])
        cmd += list(args)
        self._answers: "queue.Queue[str]" = queue.Queue()
        self._stderr: List[str] = []
        self._io_lock = threading.Lock()
        try:
            self._proc = subprocess.Popen(
                cmd,
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
                bufsize=1,
            )
        except OSError as e:
            raise SimulatorError(f"cannot start {self.executable}: {e}") from e
        threading.Thread(target=self._read_stderr, daemon=True).start()
        line = self._first_line()
        if not line.startswith("/"):
            self.close()
            raise SimulatorError(
                f"zel-sim did not start: {line or ' / '.join(self._stderr) or 'no output'}"
            )
        self.device: str = line
        """The pseudo-terminal's slave path: the device to open (``Analyzer(device=...)``)."""

    def _first_line(self) -> str:
        result: List[str] = []
        t = threading.Thread(
            target=lambda: result.append(self._proc.stdout.readline()),  # type: ignore[union-attr]
            daemon=True,
        )
        t.start()
        t.join(START_TIMEOUT_S)
        return result[0].strip() if result else ""

    def _read_stderr(self) -> None:
        assert self._proc.stderr is not None
        for line in self._proc.stderr:
            line = line.rstrip("\n")
            self._stderr.append(line)
            if line.startswith(_ANSWER_PREFIXES):
                self._answers.put(line[len("zel-sim: ") :])

    @property
    def stderr(self) -> List[str]:
        """Everything zel-sim wrote on stderr so far."""
        return list(self._stderr)

    def command(self, line: str, timeout: float = ANSWER_TIMEOUT_S) -> str:
        """Send one control line and return zel-sim's answer; an "error: ..." answer raises
        :class:`SimulatorError`."""
        with self._io_lock:
            if self._proc.poll() is not None or self._proc.stdin is None:
                raise SimulatorError("zel-sim is not running")
            while not self._answers.empty():
                self._answers.get_nowait()
            self._proc.stdin.write(line.strip() + "\n")
            self._proc.stdin.flush()
            try:
                answer = self._answers.get(timeout=timeout)
            except queue.Empty:
                raise SimulatorError(f"zel-sim did not answer {line!r}") from None
        if answer.startswith("error"):
            raise SimulatorError(f"zel-sim: {line!r}: {answer}")
        return answer

    def dut(self, text: Optional[str] = None) -> None:
        """Attach another device under test ("short", "open", "load", "r=25,x=10", ...); without
        an argument, the one the simulator started with (after a calibration, say)."""
        self.command("dut " + (text or self.start_dut))

    def attach(self, standard: str, rcal: Optional[float] = None) -> bool:
        """Attach a calibration standard: a ready ``ask`` callback for
        :meth:`zel.Analyzer.calibrate`."""
        if standard == "load" and rcal is not None:
            self.dut(f"load:r={rcal:g}")
        else:
            self.dut(standard)
        return True

    def fault(self, name: str, value: float) -> None:
        """Inject a fault ("bad-checksums", "silent", "cut", "garbage", "latency-ms", ...)."""
        self.command(f"fault {name} {value:g}")

    def status(self) -> Dict[str, str]:
        """The simulator's counters ("commands", "records", "relay", "last-f", "dut", ...)."""
        words = self.command("status").split()
        return {words[i]: words[i + 1] for i in range(0, len(words) - 1, 2)}

    def close(self) -> None:
        """End zel-sim (SIGTERM, then SIGKILL if it does not go). Safe to call twice."""
        p = self._proc
        if p.poll() is None:
            p.terminate()
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        for f in (p.stdin, p.stdout):
            try:
                if f is not None:
                    f.close()
            except OSError:
                pass

    def __enter__(self) -> "Simulator":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<zel.sim.Simulator {self.model} on {getattr(self, 'device', '?')}>"
