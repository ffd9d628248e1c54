"""An arm beyond one machine: served over Zenoh by `zelkor serve`, driven by its local model
from another process or machine (connect), in ROS 2 messages on rmw_zenoh's key layout
(`zelkor serve --ros2`), and coupled to another arm across a delayed network (teleop).

    import ZelkorHardwareAPI as zh

    with zh.remote.connect("lab/arm1", connect="tcp/arm-host:7447") as arm:
        arm.set_effects([zh.Wall((0, 0, 1), -0.02, 800.0)])  # refreshed until the block ends
        print(arm.state().position)

Needs the extra [remote]: pip install "ZelkorHardwareAPI[remote]" (eclipse-zenoh, mcap,
mcap-ros2-support).
"""

from __future__ import annotations

import importlib.util

if importlib.util.find_spec("zenoh") is None:  # pragma: no cover - depends on what is installed
    raise ImportError(
        "zh.remote needs Zenoh: pip install 'ZelkorHardwareAPI[remote]' (or eclipse-zenoh)"
    )

from typing import Sequence

from .client import RemoteError, RemoteServo, RemoteState, RemoteStats
from .server import Server
from .wire import DEFAULT_TTL

__all__ = [
    "connect",
    "RemoteServo",
    "RemoteState",
    "RemoteStats",
    "RemoteError",
    "Server",
    "DEFAULT_TTL",
]


def connect(
    key: str,
    connect: str | Sequence[str] | None = None,
    timeout: float = 5.0,
    *,
    listen: str | Sequence[str] | None = None,
) -> RemoteServo:
    """The servo served under `key`, reached through the Zenoh endpoint(s) `connect` (such as
    tcp/127.0.0.1:7447; or listen= for a server that connects to this side). TimeoutError
    naming the key when nobody serves it within `timeout` seconds."""
    return RemoteServo(key, connect, timeout, listen=listen)
