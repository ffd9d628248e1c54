from __future__ import annotations

import os
import select
import signal
import sys
import time
from typing import TYPE_CHECKING, Iterator

import pytest

if TYPE_CHECKING:
    from typing_extensions import Protocol
    from zelkor_sim import Simulator

    class StartSimulator(Protocol):
        """The simulator fixture: starts zelkor-sim for `device` with further `options`."""

        def __call__(self, device: str = ..., *options: str) -> Simulator: ...


# The device simulator speaks through a POSIX pseudo-terminal.
collect_ignore_glob = ["test_e2e_*.py"] if sys.platform == "win32" else []

# A run started in the background by a shell without job control (`bash tests/run &` in a
# script) inherits SIGINT ignored, and so would every program the tests start: those that take
# a Ctrl-C, as a terminal sends it, would never see it. They get it back here.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


class Device:
    """The master side of a pseudo-terminal, playing the device for the code under test.

    The slave side keeps the fresh terminal's defaults, so the library has to make the line
    raw itself.
    """

    def __init__(self) -> None:
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        os.close(slave)

    def send(self, data: bytes) -> None:
        view = memoryview(bytes(data))
        while view:
            view = view[os.write(self.master, view) :]

    def receive(self, want: int, timeout: float = 2.0) -> bytes:
        """What the host wrote, waiting up to `timeout` seconds for `want` bytes."""
        out = b""
        end = time.monotonic() + timeout
        while len(out) < want:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                break
            try:
                chunk = os.read(self.master, want - len(out))
            except OSError:
                break
            if not chunk:
                break
            out += chunk
        return out

    def drain(self, quiet: float = 0.1) -> bytes:
        """Everything the host wrote within `quiet` seconds; for checking that nothing was."""
        return self.receive(1 << 20, quiet)

    def close(self) -> None:
        if self.master >= 0:
            os.close(self.master)
            self.master = -1


@pytest.fixture
def device() -> Iterator[Device]:
    d = Device()
    yield d
    d.close()


@pytest.fixture
def simulator() -> Iterator[StartSimulator]:
    """Starts zelkor-sim processes: simulator(device, *options) returns a running Simulator.

    Each one is stopped at the end of the test, which also checks that it exited cleanly.
    """
    from zelkor_sim import Simulator

    started: list[Simulator] = []

    def start(device: str = "arbelon", *options: str) -> Simulator:
        sim = Simulator(device, *options)
        sim.start()
        started.append(sim)
        return sim

    yield start
    for sim in started:
        hung_up = not sim.running()
        error = sim.stop()
        assert sim.process.returncode == 0, error
        assert hung_up or error == "", error
