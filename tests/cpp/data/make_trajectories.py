"""Writes the .npz files the trajectory reader's tests read: python3 make_trajectories.py

Each holds the same three-sample path (0.283, 0, 0) -> (0.283, 0.01, 0) -> (0.273, 0.01, 0.005)
at 0, 0.5 and 1.5 s, written by numpy the way users write theirs, or spoilt in one way.
"""

from __future__ import annotations

import numpy as np

time = np.array([0.0, 0.5, 1.5])
position = np.array([[0.283, 0.0, 0.0], [0.283, 0.01, 0.0], [0.273, 0.01, 0.005]])

files = {
    "stored.npz": dict(time=time, position=position),
    # Other element types, byte order and memory order, times from a clock that was running.
    "mixed_types.npz": dict(
        time=(time + 5000).astype("<f4"),
        position=np.asfortranarray(position.astype(">f8")),
    ),
    "integer_time.npz": dict(time=np.array([3, 4, 5], dtype=">i8"), position=position),
    "unnamed.npz": None,  # numpy.savez(time, position): arr_0 and arr_1
    "compressed.npz": None,  # numpy.savez_compressed
    "wrong_shape.npz": dict(time=time, position=position[:, :2]),
    "complex_time.npz": dict(time=time.astype(complex), position=position),
    "repeated_time.npz": dict(time=np.array([0.0, 0.5, 0.5]), position=position),
    "nan_position.npz": dict(time=time, position=np.where(position == 0.01, np.nan, position)),
}

for name, arrays in files.items():
    if name == "unnamed.npz":
        np.savez(name, time, position)
    elif name == "compressed.npz":
        np.savez_compressed(name, time=time, position=position)
    else:
        assert arrays is not None
        np.savez(name, **arrays)
