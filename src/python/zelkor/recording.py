"""Recordings: every cycle of a servo's run, or every status message of a handle's background
reception, as numpy arrays that save to .npz (and CSV) and load back."""

# pyright: reportUnknownVariableType=false, reportUnknownMemberType=false
# (numpy's stubs leave the shapes of arrays made from Any unknown)
from __future__ import annotations

import csv
import os
import stat
import tempfile
import warnings
import zipfile
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


# An array's expected form: its dtype and the shape of one row (() for one value a row).
_Form = Tuple[Any, Tuple[int, ...]]
# In a form's row: as many arms as the servo drove (an arm_part column), 1 to _MAX_ARMS.
_ANY_ARMS = -1
_MAX_ARMS = 4

_HANDLE_SCHEMA: Dict[str, _Form] = {
    "time": (np.float64, ()),
    "device_id": (np.int64, ()),
    "quaternion": (np.float64, (4,)),
    "error_flag": (np.int64, ()),
    "connection_sensor": (np.int64, ()),
    "user_data_length": (np.int64, ()),
}


def _schema(kind: str) -> Tuple[Dict[str, _Form], Tuple[str, ...]]:
    """The arrays a recording of `kind` holds, in order, with their forms, and the names of
    those that may be missing (a part that never took part)."""
    if kind == "handle":
        return dict(_HANDLE_SCHEMA), ()
    columns, flag_bits = _servo_table()
    forms: Dict[str, _Form] = {}
    optional: List[str] = []
    for name, _first, width, kind_of, _flag in columns:
        if kind_of == "flags":
            continue
        dtype = np.int64 if kind_of == "count" else np.float64
        if kind_of == "arm_part":  # (N, arms, 3), of 1 to as many arms as a servo drives
            forms[name] = (dtype, (_ANY_ARMS, 3))
        else:
            forms[name] = (dtype, () if width == 1 else (width,))
        if kind_of in ("part", "arm_part"):
            optional.append(name)
    parts = {flag for *_, kind_of, flag in columns if kind_of in ("part", "arm_part")}
    for name, bit in flag_bits.items():
        if bit not in parts:
            forms[name] = (np.bool_, ())
    return forms, tuple(optional)


def _arms_in(rows: Any) -> int:
    """How many arms streamed rows are of: a file of rows does not say, so up to the last arm
    whose scene force is not zero in some row (an arm the servo did not drive has zero there
    throughout), one at least."""
    columns = _servo_table()[0]
    for _name, first, width, kind, _flag in columns:
        if kind == "arm_part":
            parts = np.asarray(rows)[:, first : first + width].reshape(len(rows), -1, 3)
            used = np.flatnonzero((parts != 0).any(axis=(0, 2)))
            return int(used[-1]) + 1 if len(used) else 1
    return 1


def _layout() -> str:
    """The stored row's columns as text ("time:1,cycle:1,position:3,..."): a file of rows says
    which layout it was written in."""
    return ",".join(f"{name}:{width}" for name, _first, width, *_ in _servo_table()[0])


def _dtype_text(dtype: Any) -> str:
    return str(np.dtype(dtype))


def _shape_text(shape: Tuple[int, ...]) -> str:
    return "(N" + "".join(f", {'arms' if n == _ANY_ARMS else n}" for n in shape) + ")"


def _fits(shape: Tuple[int, ...], row: Tuple[int, ...]) -> bool:
    """Whether an array's row `shape` is `row`, an arm count in it 1 to 4."""
    return len(shape) == len(row) and all(
        s == r or (r == _ANY_ARMS and 1 <= s <= _MAX_ARMS) for s, r in zip(shape, row)
    )


def _checked(path: Any, name: str, array: Any, form: _Form, length: int | None) -> Any:
    """`array` in its native byte order once its dtype and shape are those of `form` (and its
    length `length`, when given); ValueError naming it otherwise."""
    dtype, row = form
    want = np.dtype(dtype)
    if array.dtype.kind != want.kind or array.dtype.itemsize != want.itemsize:
        raise ValueError(
            f"{path}: array {name!r} is {_dtype_text(array.dtype)}, a recording's is "
            f"{_dtype_text(want)}"
        )
    if array.ndim != 1 + len(row) or not _fits(tuple(array.shape[1:]), row):
        raise ValueError(
            f"{path}: array {name!r} has shape {tuple(array.shape)}, a recording's is "
            f"{_shape_text(row)}"
        )
    if length is not None and len(array) != length:
        raise ValueError(
            f"{path}: array {name!r} has {len(array)} rows where 'time' has {length}: "
            "a recording's arrays have one length"
        )
    return array.astype(want, copy=False)


def _scalar(path: Any, name: str, array: Any, kinds: str) -> Any:
    if array.ndim != 0 or array.dtype.kind not in kinds:
        raise ValueError(
            f"{path}: array {name!r} must be a single "
            f"{'text' if kinds == 'U' else 'whole number'}, not {_dtype_text(array.dtype)} of "
            f"shape {tuple(array.shape)}"
        )
    return array[()]


def _read_members(path: Any) -> Dict[str, Any]:
    """Every array of the .npz at `path`, by name; ValueError naming one numpy cannot read."""
    arrays: Dict[str, Any] = {}
    with open(path, "rb") as file:
        try:
            data = np.load(file, allow_pickle=False)
        except zipfile.BadZipFile as error:
            raise ValueError(
                f"{path}: not a whole .npz archive ({error}); a file a servo streams to "
                "(record_to) is whole once its loop has ended"
            ) from None
        if not hasattr(data, "files"):
            raise ValueError(f"{path}: a single array, not an .npz archive of a recording")
        for name in data.files:
            try:
                arrays[name] = data[name]
            except ValueError as error:
                raise ValueError(f"{path}: array {name!r} cannot be read: {error}") from None
    return arrays


def _refuse_unwritable(path: str) -> None:
    """OSError (naming `path` and why) for a path a recording cannot be saved to."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        folder = os.path.dirname(path) or "."
        if not os.path.isdir(folder):
            raise FileNotFoundError(
                2, f"cannot save a recording there: no folder {folder!r}", path
            ) from None
        return
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(21, "cannot save a recording there: it is a folder", path)
    if not stat.S_ISREG(mode):
        raise OSError(
            f"cannot save a recording to {path!r}: it is a device, a pipe or a socket, not "
            "a regular file"
        )


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
                took_part = (flags & flag) != 0
                if took_part.any():
                    # The rows whose flags lack it hold nothing of that part.
                    values = values.copy()
                    values[~took_part] = 0.0
                    arrays[name] = values
                else:
                    arrays[name] = None
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
        """Writes the arrays to `path`, exactly that path (no suffix is added), as .npz
        (numpy.savez, not compressed, so that the simulator's replay reads it too); a path
        ending in .mcap gets MCAP with ROS 2 messages instead (see _save_mcap).

        The file is written whole beside its final place and then put there, so a failure
        (a full disk, a folder that cannot be written) leaves no partial file and an
        existing file as it was. OSError naming the path and the reason for a path that
        cannot be written: a missing folder, a folder itself, a device or a pipe."""
        given: str = os.fspath(path)
        target: str = os.path.realpath(given)
        _refuse_unwritable(target)
        present = {k: v for k, v in self._arrays.items() if v is not None}
        folder = os.path.dirname(target)
        fd, temporary = tempfile.mkstemp(prefix=".recording-", suffix=".part", dir=folder)
        try:
            with os.fdopen(fd, "wb") as out:
                if given.lower().endswith(".mcap"):
                    out.close()
                    _save_mcap(self, temporary)
                else:
                    np.savez(
                        out,
                        overwritten=np.int64(self.overwritten),
                        kind=np.str_(self.kind),
                        **present,
                    )
                    out.flush()
                    os.fsync(out.fileno())
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temporary, 0o666 & ~umask)
            os.replace(temporary, target)
        except OSError as error:
            if os.path.exists(temporary):
                os.unlink(temporary)
            raise OSError(
                error.errno, f"cannot save a recording there: {error.strerror}", given
            ) from error
        except BaseException:
            if os.path.exists(temporary):
                os.unlink(temporary)
            raise

    @classmethod
    def load(cls, path: _Path) -> Recording:
        """Reads a recording that save() wrote, or that a servo made with record_to streamed.

        Every array is checked against the recording's kind: its name, dtype, shape and
        length. ValueError naming the array and what is wrong with it; a file that is no
        .npz archive raises as numpy.load does."""
        arrays = _read_members(path)
        kind = str(_scalar(path, "kind", arrays.pop("kind"), "U")) if "kind" in arrays else "servo"
        if kind not in ("servo", "handle"):
            raise ValueError(f"{path}: array 'kind' is {kind!r}, not 'servo' or 'handle'")
        overwritten = 0
        if "overwritten" in arrays:
            overwritten = int(_scalar(path, "overwritten", arrays.pop("overwritten"), "iu"))
            if overwritten < 0:
                raise ValueError(f"{path}: array 'overwritten' is {overwritten}, below 0")
        if kind == "servo" and "rows" in arrays:
            return cls._from_streamed(path, arrays, overwritten)
        forms, optional = _schema(kind)
        unknown = [name for name in arrays if name not in forms]
        if unknown:
            raise ValueError(
                f"{path}: array {unknown[0]!r} is no part of a {kind} recording (its arrays: "
                f"{', '.join(forms)})"
            )
        missing = [name for name in forms if name not in arrays and name not in optional]
        if missing:
            raise ValueError(f"{path}: array {missing[0]!r} is missing from this {kind} recording")
        time = _checked(path, "time", arrays["time"], forms["time"], None)
        checked: Dict[str, Any] = {}
        for name, form in forms.items():
            array = arrays.get(name)
            checked[name] = None if array is None else _checked(path, name, array, form, len(time))
        return cls(checked, overwritten, kind)

    @classmethod
    def _from_streamed(cls, path: Any, arrays: Dict[str, Any], overwritten: int) -> Recording:
        """A servo's rows as record_to streams them: `rows` of shape (N, width) and `layout`,
        the columns they were written in."""
        layout = (
            str(_scalar(path, "layout", arrays.pop("layout"), "U")) if "layout" in arrays else ""
        )
        if layout != _layout():
            raise ValueError(
                f"{path}: array 'layout' is {layout!r}; this version's rows are {_layout()!r}"
            )
        lost = 0
        if "lost" in arrays:
            lost = int(_scalar(path, "lost", arrays.pop("lost"), "iu"))
        unknown = [name for name in arrays if name != "rows"]
        if unknown:
            raise ValueError(f"{path}: array {unknown[0]!r} is no part of a streamed recording")
        if lost > 0:
            warnings.warn(
                f"{path}: {lost} rows were lost while it was written (the disk fell behind the "
                "loop): the gaps in `cycle` show where",
                stacklevel=3,
            )
        width = sum(column[2] for column in _servo_table()[0])
        rows = _checked(path, "rows", arrays["rows"], (np.float64, (width,)), None)
        return cls.from_servo_rows(rows, overwritten, _arms_in(rows))

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
