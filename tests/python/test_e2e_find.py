"""find_devices against simulated devices and pseudo-terminals."""

from __future__ import annotations

import os
import pathlib
import signal
import threading
import time
from typing import TYPE_CHECKING

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
