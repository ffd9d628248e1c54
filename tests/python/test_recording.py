"""Recordings of every servo cycle and every handle status message, as numpy arrays that save
and load; numpy arrays as the module's vectors."""

from __future__ import annotations

import ctypes
import time
from typing import TYPE_CHECKING, Any

import numpy as np
import pytest
import ZelkorHardwareAPI as zh

if TYPE_CHECKING:
    from conftest import StartSimulator

DOUBLES = ctypes.POINTER(ctypes.c_double)


def push_x(inputs: Any, params: Any, out: Any) -> None:
    out[0] = params[0]


def test_a_servo_records_every_cycle(simulator: StartSimulator, tmp_path: Any) -> None:
    arm = zh.Arbelon(zh.SerialStream(simulator("arbelon", "--echo").port))
    servo = zh.Servo(arm, 1000.0, record=2.0, soft_start=0.0, law_timeout=2.0)
    servo.effects = [zh.ConstantForce((0.0, 0.5, 0.0))]
    servo.force_law = law = ctypes.CFUNCTYPE(None, DOUBLES, DOUBLES, DOUBLES)(push_x)
    servo.params = [0.25]
    with servo:

        def run_past(cycles: int) -> None:  # however long a loaded machine holds the loop up
            end = time.monotonic() + 60.0
            while servo.stats().cycles < cycles and time.monotonic() < end:
                time.sleep(0.01)

        run_past(100)
        live = servo.recording()  # copied while the loop runs
        run_past(len(live) + 100)
        with pytest.raises(RuntimeError, match="stop it first"):
            servo.record(1.0)
    assert law is servo.force_law
    run = servo.recording()
    assert len(run) == servo.stats().cycles and len(run) > len(live) > 0
    assert run.overwritten == 0 and (np.diff(run.cycle) == 1).all() and run.cycle[0] == 1
    assert run.position.shape == run.force.shape == run.law_force.shape == (len(run), 3)
    # Once the first reply came, every force is the effect's plus the law's; the simulator
    # echoes it back as the next state's position.
    fresh = ~run.failed & (run.cycle > 2)
    assert np.allclose(run.force[fresh], [0.25, 0.5, 0.0])
    assert np.allclose(run.effects_force[fresh], [0.0, 0.5, 0.0])
    assert np.allclose(run.law_force[fresh], [0.25, 0.0, 0.0])
    assert np.allclose(run.position[fresh], run.force[fresh], atol=1e-6)
    assert (run.exchange_us[fresh] > 0).all() and run.late.dtype == bool
    assert np.all(np.diff(run.time) > 0)

    run.save(tmp_path / "run.npz")
    loaded = zh.Recording.load(tmp_path / "run.npz")
    assert loaded.names == run.names and loaded.overwritten == 0
    for name in run:
        assert np.array_equal(getattr(loaded, name), getattr(run, name)), name
    run.to_csv(tmp_path / "run.csv")
    table = np.genfromtxt(tmp_path / "run.csv", delimiter=",", names=True)
    assert len(table) == len(run) and np.allclose(table["position_x"], run.position[:, 0])

    # A ring shorter than the run keeps the latest rows, whole and in order.
    servo.record(0.05)
    with servo:
        time.sleep(0.3)
    short = servo.recording()
    assert len(short) <= 51 and short.overwritten > 0
    assert short.cycle[0] == short.overwritten + 1 and (np.diff(short.cycle) == 1).all()
    with pytest.raises(ValueError):
        servo.record(-1.0)


def test_a_handle_records_its_status_messages(simulator: StartSimulator, tmp_path: Any) -> None:
    handle = zh.Handle(zh.SerialStream(simulator("handle", "--status-rate", "200").port))
    handle.record(1000)
    handle.start_receiving()
    handle.SendDeviceWakeup()
    time.sleep(0.5)
    with pytest.raises(RuntimeError):
        handle.record(10)
    handle.stop_receiving()
    statuses = handle.recording()
    assert len(statuses) >= 20 and statuses.overwritten == 0
    assert statuses.quaternion.shape == (len(statuses), 4)
    assert np.allclose(np.linalg.norm(statuses.quaternion, axis=1), 1.0, atol=1e-5)
    assert (statuses.device_id == statuses.device_id[0]).all() and np.all(
        np.diff(statuses.time) > 0
    )
    statuses.save(tmp_path / "handle.npz")
    assert zh.Recording.load(tmp_path / "handle.npz").names == statuses.names


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int32, np.int64])
def test_numpy_arrays_of_any_number_type_are_vectors(dtype: Any) -> None:
    vector = np.array([0, 0, 2], dtype=dtype)
    assert zh.Wall(vector, 0.0, 1.0).normal == (0.0, 0.0, 1.0)
    assert zh.ConstantForce(vector).force == (0.0, 0.0, 2.0)
    servo = zh.Servo(zh.Arbelon(zh.SerialStream("/dev/zelkor-no-such-port")))
    servo.params = vector
    assert servo.params == (0.0, 0.0, 2.0)
    state = servo.state().as_array()
    assert state.shape == (3, 3) and state.dtype == np.float64 and not state.any()


def test_a_recorded_run_replays_through_the_simulated_hand(
    simulator: StartSimulator, tmp_path: Any
) -> None:
    # A run: a spring drags the arm towards a point 2 cm away, recorded every cycle.
    arm = zh.Arbelon(zh.SerialStream(simulator("arbelon").port))
    (x, y, z), _ = arm.end_effector_force()
    servo = zh.Servo(arm, 500.0, record=5.0)
    servo.effects = [zh.Spring((x, y - 0.02, z), 40.0, 8.0)]
    with servo:
        time.sleep(1.0)
    run = servo.recording()
    run.save(tmp_path / "run.npz")
    moved = np.abs(run.position[:, 1] - y).max()
    assert moved > 0.005, "the arm went somewhere to replay"

    # Replayed: the hand leads the arm along the recorded path while the host sends no force.
    replay = zh.Arbelon(
        zh.SerialStream(simulator("arbelon", "--hand", str(tmp_path / "run.npz")).port)
    )
    follower = zh.Servo(replay, 500.0, record=5.0)
    with follower:
        time.sleep(1.3)
    again = follower.recording()
    span = (again.time > 0.1) & (again.time < run.time[-1])
    expected = np.stack(
        [np.interp(again.time[span], run.time, run.position[:, i]) for i in range(3)], axis=1
    )
    # The replay starts when the simulator's host connects, so its clock runs a little ahead
    # or behind the run's: the hand's path, not each instant, is what must match.
    error = np.linalg.norm(again.position[span] - expected, axis=1)
    assert np.median(error) < 0.001 and again.position[span, 1].min() < y - 0.005, error.max()
