"""What zh.MujocoScene needs of MuJoCo: the engine's functions in the library the `mujoco`
package loaded, and where a scene's arrays are in the engine's memory, so the servo's thread
steps the scene with the same engine, without the interpreter and without a header or a link of
its own. MuJoCo is imported only here, and only when a scene is made (pip install
ZelkorHardwareAPI[mujoco])."""

from __future__ import annotations

import ctypes
import glob
import os
import sys
from typing import Any, Dict, List, Sequence, Tuple

# The oldest release whose Python objects give their addresses and whose state functions take
# a signature, as the servo's thread needs.
MINIMUM = (3, 1)

_library: ctypes.CDLL | None = None


def _mujoco_of(model: Any) -> Any:
    """The mujoco module, when `model` is one of its MjModel; TypeError otherwise."""
    refused = f"MujocoScene(): model must be a mujoco.MjModel, not {type(model).__name__}"
    try:
        import mujoco
    except ImportError:
        raise TypeError(f"{refused} (pip install 'ZelkorHardwareAPI[mujoco]')") from None
    if not isinstance(model, mujoco.MjModel):
        raise TypeError(refused)
    version = tuple(int(part) for part in mujoco.__version__.split(".")[:2] if part.isdigit())
    if version < MINIMUM or not hasattr(model, "_address"):
        raise ImportError(
            f"MujocoScene needs mujoco {MINIMUM[0]}.{MINIMUM[1]} or later, not {mujoco.__version__}"
        )
    return mujoco


def _loaded_library(mujoco: Any) -> str:
    """The path of the engine's library that `mujoco` loaded."""
    if os.path.exists("/proc/self/maps"):
        with open("/proc/self/maps") as maps:
            for line in maps:
                path = line.split()[-1]
                if os.path.basename(path).startswith("libmujoco.so"):
                    return path
    folder = os.path.dirname(mujoco.__file__)
    pattern = {"win32": "mujoco*.dll", "darwin": "libmujoco*.dylib"}.get(
        sys.platform, "libmujoco.so*"
    )
    found = sorted(glob.glob(os.path.join(folder, pattern)))
    if not found:
        raise ImportError(f"the mujoco package in {folder} has no engine library")
    return found[0]


def _engine(mujoco: Any) -> ctypes.CDLL:
    global _library
    if _library is None:
        _library = ctypes.CDLL(_loaded_library(mujoco))
    return _library


def _address(function: Any) -> int:
    return int(ctypes.cast(function, ctypes.c_void_p).value or 0)


def _array_address(array: Any) -> int:
    """The address of `array`, which must be a view into the engine's memory: a copy would
    leave the servo's thread working on something the scene never sees."""
    if array.flags.owndata:
        raise RuntimeError("this mujoco gives copies of its arrays, not views into the engine's")
    return int(array.ctypes.data)


def _tool(mujoco: Any, model: Any, name: Any) -> Tuple[int, int, int]:
    """(body, its free joint's first qpos, its first dof) of the body called `name`."""
    if not isinstance(name, str):
        raise TypeError(f"MujocoScene(): tools are body names, not {type(name).__name__}")
    body = mujoco.mj_name2id(model, mujoco.mjtObj.mjOBJ_BODY, name)
    if body < 0:
        raise ValueError(f"MujocoScene(): the model has no body {name!r}")
    first, count = int(model.body_jntadr[body]), int(model.body_jntnum[body])
    free = [
        j for j in range(first, first + count) if model.jnt_type[j] == mujoco.mjtJoint.mjJNT_FREE
    ]
    if not free:
        raise ValueError(
            f"MujocoScene(): body {name!r} has no free joint: a tool moves freely, held only by "
            "its coupling"
        )
    return body, int(model.jnt_qposadr[free[0]]), int(model.jnt_dofadr[free[0]])


def bind(model: Any, tools: Any) -> Dict[str, Any]:
    """Everything the scene's C++ side needs: a fresh MjData for the scene, the engine's
    functions' and the arrays' addresses, each tool's rows, and what a copy of the state
    holds. TypeError for a model that is not an MjModel or tools that are not names,
    ValueError for a body the model lacks or one without a free joint."""
    mujoco = _mujoco_of(model)
    if isinstance(tools, (str, bytes)) or not hasattr(tools, "__iter__"):
        raise TypeError(
            f"MujocoScene(): tools must be a list of body names, not {type(tools).__name__}"
        )
    names: List[str] = list(tools)
    rows = [_tool(mujoco, model, name) for name in names]
    data = mujoco.MjData(model)
    library = _engine(mujoco)
    state = mujoco.mjtState
    signature = int(
        state.mjSTATE_FULLPHYSICS
        | state.mjSTATE_MOCAP_POS
        | state.mjSTATE_MOCAP_QUAT
        | state.mjSTATE_EQ_ACTIVE
    )
    counters = data.warning.number
    bad = [
        mujoco.mjtWarning.mjWARN_BADQPOS,
        mujoco.mjtWarning.mjWARN_BADQVEL,
        mujoco.mjtWarning.mjWARN_BADQACC,
    ]
    return {
        "names": tuple(names),
        "data": data,
        "library": library,
        "step": _address(library.mj_step),
        "get_state": _address(library.mj_getState),
        "model_address": int(model._address),
        "data_address": int(data._address),
        "signature": signature,
        "state_size": int(mujoco.mj_stateSize(model, signature)),
        "qpos_start": int(mujoco.mj_stateSize(model, state.mjSTATE_TIME)),
        "nq": int(model.nq),
        "timestep": float(model.opt.timestep),
        "xfrc_applied": _array_address(data.xfrc_applied),
        "qpos": _array_address(data.qpos),
        "qvel": _array_address(data.qvel),
        "bad_state_counters": [
            _array_address(counters) + int(i) * counters.strides[0] for i in bad
        ],
        "tools": rows,
    }


def copy_data(model: Any, state: Sequence[float], signature: int) -> Any:
    """A new MjData of `model` in `state` (as mj_getState gave it with `signature`), with
    everything that follows from it computed (mj_forward), ready to render."""
    import mujoco
    import numpy as np

    data = mujoco.MjData(model)
    mujoco.mj_setState(model, data, np.asarray(state, dtype=np.float64), signature)
    mujoco.mj_forward(model, data)
    return data


def timestep(model: Any) -> float:
    """The model's timestep now (it may have changed since the scene was made)."""
    return float(model.opt.timestep)
