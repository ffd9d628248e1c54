"""find_devices against simulated devices and pseudo-terminals."""

from __future__ import annotations

import contextlib
import os
import pathlib
import random
import select
import signal
import termios
import threading
import time
from typing import TYPE_CHECKING, Callable

import pytest
import ZelkorHardwareAPI as zh

if TYPE_CHECKING:
    from conftest import Device, StartSimulator

WAKEUP = b"\x0a"


def test_finds_the_devices_that_answer(
    simulator: StartSimulator, device: Device, tmp_path: pathlib.Path
) -> None:
    arbelon = simulator("arbelon", "--device-id", "0x0A07", "--firmware-version", "9")
    handle = simulator("handle", "--device-id", "0x0D05", "--model", "3")
    missing = str(tmp_path / "no-such-port")
    found = zh.find_devices([handle.port, device.path, missing, arbelon.port], timeout=2.0)

    assert [(d.port, d.kind, d.device_id, d.model, d.versions) for d in found] == [
        (handle.port, "Handle", 0x0D05, 3, (1, 3)),
        (arbelon.port, "Arbelon", 0x0A07, 1, (2, 9)),
    ]
    assert repr(found[1]) == (
        f"FoundDevice(port={arbelon.port!r}, kind='Arbelon', device_id=2567, model=1, "
        "versions=(2, 9))"
    )
    # The silent line got the wake-up and nothing else.
    assert device.drain() == WAKEUP
    # Every port was let go: the arm answers a stream of its own.
    assert zh.Arbelon(zh.SerialStream(arbelon.port)).device_wakeup()[0] == 0x0A07


def test_explains_why_a_port_gave_nothing(
    simulator: StartSimulator,
    device: Device,
    tmp_path: pathlib.Path,
    caplog: pytest.LogCaptureFixture,
) -> None:
    arbelon = simulator("arbelon")
    missing = str(tmp_path / "no-such-port")
    locked = tmp_path / "locked"
    os.symlink(device.path, locked)
    with zh.SerialStream(device.path) as holder:
        assert holder.is_open
        with caplog.at_level("INFO", logger="ZelkorHardwareAPI"):
            tried = zh.find_devices([arbelon.port, missing, str(locked)], 1.0, explain=True)
    assert [(p.port, p.reason) for p in tried] == [
        (arbelon.port, "answered"),
        (missing, "no such port"),
        (str(locked), "in use"),
    ]
    assert tried[0].device is not None and tried[0].device.kind == "Arbelon"
    assert tried[1].device is None and repr(tried[1]) == (
        f"PortProbe(port={missing!r}, reason='no such port')"
    )
    logged = [r.getMessage() for r in caplog.records]
    assert f"find_devices: nothing found on {missing}: no such port" in logged
    assert not any(arbelon.port in line for line in logged)
    # A silent line, and one the user may not open.
    assert [p.reason for p in zh.find_devices([device.path], 0.2, explain=True)] == ["no reply"]
    if os.geteuid() != 0:  # root opens anything
        os.chmod(device.path, 0)
        assert zh.find_devices([device.path], 0.2, explain=True)[0].reason == "permission denied"


def test_a_port_held_by_another_stream_is_left_alone(device: Device) -> None:
    with zh.SerialStream(device.path) as holder:
        assert holder.is_open
        assert zh.find_devices([device.path], timeout=0.5) == []
        assert device.drain() == b""
        assert holder.is_open


def test_a_signal_handler_that_raises_ends_the_search(device: Device) -> None:
    class Stop(Exception):
        pass

    def stop(*_: object) -> None:
        raise Stop

    previous = signal.signal(signal.SIGUSR1, stop)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGUSR1))
    timer.start()
    start = time.monotonic()
    try:
        with pytest.raises(Stop):
            zh.find_devices([device.path], timeout=60)
    finally:
        timer.cancel()
        signal.signal(signal.SIGUSR1, previous)
    # Generous: the point is only that the 60 s did not run out.
    assert time.monotonic() - start < 30


# What a line that talks but is no device gets for a reason.
NOT_QUIET = "the line was not quiet before the probe"
ECHOES = "it echoes what it is sent"
NOT_A_MESSAGE = "the reply was not a message a device sends"
WRONG_LENGTH = "the reply was not the length a device answers with"
CHANGED = "a second probe gave a different identity"

WIRE_BYTE = 86.8e-6  # a byte's time on a 115200-baud line
# An Arbelon's identity: device id 0x0A01, model 1, hardware 2, firmware 6, unique identifier.
IDENTITY = bytes([0x0B, 0x01, 0x0A, 1, 2, 6]) + b"Zelkor simulator"


def random_bytes(chance: random.Random, n: int) -> bytes:
    return chance.getrandbits(8 * n).to_bytes(n, "little")


# Bytes that start no message (0x5E), then what chance gives.
NOISE = b"\x5e" + random_bytes(random.Random(27), 47)


class Line:
    """A pseudo-terminal whose master side `behave(line)` plays, on a thread of its own.

    On a slow wire every byte it sends takes a 115200-baud line's time, and it answers a byte
    only once that byte has crossed. The slave end stays open until the test ends, so the
    master never reads as hung up; the line starts once the library has made the port raw.
    """

    def __init__(self, behave: Callable[[Line], None], slow: bool) -> None:
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)
        os.set_blocking(self.master, False)
        self.slow = slow
        self.heard = b""
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._run, args=(behave,), daemon=True)
        self.thread.start()

    def _run(self, behave: Callable[[Line], None]) -> None:
        while termios.tcgetattr(self.master)[3] & termios.ICANON:
            if self.done.wait(0.001):
                return
        behave(self)

    def send(self, data: bytes) -> None:
        start = time.perf_counter()
        for k in range(len(data)) if self.slow else [len(data) - 1]:
            if self.slow:
                # A late wake-up sends what is due at once, as a wire would have carried it.
                time.sleep(max(0.0, start + (k + 1) * WIRE_BYTE - time.perf_counter()))
                chunk = data[k : k + 1]
            else:
                chunk = data
            while chunk and not self.done.is_set():
                if select.select([], [self.master], [], 0.01)[1]:
                    chunk = chunk[os.write(self.master, chunk) :]

    def receive(self) -> bytes:
        """What the host wrote next, once it crossed; b"" once the test is over."""
        while not self.done.is_set():
            if select.select([self.master], [], [], 0.01)[0]:
                data = os.read(self.master, 4096)
                self.heard += data
                if self.slow:
                    time.sleep(len(data) * WIRE_BYTE)
                return data
        return b""

    def close(self) -> None:
        self.done.set()
        self.thread.join(10)
        os.close(self.master)
        os.close(self.slave)


def babbles(line: Line) -> None:
    """Random bytes without a pause, at the wire's rate (faster, a pseudo-terminal would fill
    up and hold the writer back)."""
    chance = random.Random(1)
    start = time.perf_counter()
    sent = 0
    while not line.done.is_set():
        with contextlib.suppress(BlockingIOError):  # once the port is closed, it fills up
            os.write(line.master, random_bytes(chance, 8))
        sent += 8
        if select.select([line.master], [], [], 0)[0]:
            line.heard += os.read(line.master, 4096)
        time.sleep(max(0.0, start + sent * WIRE_BYTE - time.perf_counter()))


def noise_after_the_wakeup(line: Line) -> None:
    if line.receive():
        line.send(NOISE)
    while line.receive():
        pass


def echoes(line: Line) -> None:
    while data := line.receive():
        line.send(data)


def answers(*replies: bytes) -> Callable[[Line], None]:
    """Answers the n-th wake-up with the n-th reply (the last one from then on)."""

    def behave(line: Line) -> None:
        n = 0
        while data := line.receive():
            for _ in data:
                line.send(replies[min(n, len(replies) - 1)])
                n += 1

    return behave


@pytest.mark.parametrize("wire", ["pty", "uart"])
def test_a_line_is_taken_for_a_device_only_when_it_answers_as_one(
    simulator: StartSimulator, wire: str
) -> None:
    # name, the line, the reasons allowed (the first is the one the row is about), the
    # wake-ups it gets. A loaded machine may leave a line's own thread unscheduled for the
    # 3 ms the library waits for quiet, or between two bytes on a slow wire: a wake-up then
    # goes out into a babble, or a reply's last byte is taken as the start of the next one.
    # Either way it is still no device.
    cases = [
        ("babbling", babbles, (NOT_QUIET, NOT_A_MESSAGE, WRONG_LENGTH), (0, 1)),
        ("noise once after the wake-up", noise_after_the_wakeup, (NOT_A_MESSAGE,), (1,)),
        ("echoes", echoes, (ECHOES,), (1,)),
        ("one byte too many", answers(IDENTITY + b"\x00"), (WRONG_LENGTH, NOT_A_MESSAGE), (1, 2)),
        ("cut short", answers(IDENTITY[:12]), (WRONG_LENGTH,), (1,)),
        (
            "another identity each time",
            answers(IDENTITY, IDENTITY[:1] + b"\x02" + IDENTITY[2:]),
            (CHANGED,),
            (2,),
        ),
        ("a genuine arm", answers(IDENTITY), ("answered",), (2,)),
    ]
    line_option = ("--line", wire) if wire != "pty" else ()
    arbelon = simulator("arbelon", "--device-id", "0x0A07", "--firmware-version", "9", *line_option)
    handle = simulator("handle", "--device-id", "0x0D05", "--model", "3", *line_option)
    lines = [Line(behave, slow=wire != "pty") for _, behave, _, _ in cases]
    try:
        tried = zh.find_devices(
            [line.path for line in lines] + [arbelon.port, handle.port], 2.0, explain=True
        )
    finally:
        for line in lines:
            line.close()

    for (name, _, reasons, wakeups), line, probe in zip(cases, lines, tried):
        assert probe.reason in reasons, name
        assert len(line.heard) in wakeups and set(line.heard) <= {0x0A}, name
        assert (probe.device is None) == (reasons[0] != "answered"), name
    found = [(p.port, d.kind, d.device_id, d.model, d.versions) for p in tried if (d := p.device)]
    assert found == [
        (lines[-1].path, "Arbelon", 0x0A01, 1, (2, 6)),
        (arbelon.port, "Arbelon", 0x0A07, 1, (2, 9)),
        (handle.port, "Handle", 0x0D05, 3, (1, 3)),
    ]
