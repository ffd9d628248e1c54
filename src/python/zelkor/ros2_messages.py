"""ROS 2 messages without a ROS 2 install: the definitions of the few standard messages this
package speaks, their CDR encoders and decoders (mcap-ros2-support's, made from the
definitions), and their type hashes (RIHS01, as ROS 2 computes them from the same
definitions: REP 2011), which rmw_zenoh puts in every key."""

# pyright: reportUnknownVariableType=false, reportUnknownMemberType=false
# (mcap_ros2's dynamic encoders are untyped)
from __future__ import annotations

import hashlib
import json
from typing import Any, Callable, Dict, List, Tuple

# The message definitions, as ROS 2 ships them (comments left out). A type of another package
# is written pkg/Type, as in .msg files.
DEFINITIONS: Dict[str, str] = {
    "builtin_interfaces/msg/Time": "int32 sec\nuint32 nanosec\n",
    "std_msgs/msg/Header": "builtin_interfaces/Time stamp\nstring frame_id\n",
    "std_msgs/msg/Float64": "float64 data\n",
    "std_msgs/msg/Int64": "int64 data\n",
    "std_msgs/msg/Bool": "bool data\n",
    "geometry_msgs/msg/Point": "float64 x\nfloat64 y\nfloat64 z\n",
    "geometry_msgs/msg/Vector3": "float64 x\nfloat64 y\nfloat64 z\n",
    "geometry_msgs/msg/Quaternion": "float64 x 0\nfloat64 y 0\nfloat64 z 0\nfloat64 w 1\n",
    "geometry_msgs/msg/PointStamped": "std_msgs/Header header\ngeometry_msgs/Point point\n",
    "geometry_msgs/msg/Vector3Stamped": "std_msgs/Header header\ngeometry_msgs/Vector3 vector\n",
    "geometry_msgs/msg/QuaternionStamped": (
        "std_msgs/Header header\ngeometry_msgs/Quaternion quaternion\n"
    ),
    "geometry_msgs/msg/Wrench": "geometry_msgs/Vector3 force\ngeometry_msgs/Vector3 torque\n",
    "geometry_msgs/msg/WrenchStamped": "std_msgs/Header header\ngeometry_msgs/Wrench wrench\n",
    "sensor_msgs/msg/JointState": (
        "std_msgs/Header header\nstring[] name\nfloat64[] position\nfloat64[] velocity\n"
        "float64[] effort\n"
    ),
}

# type_description_interfaces/msg/FieldType's numbers: a base type's, plus 48 for a fixed
# array, 96 for a bounded sequence, 144 for an unbounded one.
_TYPE_IDS: Dict[str, int] = {
    "nested": 1,
    "int8": 2,
    "uint8": 3,
    "int16": 4,
    "uint16": 5,
    "int32": 6,
    "uint32": 7,
    "int64": 8,
    "uint64": 9,
    "float32": 10,
    "float64": 11,
    "char": 13,
    "bool": 15,
    "byte": 16,
    "string": 17,
    "wstring": 18,
}

Field = Tuple[str, str, str]  # (name, base type, array suffix: "", "[]" or "[N]")


def fields_of(type_name: str, definitions: Dict[str, str] = DEFINITIONS) -> List[Field]:
    """The fields of a message: (name, base type as pkg/msg/Type or a primitive, suffix)."""
    package = type_name.split("/")[0]
    out: List[Field] = []
    for line in definitions[type_name].splitlines():
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        kind, name = line.split()[:2]
        if "=" in name:
            continue  # a constant, not a field
        suffix = kind[kind.index("[") :] if "[" in kind else ""
        base = kind[: len(kind) - len(suffix)]
        if base not in _TYPE_IDS:
            parts = base.split("/")
            base = f"{parts[0]}/msg/{parts[1]}" if len(parts) == 2 else f"{package}/msg/{base}"
        out.append((name, base, suffix))
    return out


def _references(type_name: str, definitions: Dict[str, str]) -> List[str]:
    """Every message type `type_name` refers to, directly or not, in order of first use."""
    seen: List[str] = []
    queue = [type_name]
    while queue:
        current = queue.pop(0)
        for _, base, _ in fields_of(current, definitions):
            if base not in _TYPE_IDS and base not in seen:
                seen.append(base)
                queue.append(base)
    return seen


def _description(type_name: str, definitions: Dict[str, str]) -> Dict[str, Any]:
    fields: List[Dict[str, Any]] = []
    for name, base, suffix in fields_of(type_name, definitions):
        nested = base not in _TYPE_IDS
        type_id = _TYPE_IDS["nested" if nested else base]
        capacity = 0
        if suffix == "[]":
            type_id += 144
        elif suffix:
            type_id += 48
            capacity = int(suffix[1:-1])
        fields.append(
            {
                "name": name,
                "type": {
                    "type_id": type_id,
                    "capacity": capacity,
                    "string_capacity": 0,
                    "nested_type_name": base if nested else "",
                },
            }
        )
    return {"type_name": type_name, "fields": fields}


def type_hash(type_name: str, definitions: Dict[str, str] = DEFINITIONS) -> str:
    """The RIHS01 hash of a message type: SHA-256 over its description and those of every
    type it refers to (sorted by name), written as JSON the way ROS 2 writes it."""
    description = {
        "type_description": _description(type_name, definitions),
        "referenced_type_descriptions": [
            _description(name, definitions) for name in sorted(_references(type_name, definitions))
        ],
    }
    text = json.dumps(description, ensure_ascii=True, separators=(", ", ": "), sort_keys=False)
    return "RIHS01_" + hashlib.sha256(text.encode("utf-8")).hexdigest()


def dds_type(type_name: str) -> str:
    """The type's name as rmw_zenoh writes it in keys: pkg::msg::dds_::Type_."""
    package, kind, name = type_name.split("/")
    return f"{package}::{kind}::dds_::{name}_"


def _short(type_name: str) -> str:
    package, _, name = type_name.split("/")
    return f"{package}/{name}"


def full_text(type_name: str) -> str:
    """The definition with every type it refers to, as ROS 2 concatenates them (what MCAP
    files carry as a schema)."""
    parts = [DEFINITIONS[type_name]]
    for name in _references(type_name, DEFINITIONS):
        parts.append("=" * 80 + f"\nMSG: {_short(name)}\n" + DEFINITIONS[name])
    return "".join(parts)


_encoders: Dict[str, Callable[[Any], bytes]] = {}
_decoders: Dict[str, Callable[[bytes], Any]] = {}


def encoder(type_name: str) -> Callable[[Any], bytes]:
    """CDR (little-endian, with its 4-byte header) of a message given as nested dicts."""
    if type_name not in _encoders:
        from mcap_ros2._dynamic import serialize_dynamic

        _encoders[type_name] = serialize_dynamic(type_name, full_text(type_name))[type_name]
    return _encoders[type_name]


def decoder(type_name: str) -> Callable[[bytes], Any]:
    """A message of CDR as an object with the fields as attributes."""
    if type_name not in _decoders:
        from mcap_ros2._dynamic import generate_dynamic

        _decoders[type_name] = generate_dynamic(type_name, full_text(type_name))[type_name]
    return _decoders[type_name]


def stamp(seconds: float) -> Dict[str, int]:
    """A builtin_interfaces/Time of seconds since the epoch (or since a recording's start)."""
    nanoseconds = round(seconds * 1e9)
    return {"sec": nanoseconds // 1_000_000_000, "nanosec": nanoseconds % 1_000_000_000}
