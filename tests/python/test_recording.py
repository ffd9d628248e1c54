"""Recordings of every servo cycle and every handle status message, as numpy arrays that save
and load; numpy arrays as the module's vectors."""

from __future__ import annotations

import ctypes
import os
import subprocess
import sys
import time
import zipfile
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


def _servo_arrays(rows: int = 5) -> dict[str, Any]:
    """The arrays a servo recording of `rows` rows saves, every part present."""
    width = sum(column[2] for column in getattr(zh, "_servo_columns"))  # noqa: B009
    table = np.arange(rows * width, dtype=np.float64).reshape(rows, width)
    flags = next(first for _n, first, _w, kind, _f in zh._servo_columns if kind == "flags")  # noqa: B009
    # every part took part
    table[:, flags] = sum(f for *_, kind, f in zh._servo_columns if "part" in kind)  # noqa: B009
    run = zh.Recording.from_servo_rows(table, 0)
    return {name: getattr(run, name) for name in run}


def _broken(change: Any) -> Any:
    def make(arrays: dict[str, Any]) -> dict[str, Any]:
        arrays = dict(arrays)
        change(arrays)
        return arrays

    return make


@pytest.mark.parametrize(
    "change, wanted",
    [
        (
            _broken(lambda a: a.update(position=a["position"][:3])),
            r"'position' has 3 rows where 'time' has 5",
        ),
        (_broken(lambda a: a.update(late=a["late"][:-1])), r"'late' has 4 rows"),
        (
            _broken(lambda a: a.update(force=a["force"][:, :2])),
            r"'force' has shape \(5, 2\).*\(N, 3\)",
        ),
        (_broken(lambda a: a.update(time=a["time"][:, None])), r"'time' has shape \(5, 1\).*\(N\)"),
        (_broken(lambda a: a.update(energy=np.float64(1.0))), r"'energy' has shape \(\)"),
        (
            _broken(lambda a: a.update(late=a["late"].astype(np.float64))),
            r"'late' is float64.*bool",
        ),
        (
            _broken(lambda a: a.update(cycle=a["cycle"].astype(np.float32))),
            r"'cycle' is float32.*int64",
        ),
        (_broken(lambda a: a.update(time=a["time"].astype(str))), r"'time' is <U.*float64"),
        (_broken(lambda a: a.pop("velocity")), r"'velocity' is missing"),
        (_broken(lambda a: a.update(speed=a["time"])), r"'speed' is no part of a servo recording"),
        (_broken(lambda a: a.update(kind=np.str_("robot"))), r"'kind' is 'robot'"),
        (_broken(lambda a: a.update(kind=np.arange(3))), r"'kind' must be a single text"),
        (
            _broken(lambda a: a.update(overwritten=np.arange(2))),
            r"'overwritten' must be a single whole",
        ),
        (_broken(lambda a: a.update(overwritten=np.int64(-4))), r"'overwritten' is -4"),
        (
            _broken(lambda a: a.update(rows=np.zeros((5, 4)), layout=np.str_("time:1"))),
            r"'layout' is 'time:1'",
        ),
    ],
)
def test_load_refuses_an_array_unlike_a_recordings(tmp_path: Any, change: Any, wanted: str) -> None:
    arrays = _servo_arrays()
    np.savez(tmp_path / "good.npz", kind=np.str_("servo"), overwritten=np.int64(0), **arrays)
    good = zh.Recording.load(tmp_path / "good.npz")
    assert good.names == tuple(arrays) and len(good) == 5
    np.savez(tmp_path / "bad.npz", **change({"kind": np.str_("servo"), **arrays}))
    with pytest.raises(ValueError, match=wanted):
        zh.Recording.load(tmp_path / "bad.npz")


def test_load_checks_a_handles_arrays_and_the_streamed_rows(tmp_path: Any) -> None:
    handle = zh.Recording.from_handle_rows(np.zeros((4, 9)), 0)
    arrays = {name: getattr(handle, name) for name in handle}
    np.savez(
        tmp_path / "h.npz", kind=np.str_("handle"), **{**arrays, "quaternion": np.zeros((4, 3))}
    )
    with pytest.raises(ValueError, match=r"'quaternion' has shape \(4, 3\).*\(N, 4\)"):
        zh.Recording.load(tmp_path / "h.npz")
    np.savez(tmp_path / "h.npz", kind=np.str_("handle"), **{**arrays, "position": np.zeros((4, 3))})
    with pytest.raises(ValueError, match=r"'position' is no part of a handle recording"):
        zh.Recording.load(tmp_path / "h.npz")
    # An array numpy will not read without unpickling it is named too.
    np.savez(tmp_path / "h.npz", kind=np.str_("handle"), **{**arrays, "time": np.array([None] * 4)})
    with pytest.raises(ValueError, match=r"'time' cannot be read"):
        zh.Recording.load(tmp_path / "h.npz")


def test_save_refuses_a_path_it_cannot_write_and_keeps_the_path_given(
    tmp_path: Any, monkeypatch: pytest.MonkeyPatch
) -> None:
    run = zh.Recording(_servo_arrays())
    for path, error, wanted in [
        ("/dev/full", OSError, "not a regular file"),
        (str(tmp_path), IsADirectoryError, "it is a folder"),
        (str(tmp_path / "no such folder" / "run.npz"), FileNotFoundError, "no folder"),
    ]:
        with pytest.raises(error, match=wanted) as refused:
            run.save(path)
        assert path in str(refused.value)
        assert not os.path.exists(path + ".npz")
    # No suffix is added: the file is where it was asked to be, and loads back.
    run.save(tmp_path / "run")
    assert sorted(os.listdir(tmp_path)) == ["run"]
    assert zh.Recording.load(tmp_path / "run").names == run.names
    # A save that fails halfway leaves the file that was there as it was, and nothing else.
    before = (tmp_path / "run").read_bytes()

    def fail(out: Any, **_arrays: Any) -> None:
        out.write(b"PK half an archive")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(np, "savez", fail)
    with pytest.raises(OSError, match="No space left") as refused:
        run.save(tmp_path / "run")
    assert str(tmp_path / "run") in str(refused.value)
    assert sorted(os.listdir(tmp_path)) == ["run"] and (tmp_path / "run").read_bytes() == before


def test_a_recording_larger_than_memory_allows_is_refused_with_its_size() -> None:
    arm = zh.Arbelon(zh.SerialStream("/dev/zelkor-no-such-port"))
    row = 8 * sum(column[2] for column in getattr(zh, "_servo_columns"))  # noqa: B009
    size = (20000 * 86400 + 1) * row
    with pytest.raises(
        ValueError, match=rf"would take {size:,} bytes \({size / 1e9:.2f} GB\).*record_to"
    ):
        zh.Servo(arm, 20000.0, record=86400.0)
    # Under a 4 GB address space, a quarter of it is what a recording may take: 10000 s at
    # 1 kHz (2.64 GB) is refused before anything is allocated.
    script = (
        "import resource, ZelkorHardwareAPI as zh\n"
        "resource.setrlimit(resource.RLIMIT_AS, (4 << 30, resource.RLIM_INFINITY))\n"
        "arm = zh.Arbelon(zh.SerialStream('/dev/zelkor-no-such-port'))\n"
        "try:\n"
        "    zh.Servo(arm, 1000.0, record=10000.0)\n"
        "except ValueError as e:\n"
        "    print(e)\n"
        "zh.Servo(arm, 1000.0, record=60.0)\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    assert (
        f"would take {(10_000_000 + 1) * row:,} bytes ({(10_000_000 + 1) * row / 1e9:.2f} GB), "
        "more than the 1,073,741,824 bytes" in done.stdout
    )


def test_a_run_streamed_to_disk_has_the_columns_of_one_in_memory(
    simulator: StartSimulator, tmp_path: Any
) -> None:
    arm = zh.Arbelon(zh.SerialStream(simulator("arbelon", "--echo").port))
    path = tmp_path / "run.npz"
    # The ring in memory keeps the latest 2 s when streaming, the file every row.
    servo = zh.Servo(arm, 1000.0, record=0.2, record_to=path, soft_start=0.0)
    servo.effects = [zh.ConstantForce((0.0, 0.5, 0.0))]
    with servo:
        time.sleep(2.6)
        with pytest.raises(ValueError, match="not a whole .npz archive"):
            zh.Recording.load(path)  # no index until the loop ends
        with pytest.raises(RuntimeError, match="stop it first"):
            servo.record_to(None)
    held = servo.recording()
    cycles = servo.stats().cycles
    streamed = zh.Recording.load(path)
    assert len(streamed) == cycles and streamed.overwritten == 0 and held.overwritten > 0
    assert (streamed.cycle == np.arange(1, cycles + 1)).all()
    assert streamed.names == held.names
    # The ring's rows are the last of the file's, the same in every column.
    tail = slice(len(streamed) - len(held), None)
    for name in held:
        mine, theirs = getattr(held, name), getattr(streamed, name)
        assert (mine is None) == (theirs is None), name
        if mine is not None:
            assert theirs.dtype == mine.dtype and np.array_equal(theirs[tail], mine), name
    fresh = ~streamed.failed & (streamed.cycle > 2)
    assert np.allclose(streamed.effects_force[fresh], [0.0, 0.5, 0.0])
    # numpy reads it as any .npz, and the archive's checksums hold.
    with zipfile.ZipFile(path) as archive:
        assert archive.testzip() is None
        assert sorted(archive.namelist()) == sorted(
            ["kind.npy", "layout.npy", "rows.npy", "overwritten.npy", "lost.npy"]
        )

    # Each run empties the file; a path that cannot be written is refused when it is given.
    with servo:
        time.sleep(0.1)
    assert len(zh.Recording.load(path)) == servo.stats().cycles
    for where, error in [
        (tmp_path, IsADirectoryError),
        (tmp_path / "missing" / "run.npz", FileNotFoundError),
        ("/dev/full", OSError),
    ]:
        with pytest.raises(error, match="cannot") as refused:
            zh.Servo(arm, 1000.0, record_to=where)
        assert str(where) in str(refused.value)
    with pytest.raises(TypeError, match="record_to"):
        zh.Servo(arm, 1000.0, record_to=b"run.npz")
    # A folder gone by the time the run starts: start() refuses, and the arm is free again.
    (tmp_path / "gone").mkdir()
    servo.record_to(tmp_path / "gone" / "run.npz")
    (tmp_path / "gone").rmdir()
    with pytest.raises(FileNotFoundError, match="cannot stream the recording there"):
        servo.start()
    assert not servo.running
    servo.record_to(None)
    with servo:
        time.sleep(0.05)
    assert servo.stats().cycles > 0


def test_a_stream_cut_short_by_a_full_disk_keeps_its_rows_whole(
    simulator: StartSimulator, tmp_path: Any
) -> None:
    # A file size limit stands in for a full disk: writes past 256 KiB fail (the interpreter
    # ignores the signal the system sends with them).
    port = simulator("arbelon").port
    script = (
        "import logging, resource, sys, time, ZelkorHardwareAPI as zh\n"
        "logging.basicConfig(level=logging.WARNING)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (256 << 10, resource.RLIM_INFINITY))\n"
        "arm = zh.Arbelon(zh.SerialStream(sys.argv[1]))\n"
        "servo = zh.Servo(arm, 1000.0, record_to=sys.argv[2])\n"
        "with servo:\n"
        "    time.sleep(2.5)\n"
        "print(servo.stats().cycles)\n"
    )
    path = tmp_path / "run.npz"
    done = subprocess.run(
        [sys.executable, "-c", script, port, str(path)], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    assert "stopped early: File too large (the rows before it are in the file)" in done.stderr
    cycles = int(done.stdout)
    kept = zh.Recording.load(path)  # a whole archive, its rows in order from the first
    row = 8 * sum(column[2] for column in getattr(zh, "_servo_columns"))  # noqa: B009
    fits = (256 << 10) // row  # rows the limit holds, less the archive's own bytes
    assert fits // 2 < len(kept) < cycles and (kept.cycle == np.arange(1, len(kept) + 1)).all()
    assert path.stat().st_size <= 256 << 10
