"""The servo's guards, end to end: a stalled command source leaves the arm limp, and two arms
coupled for teleoperation track each other and stay still against a stiff wall."""

# pyright: reportUnknownMemberType=false, reportUnknownVariableType=false
# pyright: reportUnknownArgumentType=false
from __future__ import annotations

import importlib
import os
import sys
import time
import warnings
from types import ModuleType
from typing import Any, Callable

import numpy as np
import pytest
import ZelkorHardwareAPI as zh

StartSimulator = Callable[..., Any]


def test_effects_not_refreshed_in_time_fade_out_and_come_back(
    simulator: StartSimulator,
) -> None:
    arm = zh.Arbelon(zh.SerialStream(simulator("arbelon").port))
    servo = zh.Servo(arm, 1000.0, soft_start=0.0, record=10.0)
    push = [zh.ConstantForce((0.0, 0.0, 1.0))]

    def refresh(seconds: float) -> None:  # a target refreshed at 100 Hz
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            servo.set_effects(push, ttl=0.1)
            time.sleep(0.01)

    with servo:
        refresh(0.3)
        time.sleep(0.4)  # the stall: a collection, a held interpreter lock
        refresh(0.5)
    assert servo.stats().expired >= 1
    run = servo.recording()
    z = run.force[:, 2]
    # The stall's fade: the one that reaches zero and stays there for 100 ms. (On a loaded
    # machine a refresh can come late without a stall, and fade a little before it comes.)
    zero = z == 0.0
    runs = np.flatnonzero(np.convolve(zero, np.ones(100), "valid") == 100)
    assert runs.size > 0 and (z == 1.0).any()
    until = runs[0]
    faded = np.flatnonzero(z[:until] == 1.0)[-1] + 1  # the first cycle after expiry
    # Down without a step back up, and zero from 50 ms on: the last cycle with a force left
    # began within 50 ms of the fade's start (rows are timed at a cycle's end, and the one
    # before it ended before it began).
    assert np.all(np.diff(z[faded : until + 1]) <= 0.0)
    assert run.time[until - 2] <= run.time[faded] + 0.051
    assert z[-1] == 1.0, "refreshed, it ramps in again"


def load_example() -> ModuleType:
    examples = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
    if examples not in sys.path:
        sys.path.insert(0, examples)
    return importlib.import_module("teleoperation")


def test_the_follower_tracks_the_leader_along_a_recorded_path(
    simulator: StartSimulator, tmp_path: Any
) -> None:
    example = load_example()
    path = str(tmp_path / "path.csv")
    example.write_circle(path, 4.0)
    lead = simulator("arbelon", "--fixed-dt", "0.001", "--hand", path)
    follow = simulator("arbelon", "--fixed-dt", "0.001")
    result = example.run(lead.port, follow.port, 2.5)
    assert result.cycles >= 2500 and result.stop_reason == "stopped"
    assert result.tracking_rms < 0.002
    assert result.swing > 0.003, "the leader went round: the follower went after it"


@pytest.mark.parametrize("passivity", [False, True])
def test_a_stiff_wall_on_the_follower_rings_unless_kept_passive(
    simulator: StartSimulator, passivity: bool
) -> None:
    example = load_example()
    x, y, z = example.HOME
    lead = simulator(
        "arbelon", "--fixed-dt", "0.001", "--hand", f"spring:100,1,{x},{y},{z - 0.022}"
    )
    follow = simulator("arbelon", "--fixed-dt", "0.001")
    # Stiffer than the loop renders stably: a warning, unless the controller keeps it passive.
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        result = example.run(lead.port, follow.port, 3.0, passivity=passivity, wall=0.002)
    assert [str(w.message)[:9] for w in warned] == ([] if passivity else ["a Wall of"])
    assert result.cycles >= 3000 and result.stop_reason == "stopped"
    if passivity:
        assert result.swing < 0.00005 and result.energy > -0.001
    else:
        assert result.swing > 0.0002
