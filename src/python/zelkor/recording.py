"""Recordings: every cycle of a servo's run, or every status message of a handle's background
reception, as numpy arrays that save to .npz (and CSV) and load back."""

# pyright: reportUnknownVariableType=false, reportUnknownMemberType=false
# (numpy's stubs leave the shapes of arrays made from Any unknown)
from __future__ import annotations

import csv
import os
from typing import Any, Dict, Iterator, List, Tuple, Union

import numpy as np

_Path = Union[str, "os.PathLike[str]"]


def _servo_table() -> Tuple[Tuple[Tuple[str, int, int, str, int], ...], Dict[str, int]]:
    """The columns of a servo recording's rows and its flags, as the library declares them:
    (name, first column, width, kind, flag) per column, and the bit of each flag."""
    import ZelkorHardwareAPI

    columns = getattr(ZelkorHardwareAPI, "_servo_columns")  # noqa: B009
    flags = dict(getattr(ZelkorHardwareAPI, "_servo_flags"))  # noqa: B009
    return columns, flags


class Recording:
    """Named numpy arrays of one length, a row per cycle (a servo's) or per message (a
    handle's), and `overwritten`: the rows before the first one that the ring no longer held.

    A servo's has `time` (s since start) and `cycle` of shape (N,); `position`, `velocity` and
    `force` (the force sent) of shape (N, 3); `effects_force` and `law_force` (the parts that made
    it, before scaling to max_force) of shape (N, 3), or None when that part never took part;
    `exchange_us` of shape (N,); the booleans `late`, `failed`, `missed` and `stale_dropped` of
    shape (N,); the passivity controller's `energy` (J) and `damping_added` (N s/m), of
    shape (N,); and `scene_force`, each arm's part from a scene's coupling, of shape
    (N, arms, 3), or None without a scene. A handle's has `time`, `device_id`, `quaternion`
    (N, 4), `error_flag`, `connection_sensor` and `user_data_length`.
    """

    def __init__(self, arrays: Dict[str, Any], overwritten: int = 0, kind: str = "servo"):
        self._arrays: Dict[str, Any] = {
            k: (None if v is None else np.asarray(v)) for k, v in arrays.items()
        }
        self.overwritten = int(overwritten)
        self.kind = kind

    @classmethod
    def from_servo_rows(cls, rows: Any, overwritten: int, arms: int = 1) -> Recording:
        """The recording of a servo of `arms` arms from its stored rows."""
        columns, flag_bits = _servo_table()
        width = sum(column[2] for column in columns)
        rows = np.asarray(rows, dtype=np.float64).reshape(-1, width)
        flags = next(rows[:, first] for _name, first, _, kind, _ in columns if kind == "flags")
        flags = flags.astype(np.int64)
        arrays: Dict[str, Any] = {}
        for name, first, size, kind, flag in columns:
            values = rows[:, first] if size == 1 else rows[:, first : first + size]
            if kind == "flags":
                continue
            if kind == "count":
                arrays[name] = values.astype(np.int64)
            elif kind in ("part", "arm_part"):  # None when that part never took part
                if kind == "arm_part":  # x, y, z of each arm in turn
                    values = values.reshape(len(rows), size // 3, 3)[:, :arms]
                arrays[name] = values.copy() if (flags & flag).any() else None
            else:
                arrays[name] = values.copy()
        parts = {flag for *_, kind, flag in columns if kind in ("part", "arm_part")}
        for name, bit in flag_bits.items():
            if bit not in parts:
                arrays[name] = (flags & bit) != 0
        return cls(arrays, overwritten, "servo")

    @classmethod
    def from_handle_rows(cls, rows: Any, overwritten: int) -> Recording:
        rows = np.asarray(rows, dtype=np.float64).reshape(-1, 9)
        arrays = {
            "time": rows[:, 0].copy(),
            "device_id": rows[:, 1].astype(np.int64),
            "quaternion": rows[:, 2:6].copy(),
            "error_flag": rows[:, 6].astype(np.int64),
            "connection_sensor": rows[:, 7].astype(np.int64),
            "user_data_length": rows[:, 8].astype(np.int64),
        }
        return cls(arrays, overwritten, "handle")

    def __getattr__(self, name: str) -> Any:
        arrays = self.__dict__.get("_arrays", {})
        if name in arrays:
            return arrays[name]
        raise AttributeError(f"a {self.__dict__.get('kind', '')} recording has no {name!r}")

    @property
    def names(self) -> Tuple[str, ...]:
        """The arrays' names, in order (those that are None included)."""
        return tuple(self._arrays)

    def __len__(self) -> int:
        return len(self._arrays["time"])

    def __iter__(self) -> Iterator[str]:
        return iter(self._arrays)

    def __repr__(self) -> str:
        duration = float(self._arrays["time"][-1] - self._arrays["time"][0]) if len(self) else 0.0
        return (
            f"<Recording of a {self.kind}: {len(self)} rows over {duration:.3f} s, "
            f"{self.overwritten} overwritten>"
        )

    def save(self, path: _Path) -> None:
        """Writes the arrays to `path` as .npz (numpy.savez, not compressed, so that the
        simulator's replay reads it too); a path ending in .mcap gets MCAP with ROS 2
        messages instead (see _save_mcap)."""
        if os.fspath(path).lower().endswith(".mcap"):
            _save_mcap(self, path)
            return
        present = {k: v for k, v in self._arrays.items() if v is not None}
        np.savez(path, overwritten=np.int64(self.overwritten), kind=np.str_(self.kind), **present)

    @classmethod
    def load(cls, path: _Path) -> Recording:
        """Reads a recording that save() wrote."""
        with np.load(path, allow_pickle=False) as data:
            kind = str(data["kind"]) if "kind" in data.files else "servo"
            overwritten = int(data["overwritten"]) if "overwritten" in data.files else 0
            arrays: Dict[str, Any] = {
                k: data[k] for k in data.files if k not in ("kind", "overwritten")
            }
        if kind == "servo":
            # In the order a servo's recording has them, a part that never took part as None.
            columns, flags = _servo_table()
            order = [name for name, *_, column_kind, _ in columns if column_kind != "flags"]
            parts = {name for name, *_, column_kind, _ in columns if "part" in column_kind}
            order += list(flags)
            known = {name: arrays.get(name) for name in order if name in arrays or name in parts}
            arrays = {**known, **{k: v for k, v in arrays.items() if k not in known}}
        return cls(arrays, overwritten, kind)

    def columns(self) -> Tuple[List[str], Any]:
        """The recording as one table: column names (position_x, ...) and an (N, k) array."""
        names: List[str] = []
        parts: List[Any] = []
        for name, array in self._arrays.items():
            if array is None:
                continue
            if array.ndim == 1:
                names.append(name)
                parts.append(array.astype(np.float64)[:, None])
            elif array.ndim == 3:  # (N, arms, 3): x, y, z of each arm
                names += [f"{name}_{arm}_{axis}" for arm in range(array.shape[1]) for axis in "xyz"]
                parts.append(array.reshape(len(array), -1).astype(np.float64))
            else:
                axes = "xyz" if array.shape[1] == 3 else "wxyz"
                names += [f"{name}_{axis}" for axis in axes[: array.shape[1]]]
                parts.append(array.astype(np.float64))
        return names, np.hstack(parts) if parts else np.zeros((0, 0))

    def to_csv(self, path: _Path) -> None:
        """Writes the recording as CSV for spreadsheets: a header line of column names
        (time, cycle, position_x, position_y, position_z, ...), then a line per row."""
        names, table = self.columns()
        with open(path, "w", newline="") as out:
            writer = csv.writer(out)
            writer.writerow(names)
            for row in table:
                writer.writerow([repr(float(x)) for x in row])


def _save_mcap(recording: Recording, path: _Path) -> None:
    """Writes a recording as MCAP with ROS 2 messages: a topic per array, a message per row
    (zelkor.mcap_recording; needs the extra [remote], which brings mcap and its ROS 2 support)."""
    try:
        from zelkor import mcap_recording
    except ImportError as error:  # pragma: no cover - depends on what is installed
        raise ImportError(
            "saving as .mcap needs mcap and mcap-ros2-support: pip install "
            "'ZelkorHardwareAPI[remote]'"
        ) from error
    mcap_recording.save(recording, path)
