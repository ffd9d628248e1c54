"""The Handle simulator heard through a Python subclass of Handle."""

# pyright: reportUnknownMemberType=false
# (pytest.approx has no annotations)
from __future__ import annotations

import math
import os
import subprocess
import sys
import time
from typing import TYPE_CHECKING

import pytest
import ZelkorHardwareAPI as zh
from recorder import Recorder, Values

if TYPE_CHECKING:
    from conftest import StartSimulator
    from zelkor_sim import Simulator


def handle_on(sim: Simulator) -> Recorder:
    return Recorder(zh.SerialStream(sim.port))


def test_a_subclass_hears_the_information_and_its_user_data_echoed(
    simulator: StartSimulator,
) -> None:
    sim = simulator(
        "handle",
        "--device-id",
        "0x0D05",
        "--model",
        "9",
        "--hardware-version",
        "4",
        "--firmware-version",
        "8",
        "--tool-data-remaining",
        "3",
    )
    handle = handle_on(sim)
    handle.SendDeviceWakeup()
    assert handle.until("info") == (3, 0x0D05, 9, 4, 8)

    for data in [b"\x01\x02\x03", bytes(range(255)), b""]:
        handle.SendHandleState(0x0D05, len(data), data)

        def echoed(values: Values, data: bytes = data) -> bool:
            return bool(values[5] == list(data))

        device_id, quaternion, error_flag, sensor, length, _user_data = handle.until(
            "status", echoed
        )
        assert (device_id, error_flag, sensor, length) == (0x0D05, 0, 200, len(data))
        assert len(quaternion) == 4
        assert math.fsum(c * c for c in quaternion) == pytest.approx(1.0, abs=1e-6)
    assert not [m for m in handle.messages if m[0] == "error"]


def test_the_handle_turns_slowly_and_streams_at_its_rate(simulator: StartSimulator) -> None:
    handle = handle_on(simulator("handle", "--status-rate", "50"))
    handle.SendDeviceWakeup()
    handle.until("info")
    start = time.monotonic()
    while time.monotonic() - start < 1.0:
        handle.Receive()
    statuses = [v for kind, v in handle.messages if kind == "status"]
    assert 25 <= len(statuses) <= 75
    w = [v[1][0] for v in statuses]
    # Turning at 0.5 rad/s: w = cos(angle / 2) falls, by about 0.2 % in a second.
    assert all(a >= b for a, b in zip(w, w[1:]))
    assert w[-1] < w[0]


def test_errors_come_for_a_foreign_device_id_and_on_schedule(simulator: StartSimulator) -> None:
    handle = handle_on(simulator("handle", "--error-every", "3", "--error-code", "0x42"))
    handle.SendDeviceWakeup()
    handle.until("info")
    handle.SendHandleState(0x0D02, 2, b"no")  # not this handle's id
    assert handle.until("error", lambda v: bool(v[1] == 0x01)) == (0x0D01, 0x01)
    assert handle.until("error", lambda v: bool(v[1] == 0x42)) == (0x0D01, 0x42)
    assert all(v[5] == [] for kind, v in handle.messages if kind == "status")


def test_garbage_before_a_message_costs_one_unknown_code_per_byte(
    simulator: StartSimulator,
) -> None:
    handle = handle_on(simulator("handle", "--garbage", "1", "--max-faults", "1"))
    handle.SendDeviceWakeup()
    results: list[int] = []
    while not handle.messages:
        results.append(handle.Receive())
    assert 2 <= len(results) <= 9
    assert results[:-1] == [-1] * (len(results) - 1)
    assert results[-1] == 6
    assert handle.messages[0][0] == "info"


def test_a_hang_up_ends_receive_at_once(simulator: StartSimulator) -> None:
    sim = simulator("handle", "--hangup-after", "1")
    handle = handle_on(sim)
    handle.SendDeviceWakeup()
    handle.until("info")
    handle.SendHandleState(0x0D01, 1, b"x")  # the second host message: the handle hangs up
    sim.process.wait(timeout=5)
    start = time.monotonic()
    for _ in range(3):
        handle.Receive()
    assert time.monotonic() - start < 0.5


def test_the_listener_example_prints_the_messages() -> None:
    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "handle_listener.py")
    run = subprocess.run(
        [sys.executable, example, "--seconds", "0.5", "--every", "1"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert run.returncode == 0, run.stderr
    assert "info    device 0x0d01, model 2, hardware 1, firmware 3" in run.stdout
    assert "user data b'hello'" in run.stdout
