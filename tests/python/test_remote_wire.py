"""What crosses the wire: every effect type remade from its parameters alone, hostile or broken
messages refused before anything is made of them, and the ROS 2 messages' type hashes and
CDR checked against ROS 2's own hashes and an independent decoder (rosbags)."""

# pyright: reportUnknownMemberType=false, reportUnknownVariableType=false, reportUnknownArgumentType=false
from __future__ import annotations

import json
from typing import Any, Dict, List

import pytest

pytest.importorskip("zenoh")

import ZelkorHardwareAPI as zh  # noqa: E402
from zelkor import ros2_messages as msgs  # noqa: E402
from zelkor.remote import wire  # noqa: E402

# One of each effect type, with every parameter away from its default.
EFFECTS: List[Any] = [
    zh.Wall((0.0, 0.6, 0.8), -0.01, 800.0, 2.0),
    zh.Spring((0.28, 0.01, -0.02), 150.0, 1.5),
    zh.Damper(3.0),
    zh.ConstantForce((0.1, -0.2, 0.3)),
    zh.Sphere((0.28, 0.0, 0.0), 0.02, 500.0, 1.0, True),
    zh.Box((0.28, 0.0, 0.0), (0.01, 0.02, 0.03), 400.0, 0.5, True),
    zh.ViscousRegion((0.28, 0.0, 0.0), 4.0, radius=0.05),
    zh.ViscousRegion((0.28, 0.0, 0.0), 4.0, half_extents=(0.01, 0.02, 0.03)),
    zh.Guide((0.25, 0.0, 0.0), (0.3, 0.01, 0.0), 300.0, 2.0),
    zh.Vibration((0.0, 0.0, 1.0), 0.5, 120.0),
    zh.Detents((1.0, 0.0, 0.0), 0.005, 200.0, (0.28, 0.0, 0.0)),
    zh.Friction((0.0, 0.0, 1.0), -0.01, 900.0, 0.4, 1.0),
]


def test_every_effect_type_crosses_by_its_parameters() -> None:
    assert {type(e) for e in EFFECTS} == set(zh.effect_types), "a type without a case here"
    sent = wire.encode({"op": "effects", "effects": wire.effects_to_list(EFFECTS)})
    received = wire.effects_from_list(wire.decode(sent)["effects"])
    for before, after in zip(EFFECTS, received):
        assert type(after) is type(before)
        for name in type(before).__match_args__:
            assert getattr(after, name) == getattr(before, name), (before, name)
        # The same force everywhere, as far as the effect's own state allows.
        for point in ((0.28, 0.0, 0.0), (0.285, 0.004, -0.006)):
            assert after.force_at(point, (0.01, 0.0, 0.0), 0.01) == before.force_at(
                point, (0.01, 0.0, 0.0), 0.01
            )
    with pytest.raises(TypeError, match="not an effect"):
        wire.effect_to_dict(zh.Coupling(0, 1, 100.0))


def _damper(**extra: Any) -> Dict[str, Any]:
    return {"type": "Damper", "damping": 1.0, **extra}


@pytest.mark.parametrize(
    "effect,says",
    [
        ({"type": "eval", "source": "1"}, "unknown effect type"),
        ({"type": ["Damper"]}, "unknown effect type"),
        ({"type": "Recording"}, "unknown effect type"),  # a class of the module, not an effect
        (_damper(__init__=1.0), "no parameter"),
        (_damper(force_at=1.0), "no parameter"),
        ({"type": "Damper", "damping": "1"}, "must be a number"),
        ({"type": "Damper", "damping": {"a": 1}}, "must be a number"),
        ({"type": "Damper", "damping": 1e400}, "finite"),
        ({"type": "Damper", "damping": -1.0}, "Damper:"),  # the constructor's own refusal
        ({"type": "Damper"}, "Damper:"),
        ({"type": "ConstantForce", "force": [1, 2, 3, 4]}, "3 numbers"),
        ({"type": "ConstantForce", "force": [1, 2, True]}, "must be a number, not bool"),
        ({"type": "ConstantForce", "force": [1, 2, None]}, "must be a number"),
        ({"type": "ViscousRegion", "centre": [0, 0, 0], "damping": 1.0}, "ViscousRegion:"),
        ("Damper", "must be an object"),
    ],
)
def test_a_hostile_or_broken_effect_is_refused(effect: Any, says: str) -> None:
    with pytest.raises(wire.BadMessage, match=says):
        wire.effects_from_list([effect])


@pytest.mark.parametrize(
    "payload,says",
    [
        (b"", "not JSON"),
        (b"\xff\xfe", "not JSON"),
        (b'{"v": 1, "x": Infinity}', "not JSON"),
        (b"[" * 50000 + b"]" * 50000, "a message of"),
        (b"[" * 30000 + b"]" * 30000, "not JSON"),  # nested past the parser's depth
        (b'"v"', "an object"),
        (b'{"op": "claim"}', "version"),
    ],
)
def test_a_message_that_is_not_ours_is_refused(payload: bytes, says: str) -> None:
    with pytest.raises(wire.BadMessage, match=says):
        wire.decode(payload)


def test_limits_and_states() -> None:
    too_many = [_damper()] * (wire.MAX_EFFECTS + 1)
    with pytest.raises(wire.BadMessage, match="at most"):
        wire.effects_from_list(too_many)
    with pytest.raises(wire.BadMessage, match="at most"):
        wire.params_from_list([0.0] * (wire.MAX_PARAMS + 1))
    for ttl in (0, -1, 3601, float("nan"), "1", True):
        with pytest.raises(wire.BadMessage):
            wire.ttl_of(ttl)
    couplings = wire.couplings_from_list([{"a": 0, "b": 1, "stiffness": 100.0, "damping": 1.0}])
    assert (couplings[0].a, couplings[0].b, couplings[0].stiffness) == (0, 1, 100.0)
    for bad in (
        {"a": 0, "b": 1, "stiffness": 1.0},
        {"a": True, "b": 1, "stiffness": 1, "damping": 0},
    ):
        with pytest.raises(wire.BadMessage):
            wire.couplings_from_list([bad])
    row = [7, 0.007, 0.28, 0.0, 0.0, 0.1, 0.0, 0.0, 0.0, 0.0, 1.0, -0.001, 2.0]
    other = [1, *row]
    states, others = wire.decode_states(wire.encode_states([row], [other]))
    assert states[0] == wire.State(
        7, 0.007, (0.28, 0.0, 0.0), (0.1, 0.0, 0.0), (0.0, 0.0, 1.0), -0.001, 2.0
    )
    assert others == {1: states[0]}
    for rows in ([row[:-1]], [[*row[:-1], "x"]], "rows"):
        with pytest.raises(wire.BadMessage):
            wire.decode_states(json.dumps({"v": 1, "rows": rows}).encode())
    with pytest.raises(wire.BadMessage, match="from 1 to 15"):
        wire.decode_states(wire.encode_states([row], [[0, *row]]))


# ROS 2's own hashes of three types (what rmw_zenoh puts in their keys in the current
# distributions): a plain one, a nested one, and one with a Header and its Time.
KNOWN = {
    "std_msgs/msg/String": (
        "string data\n",
        "RIHS01_df668c740482bbd48fb39d76a70dfd4bd59db1288021743503259e948f6b1a18",
    ),
    "geometry_msgs/msg/Twist": (
        "Vector3 linear\nVector3 angular\n",
        "RIHS01_9c45bf16fe0983d80e3cfe750d6835843d265a9a6c46bd2e609fcddde6fb8d2a",
    ),
    "geometry_msgs/msg/TwistStamped": (
        "std_msgs/Header header\nTwist twist\n",
        "RIHS01_5f0fcd4f81d5d06ad9b4c4c63e3ea51b82d6ae4d0558f1d475229b1121db6f64",
    ),
}


def test_type_hashes_are_ros2s() -> None:
    definitions = dict(msgs.DEFINITIONS)
    definitions.update({name: text for name, (text, _) in KNOWN.items()})
    for name, (_, expected) in KNOWN.items():
        assert msgs.type_hash(name, definitions) == expected
    assert msgs.dds_type("sensor_msgs/msg/JointState") == "sensor_msgs::msg::dds_::JointState_"


SAMPLES: Dict[str, Dict[str, Any]] = {
    "geometry_msgs/msg/PointStamped": {
        "header": {"stamp": msgs.stamp(1712.000000125), "frame_id": "arbelon_base"},
        "point": {"x": 0.28, "y": -1e-300, "z": 3.5},
    },
    "geometry_msgs/msg/WrenchStamped": {
        "header": {"stamp": {"sec": 3, "nanosec": 999999999}, "frame_id": ""},
        "wrench": {
            "force": {"x": 1.0, "y": 2.0, "z": 3.0},
            "torque": {"x": 4.0, "y": 5.0, "z": 6.0},
        },
    },
    "sensor_msgs/msg/JointState": {
        "header": {"stamp": {"sec": 0, "nanosec": 1}, "frame_id": "a"},
        "name": ["x", "y", "z"],
        "position": [0.1, 0.2, 0.3],
        "velocity": [],
        "effort": [1.0, -1.0, 0.5],
    },
}


@pytest.mark.parametrize("type_name", sorted(SAMPLES))
def test_cdr_decodes_with_rosbags(type_name: str) -> None:
    typesys = pytest.importorskip("rosbags.typesys")
    store = typesys.get_typestore(typesys.Stores.ROS2_JAZZY)
    payload = msgs.encoder(type_name)(SAMPLES[type_name])
    assert payload[:4] == b"\x00\x01\x00\x00"  # CDR, little-endian
    decoded = store.deserialize_cdr(payload, type_name)

    def same(value: Any, expected: Any) -> None:
        if isinstance(expected, dict):
            for key, item in expected.items():
                same(getattr(value, key), item)
        elif isinstance(expected, list):
            assert list(value) == expected
        else:
            assert value == expected

    same(decoded, SAMPLES[type_name])
    # And back: what rosbags writes, this side reads.
    again = msgs.decoder(type_name)(bytes(store.serialize_cdr(decoded, type_name)))
    assert again.header.frame_id == SAMPLES[type_name]["header"]["frame_id"]
    assert msgs.stamp(1712.000000125) == {"sec": 1712, "nanosec": 125}


def test_every_figure_of_the_servos_stats_reaches_a_remote_client() -> None:
    from dataclasses import fields

    from zelkor.remote.client import RemoteStats

    figures = {name for name, member in vars(zh.ServoStats).items() if isinstance(member, property)}
    assert {"rate_hz", "stop_reason", "failure", "left_limp"} <= figures
    assert figures - {f.name for f in fields(RemoteStats)} == set()
