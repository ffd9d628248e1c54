"""Recording.save("run.mcap"): ROS 2-typed MCAP that reads back with the mcap ROS 2 reader,
row for row, array for array; .npz stays the default."""

# pyright: reportUnknownMemberType=false, reportUnknownVariableType=false, reportUnknownArgumentType=false
from __future__ import annotations

from pathlib import Path
from typing import Any, Dict, List

import pytest

np = pytest.importorskip("numpy")
reader = pytest.importorskip("mcap_ros2.reader")
mcap_reader = pytest.importorskip("mcap.reader")

import ZelkorHardwareAPI as zh  # noqa: E402

ROWS = 257


def servo_recording() -> Any:
    rng = np.random.default_rng(7)
    time = np.cumsum(rng.uniform(0.0009, 0.0011, ROWS)) + 0.5
    flags = rng.random((4, ROWS)) < 0.3
    arrays = {
        "time": time,
        "cycle": np.arange(1, ROWS + 1, dtype=np.int64),
        "position": rng.normal(size=(ROWS, 3)),
        "velocity": rng.normal(size=(ROWS, 3)),
        "force": rng.normal(size=(ROWS, 3)),
        "effects_force": rng.normal(size=(ROWS, 3)),
        "law_force": None,  # a part that never took part: no topic
        "exchange_us": rng.uniform(20, 900, ROWS),
        "energy": rng.normal(size=ROWS) * 1e-3,
        "damping_added": rng.uniform(0, 20, ROWS),
        "scene_force": rng.normal(size=(ROWS, 2, 3)),  # two arms: a topic each
        "late": flags[0],
        "failed": flags[1],
        "missed": flags[2],
        "stale_dropped": flags[3],
    }
    return zh.Recording(arrays, overwritten=12, kind="servo")


def handle_recording() -> Any:
    rng = np.random.default_rng(8)
    quaternion = rng.normal(size=(ROWS, 4))
    return zh.Recording(
        {
            "time": np.linspace(0.0, 2.56, ROWS),
            "device_id": np.full(ROWS, 0x0B01, dtype=np.int64),
            "quaternion": quaternion / np.linalg.norm(quaternion, axis=1)[:, None],
            "error_flag": np.zeros(ROWS, dtype=np.int64),
            "connection_sensor": np.ones(ROWS, dtype=np.int64),
            "user_data_length": np.arange(ROWS, dtype=np.int64) % 5,
        },
        kind="handle",
    )


def topics_of(recording: Any) -> Dict[str, Any]:
    """The topics a recording's arrays make: a topic per array, per arm of an (N, arms, 3)
    one; each with its array's name and the rows it carries."""
    topics: Dict[str, Any] = {}
    for name in recording.names:
        array = getattr(recording, name)
        if array is None:
            continue
        if array.ndim == 3:
            for arm in range(array.shape[1]):
                topics[f"/{name}/{arm}"] = (name, array[:, arm])
        else:
            topics[f"/{name}"] = (name, array)
    return topics


def read_back(path: Path) -> Dict[str, List[Any]]:
    topics: Dict[str, List[Any]] = {}
    for message in reader.read_ros2_messages(str(path)):
        topics.setdefault(message.channel.topic, []).append(message)
    return topics


def values(name: str, message: Any) -> Any:
    m = message.ros_msg
    kind = message.schema.name
    if kind == "geometry_msgs/msg/PointStamped":
        return [m.point.x, m.point.y, m.point.z]
    if kind == "geometry_msgs/msg/Vector3Stamped":
        return [m.vector.x, m.vector.y, m.vector.z]
    if kind == "geometry_msgs/msg/QuaternionStamped":
        return [m.quaternion.w, m.quaternion.x, m.quaternion.y, m.quaternion.z]
    return m.data


@pytest.mark.parametrize("make", [servo_recording, handle_recording], ids=["servo", "handle"])
@pytest.mark.parametrize("suffix", [".mcap", ".MCAP"])
def test_a_recording_saved_as_mcap_reads_back_row_for_row(
    tmp_path: Path, make: Any, suffix: str
) -> None:
    recording = make()
    path = tmp_path / f"run{suffix}"
    recording.save(path)  # a PathLike as well as a str
    topics = read_back(path)
    expected = topics_of(recording)
    assert sorted(topics) == sorted(expected)
    expected_types = {
        "position": "geometry_msgs/msg/PointStamped",
        "velocity": "geometry_msgs/msg/Vector3Stamped",
        "quaternion": "geometry_msgs/msg/QuaternionStamped",
        "time": "std_msgs/msg/Float64",
        "cycle": "std_msgs/msg/Int64",
        "device_id": "std_msgs/msg/Int64",
        "late": "std_msgs/msg/Bool",
        "scene_force": "geometry_msgs/msg/Vector3Stamped",
    }
    for topic, (name, array) in expected.items():
        messages = topics[topic]
        assert len(messages) == len(recording) == ROWS
        if name in expected_types:
            assert messages[0].schema.name == expected_types[name]
        got = np.array([values(name, m) for m in messages])
        assert got.dtype.kind == array.dtype.kind or array.dtype.kind in "iu"
        np.testing.assert_array_equal(got, array)  # exact: no value rounded on the way
        # Each row's message is stamped with its row's time.
        stamps = [m.log_time_ns for m in messages]
        assert stamps == [round(float(t) * 1e9) for t in recording.time]
    with open(path, "rb") as stream:
        metadata = {m.name: m.metadata for m in mcap_reader.make_reader(stream).iter_metadata()}
    assert metadata["zelkor_recording"] == {
        "kind": recording.kind,
        "overwritten": str(recording.overwritten),
        "rows": str(ROWS),
    }


def test_npz_stays_the_default_and_an_empty_recording_saves_as_mcap(tmp_path: Path) -> None:
    recording = servo_recording()
    for name in ("run.npz", "run.mcap.npz"):  # only a name ending in .mcap is MCAP
        recording.save(tmp_path / name)
    assert {p.name for p in tmp_path.iterdir()} == {"run.npz", "run.mcap.npz"}
    loaded = zh.Recording.load(tmp_path / "run.mcap.npz")
    np.testing.assert_array_equal(loaded.position, recording.position)
    empty = zh.Recording({"time": np.zeros(0), "position": np.zeros((0, 3))}, kind="servo")
    empty.save(tmp_path / "empty.mcap")
    assert read_back(tmp_path / "empty.mcap") == {}
