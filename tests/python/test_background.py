"""Calls that need not freeze Python: background reception of a handle's messages, and
streams whose calls release the interpreter lock."""

from __future__ import annotations

import math
import threading
import time
from typing import TYPE_CHECKING, Callable

import pytest
import ZelkorHardwareAPI as zh
from recorder import Recorder

if TYPE_CHECKING:
    from conftest import Device, StartSimulator

ERROR = bytes([0xDF, 0x01, 0x00, 0x07])


def busy_for(seconds: float) -> int:
    """How many loop turns this thread manages in `seconds`."""
    turns, end = 0, time.perf_counter() + seconds
    while time.perf_counter() < end:
        turns += 1
    return turns


def test_background_reception_delivers_every_message_in_order(simulator: StartSimulator) -> None:
    handle = Recorder(zh.SerialStream(simulator("handle", "--status-rate", "200").port))
    handle.start_receiving()
    assert handle.receiving
    handle.SendDeviceWakeup()
    quiet = busy_for(0.3)  # the main thread runs while the messages arrive
    time.sleep(0.7)
    with pytest.raises(RuntimeError, match="stop_receiving"):
        handle.Receive()
    handle.stop_receiving()
    assert not handle.receiving
    kinds = [kind for kind, _ in handle.messages]
    assert kinds[0] == "info" and kinds.count("status") >= 50
    # The handle turns steadily, by the same angle from one message to the next (its sine is
    # the length of the quaternion's vector part): every step alike means the statuses came
    # in the order they were sent, none lost in between.
    angles = [
        2 * math.asin(math.hypot(*values[1][1:]))
        for kind, values in handle.messages
        if kind == "status"
    ]
    steps = [b - a for a, b in zip(angles, angles[1:])]
    assert min(steps) > 0
    assert max(steps) < 1.5 * min(steps), "no gap in the sequence"
    assert quiet > 1000


def test_stop_receiving_returns_promptly_on_a_quiet_line(device: Device) -> None:
    handle = Recorder(zh.SerialStream(device.path))
    handle.start_receiving()
    time.sleep(0.1)
    start = time.monotonic()
    handle.stop_receiving()
    assert time.monotonic() - start < 0.25, "not after the port's 1 s time-out"
    handle.stop_receiving()  # nothing to stop


def test_a_callback_exception_ends_reception_and_comes_back_from_stop(device: Device) -> None:
    class Failing(Recorder):
        def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
            raise ValueError(f"bad code {error_code}")

    handle = Failing(zh.SerialStream(device.path))
    handle.start_receiving()
    device.send(ERROR + ERROR)
    end = time.monotonic() + 5
    while handle.receiving and time.monotonic() < end:
        time.sleep(0.01)
    assert not handle.receiving
    with pytest.raises(ValueError, match="bad code 7"):
        handle.stop_receiving()
    handle.stop_receiving()  # raised once
    # The second message is still there for the next reception.
    handle.start_receiving()
    time.sleep(0.2)
    with pytest.raises(ValueError):
        handle.stop_receiving()


def test_writes_and_callbacks_share_a_receiving_stream(device: Device) -> None:
    class Echo(Recorder):
        def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
            super().OnReceiveHandleErrorResponse(device_id, error_code)
            self.SendHandleState(device_id, 1, [error_code])  # a write from a callback

    handle = Echo(zh.SerialStream(device.path))
    handle.start_receiving()
    for code in range(20):
        device.send(bytes([0xDF, 0x01, 0x00, code]))
        handle.SendDeviceWakeup()  # and from this thread, between them
    got = device.receive(20 * 5 + 20, 5.0)
    handle.stop_receiving()
    assert got.count(b"\x0a") >= 20
    echoes = [got[i + 4] for i in range(len(got) - 4) if got[i : i + 4] == b"\xdb\x01\x00\x01"]
    assert echoes == list(range(20))


def test_a_receiving_stream_has_one_reader_and_no_servo(device: Device) -> None:
    stream = zh.SerialStream(device.path)
    reader, other = Recorder(stream), Recorder(stream)
    servo = zh.Servo(zh.Arbelon(stream), 100.0)
    reader.start_receiving()
    refused: list[tuple[Callable[[], object], str]] = [
        (reader.start_receiving, "already receiving"),
        (reader.Receive, "call stop_receiving"),
        # A second reader would take some of the messages meant for the first.
        (other.start_receiving, "another handle receives .* call its stop_receiving"),
        (other.Receive, "another handle receives .* call its stop_receiving"),
        (servo.start, "a Servo needs the stream to itself"),
        (stream.close, "stop_receiving"),
        (lambda: stream.connect(device.path), "stop_receiving"),
    ]
    for call, message in refused:
        with pytest.raises(RuntimeError, match=message):
            call()
    assert not other.receiving and not servo.running and stream.is_open
    device.send(ERROR)
    end = time.monotonic() + 5
    while not reader.messages and time.monotonic() < end:
        time.sleep(0.01)
    reader.stop_receiving()
    assert reader.messages == [("error", (1, 7))] and other.messages == []
    # Stopped, it leaves the stream to whichever comes next.
    other.start_receiving()
    other.stop_receiving()
    servo.start()
    servo.stop()


def test_release_gil_lets_other_threads_run_during_a_quiet_read(device: Device) -> None:
    arm = zh.Arbelon(zh.SerialStream(device.path, release_gil=True))
    result: dict[str, tuple[list[float], list[float]]] = {}
    worker = threading.Thread(target=lambda: result.update(zeros=arm.joint_angles([0, 0, 0])))
    worker.start()
    time.sleep(0.1)  # the worker now waits on the silent line
    turns = busy_for(0.5)
    worker.join()
    assert result["zeros"] == ([0.0] * 3, [0.0] * 3)
    assert turns > 10000, "the main thread ran while the worker waited"


def test_two_threads_on_one_stream_take_turns(simulator: StartSimulator) -> None:
    stream = zh.SerialStream(simulator("arbelon", "--fixed-dt", "0.0005").port, release_gil=True)
    arm = zh.Arbelon(stream)
    failures: list[tuple[str, list[float]]] = []

    def exchanges(kind: str) -> None:
        for _ in range(300):
            if kind == "joint":
                position, _ = arm.joint_angles([0.0, math.pi / 4, -math.pi / 2])
                # Joint angles, near the home pose: an end-effector state would not fit.
                ok = abs(position[1] - math.pi / 4) < 0.3 and arm.last_result in (24, -1)
            else:
                position, _ = arm.end_effector_position([0.283, 0.0, 0.0])
                ok = abs(position[0] - 0.283) < 0.05
            if not ok:
                failures.append((kind, position))

    threads = [threading.Thread(target=exchanges, args=(k,)) for k in ("joint", "ee", "joint")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
