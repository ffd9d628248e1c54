"""A served arm in ROS 2 messages, on rmw_zenoh's key layout, so that ROS 2 nodes running
rmw_zenoh see its topics and take its messages:

    /KEY/position        geometry_msgs/msg/PointStamped    every cycle's end-effector position
    /KEY/force           geometry_msgs/msg/Vector3Stamped  every cycle's force sent
    /KEY/joint_states    sensor_msgs/msg/JointState        the end-effector's x, y, z as three
                                                           prismatic joints (position, velocity,
                                                           effort = force)
    /KEY/wrench_command  geometry_msgs/msg/WrenchStamped   taken in: its force becomes a
                                                           ConstantForce with a time to live

Each topic's data goes to <domain>/<topic>/<DDS type>/<type hash>, in CDR with its 4-byte
header, with rmw_zenoh's attachment (sequence number, source time, source gid); liveliness
tokens under @ros2_lv announce the node, its publishers and its subscriber to ROS 2's graph.
"""

# pyright: reportUnknownVariableType=false, reportUnknownMemberType=false, reportUnknownArgumentType=false
from __future__ import annotations

import hashlib
import time
from typing import Any, Callable, Dict, List, Sequence, Tuple

import zenoh
import zenoh.ext

from .. import ros2_messages as msgs

FRAME = "arbelon_base"
# Reliable, volatile, keep last 10, no deadline, lifespan or lease: rmw_zenoh's token of it.
QOS = "::,10:,:,:,,"

PUBLISHED: Tuple[Tuple[str, str], ...] = (
    ("position", "geometry_msgs/msg/PointStamped"),
    ("force", "geometry_msgs/msg/Vector3Stamped"),
    ("joint_states", "sensor_msgs/msg/JointState"),
)
COMMAND = ("wrench_command", "geometry_msgs/msg/WrenchStamped")


def topic_key(domain: int, topic: str, type_name: str, hash_: str | None = None) -> str:
    """The Zenoh key of a topic's data: <domain>/<topic without its leading />/<DDS type>/
    <type hash> (a wildcard where hash_ is "*")."""
    digest = msgs.type_hash(type_name) if hash_ is None else hash_
    return f"{domain}/{topic.lstrip('/')}/{msgs.dds_type(type_name)}/{digest}"


def _mangle(name: str) -> str:
    # In a token, a name's slashes become %, and an empty name is % alone.
    return name.replace("/", "%") or "%"


class Bridge:
    """Publishes a served arm's states as ROS 2 messages and takes its wrench commands
    (on_wrench(force) for each), on `session`, for as long as it lives."""

    def __init__(
        self,
        session: zenoh.Session,
        key: str,
        domain: int,
        on_wrench: Callable[[Tuple[float, float, float]], None],
    ) -> None:
        if not 0 <= domain <= 232:
            raise ValueError("a ROS 2 domain is from 0 to 232")
        self.key = key
        self.domain = domain
        self._on_wrench = on_wrench
        self.node = "zelkor_" + key.replace("/", "_")
        for chunk in key.split("/"):
            if (
                not chunk
                or not (chunk[0].isalpha() or chunk[0] == "_")
                or not all(c.isalnum() or c == "_" for c in chunk)
            ):
                raise ValueError(
                    f"--ros2: the key {key!r} must make ROS 2 names: letters, digits and _ "
                    "between slashes, not starting with a digit"
                )
        self.counters: Dict[str, int] = {"published": 0, "wrenches": 0, "wrenches_dropped": 0}
        zid = str(session.zid())
        prefix = f"@ros2_lv/{domain}/{zid}/0"
        names = f"%/%/{self.node}"  # no enclave, no namespace
        self._entities: List[Any] = [session.liveliness().declare_token(f"{prefix}/0/NN/{names}")]
        self._publishers: List[Tuple[Any, Callable[[Any], bytes], bytes]] = []
        for entity, (name, type_name) in enumerate(PUBLISHED, start=1):
            topic = f"/{key}/{name}"
            publisher = session.declare_publisher(topic_key(domain, topic, type_name))
            # A publisher's gid: 16 bytes of its own, the same every time it is made.
            gid = hashlib.sha256(f"{zid}/{entity}".encode()).digest()[:16]
            self._publishers.append((publisher, msgs.encoder(type_name), gid))
            self._entities += [
                publisher,
                session.liveliness().declare_token(
                    f"{prefix}/{entity}/MP/{names}/{_mangle(topic)}/"
                    f"{msgs.dds_type(type_name)}/{msgs.type_hash(type_name)}/{QOS}"
                ),
            ]
        name, type_name = COMMAND
        topic = f"/{key}/{name}"
        self._decode = msgs.decoder(type_name)
        # Any distribution's hash: the message is the same.
        self._entities += [
            session.declare_subscriber(topic_key(domain, topic, type_name, "*"), self._on_sample),
            session.liveliness().declare_token(
                f"{prefix}/{len(PUBLISHED) + 1}/MS/{names}/{_mangle(topic)}/"
                f"{msgs.dds_type(type_name)}/{msgs.type_hash(type_name)}/{QOS}"
            ),
        ]
        self._sequence = 0
        self._epoch: float | None = None

    def topics(self) -> List[str]:
        return [f"/{self.key}/{name}" for name, _ in (*PUBLISHED, COMMAND)]

    def publish(self, rows: Sequence[Sequence[float]]) -> None:
        """Publishes state rows (cycle, time, position, velocity, force, ...): each row's
        stamp is the wall clock's time of its cycle."""
        if not rows:
            return
        if self._epoch is None:
            self._epoch = time.time() - rows[-1][1]
        for row in rows:
            header = {"stamp": msgs.stamp(self._epoch + row[1]), "frame_id": FRAME}
            position, velocity, force = row[2:5], row[5:8], row[8:11]
            messages = (
                {"header": header, "point": dict(zip("xyz", position))},
                {"header": header, "vector": dict(zip("xyz", force))},
                {
                    "header": header,
                    "name": ["x", "y", "z"],
                    "position": list(position),
                    "velocity": list(velocity),
                    "effort": list(force),
                },
            )
            self._sequence += 1
            now = time.time_ns()
            for (publisher, encode, gid), message in zip(self._publishers, messages):
                attachment = zenoh.ext.z_serialize(
                    (zenoh.ext.Int64(self._sequence), zenoh.ext.Int64(now), gid)
                )
                publisher.put(encode(message), attachment=attachment)
            self.counters["published"] += 1

    def _on_sample(self, sample: zenoh.Sample) -> None:
        try:
            message = self._decode(sample.payload.to_bytes())
            force = message.wrench.force
            vector = (float(force.x), float(force.y), float(force.z))
        except Exception:  # whatever a malformed payload makes the decoder raise
            self.counters["wrenches_dropped"] += 1
            return
        self.counters["wrenches"] += 1
        self._on_wrench(vector)

    def close(self) -> None:
        for entity in reversed(self._entities):
            entity.undeclare()
        self._entities.clear()
