"""Run the device simulator zelkor-sim from Python.

    from zelkor_sim import Simulator

    with Simulator("arbelon", "--fixed-dt", "0.001") as sim:
        stream = ZelkorHardwareAPI.SerialStream(sim.port)
        ...

The simulator is installed with the ZelkorHardwareAPI package. It is looked up in the
ZELKOR_SIM environment variable, then beside the running interpreter's scripts, then on PATH.
"""

from __future__ import annotations

import contextlib
import os
import select
import shutil
import signal
import subprocess
import sys
import sysconfig
import tempfile
import time
from typing import IO, Iterator

__all__ = ["executable", "Simulator", "port_or_simulator", "LINES"]

NAME = "zelkor-sim"

#: The lines the simulator can put between host and device (``line=``, ``--line``), ``pty``
#: (no timing) the default: the names of the simulator's own line models, which
#: ``zelkor-sim --lines`` lists with what each models (a test keeps the two the same).
LINES: tuple[str, ...] = ("pty", "uart", "ftdi", "ftdi-16ms", "usb-fs", "usb-hs")


def executable() -> str:
    """The path of the zelkor-sim program. Raises FileNotFoundError when there is none."""
    explicit = os.environ.get("ZELKOR_SIM")
    if explicit:
        if os.access(explicit, os.X_OK):
            return explicit
        raise FileNotFoundError(f"ZELKOR_SIM is set to {explicit!r}, which is not an executable")
    # The interpreter's own scripts come first: a virtual environment that is not activated
    # is not on PATH, and an older simulator on PATH must not shadow this package's own.
    folders: list[str | None] = [sysconfig.get_path("scripts"), os.path.dirname(sys.executable)]
    try:
        folders.append(sysconfig.get_path("scripts", f"{os.name}_user"))
    except KeyError:
        pass
    for folder in folders:
        candidate = os.path.join(folder or "", NAME)
        if folder and os.access(candidate, os.X_OK):
            return candidate
    found = shutil.which(NAME)
    if found:
        return found
    raise FileNotFoundError(
        f"{NAME} not found: install the package (pip install .) or set ZELKOR_SIM to its path"
    )


class Simulator:
    """A zelkor-sim process serving one simulated device on a pseudo-terminal.

    `device` is "arbelon" or "handle"; `options` are further command-line options of
    zelkor-sim. `line` is one of LINES: the timing of the bytes between host and device
    (None: the simulator's default, pty, no timing). `realtime` asks for real-time
    scheduling, which the simulator goes without where it is refused. `hand` (Arbelon) puts
    a hand on the end-effector: "spring:K,B,X,Y,Z" holds it with a spring of K N/m and a
    damper of B N s/m and pulls it to the point X, Y, Z (m); a path (a CSV file or an .npz
    written by numpy.savez) pulls it along a recorded trajectory. The simulator exits
    when this object stops it, and also by itself when this process dies (it watches its
    standard input). It runs in a session of its own, so a Ctrl-C in the terminal reaches this
    process only. Use it as a context manager, or call start() and stop().
    """

    def __init__(
        self,
        device: str = "arbelon",
        *options: str,
        verbose: bool = False,
        program: str | None = None,
        line: str | None = None,
        realtime: bool = False,
        hand: str | os.PathLike[str] | None = None,
    ) -> None:
        self.command: list[str] = [program or executable(), device, "--exit-on-stdin-eof", *options]
        if line is not None:
            self.command += ["--line", line]
        if hand is not None:
            self.command += ["--hand", os.fspath(hand)]
        if realtime:
            self.command.append("--realtime")
        if verbose:
            self.command.append("--verbose")
        self.verbose = verbose
        self._process: subprocess.Popen[bytes] | None = None
        self._port: str | None = None
        self._stderr: IO[bytes] | None = None

    @property
    def process(self) -> subprocess.Popen[bytes]:
        """The simulator's process, once start() has run; RuntimeError before."""
        if self._process is None:
            raise RuntimeError(f"{NAME} has not been started")
        return self._process

    @property
    def port(self) -> str:
        """The path of the simulator's port, once start() has returned; RuntimeError before."""
        if self._port is None:
            raise RuntimeError(f"{NAME} has not been started")
        return self._port

    def start(self, timeout: float = 10.0) -> str:
        """Starts the simulator and returns its port path; raises RuntimeError when it does
        not come up within `timeout` seconds."""
        # A file, not a pipe: a chatty simulator must never block on a full pipe.
        self._stderr = None if self.verbose else tempfile.TemporaryFile()
        # A session of its own: the terminal sends Ctrl-C's SIGINT to its whole foreground
        # process group, and a simulator in it would die at once, so that the host saw its
        # port close in the middle of whatever it does on the interrupt. The host stops the
        # simulator when it is done with it, or the simulator sees its standard input close.
        process = subprocess.Popen(
            self.command,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self._stderr,
            start_new_session=True,
        )
        self._process = process
        line = self._first_line(process, timeout)
        if not line:
            error = self.stop()
            raise RuntimeError(f"{NAME} did not start: {error.strip() or 'no port printed'}")
        self._port = line
        return line

    @staticmethod
    def _first_line(process: subprocess.Popen[bytes], timeout: float) -> str:
        out = process.stdout
        assert out is not None  # stdout=PIPE
        end = time.monotonic() + timeout
        data = b""
        while not data.endswith(b"\n"):
            left = end - time.monotonic()
            if left <= 0 or not select.select([out], [], [], left)[0]:
                return ""
            chunk = os.read(out.fileno(), 256)
            if not chunk:
                return ""
            data += chunk
        return data.decode().strip()

    def running(self) -> bool:
        """True while the simulator's process runs."""
        return self._process is not None and self._process.poll() is None

    def stop(self, timeout: float = 5.0) -> str:
        """Stops the simulator (SIGTERM, then SIGKILL after `timeout` seconds). Returns what
        it wrote to standard error, unless that goes to this process's own."""
        process = self._process
        if process is None:
            return ""
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        for pipe in (process.stdin, process.stdout):
            if pipe is not None:
                pipe.close()
        error = b""
        if self._stderr is not None:
            self._stderr.seek(0)
            error = self._stderr.read()
            self._stderr.close()
            self._stderr = None
        return error.decode(errors="replace")

    def __enter__(self) -> Simulator:
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


@contextlib.contextmanager
def port_or_simulator(port: str | None, device: str = "arbelon", *options: str) -> Iterator[str]:
    """Yields `port` when one is given (a real device), and otherwise the port of a simulator
    of `device` started for the duration of the block."""
    if port:
        yield port
        return
    with Simulator(device, *options) as sim:
        yield sim.port
