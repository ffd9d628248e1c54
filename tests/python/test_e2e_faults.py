"""Injected faults, seen through the library: a failed reply gives zeros and the next
exchange works; a hang-up ends the calls at once."""

# pyright: reportUnknownMemberType=false
# (pytest.approx has no annotations)
from __future__ import annotations

import time
from typing import TYPE_CHECKING

import pytest
import ZelkorHardwareAPI as zh

if TYPE_CHECKING:
    from conftest import StartSimulator
    from zelkor_sim import Simulator

ZEROS = ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0])


def arm_on(sim: Simulator) -> zh.Arbelon:
    return zh.Arbelon(zh.SerialStream(sim.port))


# The wake-up reply is left alone, the first state reply is spoilt, the rest are not.
@pytest.mark.parametrize("fault", ["--drop", "--wrong-code", "--truncate", "--garbage"])
def test_a_spoilt_reply_gives_zeros_and_the_next_exchange_works(
    simulator: StartSimulator, fault: str
) -> None:
    sim = simulator(
        "arbelon", fault, "1", "--faults-after", "1", "--max-faults", "1", "--fixed-dt", "0.001"
    )
    arm = arm_on(sim)
    assert arm.device_wakeup()[0] == 0x0A01
    start = time.monotonic()
    assert arm.end_effector_force([0, 0, 1]) == ZEROS
    # The library waits out its read time-out (1 s after the last byte, or 1 s and 8 ms
    # per byte for nothing at all), no more.
    assert time.monotonic() - start < 3.0
    position, _ = arm.end_effector_force([0, 0, 1])
    assert position[0] == pytest.approx(0.2828, abs=1e-3)
    assert arm.joint_angles([0, 0.5, -1])[0][1] > 0.5


def test_a_silent_device_gives_zeros(simulator: StartSimulator) -> None:
    arm = arm_on(simulator("arbelon", "--silent-after", "1"))
    assert arm.device_wakeup()[0] == 0x0A01
    start = time.monotonic()
    assert arm.joint_torques([0, 0, 0]) == ZEROS
    assert 0.9 < time.monotonic() - start < 3.0


def test_a_hang_up_ends_the_calls_at_once(simulator: StartSimulator) -> None:
    sim = simulator("arbelon", "--hangup-after", "2")
    arm = arm_on(sim)
    assert arm.device_wakeup()[0] == 0x0A01
    assert arm.end_effector_force([0, 0, 0])[0] != [0.0, 0.0, 0.0]
    start = time.monotonic()
    assert arm.end_effector_force([0, 0, 1]) == ZEROS
    assert arm.joint_angles([0, 0, 0]) == ZEROS
    assert arm.device_wakeup() == (0, 0, 0, 0, [0] * 16)
    assert time.monotonic() - start < 0.5
    sim.process.wait(timeout=5)  # a simulator that hung up exits by itself
    assert sim.process.returncode == 0
