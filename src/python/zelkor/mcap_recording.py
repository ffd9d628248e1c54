"""Recordings as MCAP with ROS 2 messages (Recording.save("run.mcap")): a topic per array, a
message per row, readable by the mcap ROS 2 reader and by the tools that read ROS 2 MCAP.

    /position                          geometry_msgs/msg/PointStamped
    /velocity, /force, ... (N, 3)      geometry_msgs/msg/Vector3Stamped
    /scene_force/0, /scene_force/1 ... geometry_msgs/msg/Vector3Stamped: a topic per arm of an
      (N, arms, 3) array
    /quaternion (N, 4: w, x, y, z)     geometry_msgs/msg/QuaternionStamped
    /time, /exchange_us, /energy, ...  std_msgs/msg/Float64
    /cycle, /device_id, ... (integers) std_msgs/msg/Int64
    /late, /failed, ... (flags)        std_msgs/msg/Bool

Each message's log time and stamp are its row's time (s since the recording's start, as
nanoseconds); /time keeps the row's time exactly. The recording's kind and overwritten count
are the file's metadata "zelkor_recording".
"""

# pyright: reportUnknownVariableType=false, reportUnknownMemberType=false, reportUnknownArgumentType=false
from __future__ import annotations

import os
from typing import Any, Callable, Dict, List, Tuple, Union

import numpy as np

from . import ros2_messages as msgs

_Path = Union[str, "os.PathLike[str]"]

METADATA = "zelkor_recording"
FRAME = "arbelon_base"


def _topic(name: str, array: Any) -> Tuple[str, Callable[[Dict[str, Any], Any], Any]]:
    """The message type of an array's rows, and how a row becomes one."""
    if array.ndim == 2 and array.shape[1] == 3:
        if name == "position":
            return "geometry_msgs/msg/PointStamped", lambda h, r: {
                "header": h,
                "point": {"x": float(r[0]), "y": float(r[1]), "z": float(r[2])},
            }
        return "geometry_msgs/msg/Vector3Stamped", lambda h, r: {
            "header": h,
            "vector": {"x": float(r[0]), "y": float(r[1]), "z": float(r[2])},
        }
    if array.ndim == 2 and array.shape[1] == 4:
        return "geometry_msgs/msg/QuaternionStamped", lambda h, r: {
            "header": h,
            "quaternion": {"w": float(r[0]), "x": float(r[1]), "y": float(r[2]), "z": float(r[3])},
        }
    if array.ndim != 1:
        raise ValueError(f"the array {name!r} of shape {array.shape} has no ROS 2 message")
    if array.dtype == np.bool_:
        return "std_msgs/msg/Bool", lambda h, r: {"data": bool(r)}
    if np.issubdtype(array.dtype, np.integer):
        return "std_msgs/msg/Int64", lambda h, r: {"data": int(r)}
    return "std_msgs/msg/Float64", lambda h, r: {"data": float(r)}


def save(recording: Any, path: _Path) -> None:
    """Writes `recording` (a zelkor Recording) to `path` as ROS 2-typed MCAP."""
    from mcap_ros2.writer import Writer

    times = np.asarray(recording.time, dtype=np.float64)
    nanoseconds = [max(0, round(float(t) * 1e9)) for t in times]
    columns: List[Tuple[str, Any, Any, Callable[[Dict[str, Any], Any], Any]]] = []
    with open(path, "wb") as out:
        writer: Any = Writer(out)
        schemas: Dict[str, Any] = {}
        for name in recording.names:
            array = getattr(recording, name)
            if array is None:
                continue
            array = np.asarray(array)
            # Each arm's part of an (N, arms, 3) array (a scene's force) on a topic of its own.
            if array.ndim == 3:
                parts = [(f"/{name}/{arm}", array[:, arm]) for arm in range(array.shape[1])]
            else:
                parts = [(f"/{name}", array)]
            for topic, rows in parts:
                type_name, make = _topic(name, rows)
                if type_name not in schemas:
                    schemas[type_name] = writer.register_msgdef(
                        type_name, msgs.full_text(type_name)
                    )
                columns.append((topic, rows, schemas[type_name], make))
        # Row by row, every topic's message of a row before the next row's: a reader that
        # takes messages in log time order gets the rows back whole.
        for row, log_time in enumerate(nanoseconds):
            header = {
                "stamp": {"sec": log_time // 1_000_000_000, "nanosec": log_time % 1_000_000_000},
                "frame_id": FRAME,
            }
            for topic, array, schema, make in columns:
                writer.write_message(
                    topic, schema, make(header, array[row]), log_time=log_time, sequence=row
                )
        writer.add_metadata(
            METADATA,
            {
                "kind": str(recording.kind),
                "overwritten": str(int(recording.overwritten)),
                "rows": str(len(times)),
            },
        )
        writer.finish()
