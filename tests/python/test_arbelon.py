import gc
import struct
import time
import uuid

import pytest
import ZelkorHardwareAPI as zh

STATE = struct.pack("<6f", 1.5, -2.25, 3.0, 0.125, -0.5, 0.1)
POSITION = [1.5, -2.25, 3.0]
VELOCITY = [0.125, -0.5, 0.10000000149011612]  # 0.1 as f32, widened exactly
IDENTITY = bytes([0x0B, 0x34, 0x12, 0x07, 0x02, 0x05]) + bytes(range(0x10, 0x20))
ONE_TWO_THREE = bytes.fromhex("0000803f0000004000004040")


@pytest.fixture
def arm(device):
    stream = zh.SerialStream(device.path)
    return zh.Arbelon(stream)


METHODS = [
    # method, request code, reply code
    ("end_effector_force", 0x2A, 0x2B),
    ("end_effector_position", 0x2C, 0x2B),
    ("joint_torques", 0x1A, 0x1B),
    ("joint_angles", 0x1C, 0x1B),
]


@pytest.mark.parametrize("method,request_code,reply_code", METHODS)
def test_state_exchange(device, arm, method, request_code, reply_code):
    device.send(bytes([reply_code]) + STATE)
    result = getattr(arm, method)([1.0, 2.0, 3.0])
    assert device.receive(13) == bytes([request_code]) + ONE_TWO_THREE
    assert type(result) is tuple and len(result) == 2
    assert all(type(v) is list and len(v) == 3 for v in result)
    assert all(type(x) is float for v in result for x in v)
    assert result == (POSITION, VELOCITY)


@pytest.mark.parametrize(
    "call,sent",
    [
        (lambda a: a.end_effector_force(), b"\x2a" + bytes(12)),
        (lambda a: a.joint_angles((1, 2, 3)), b"\x1c" + ONE_TWO_THREE),
        (lambda a: a.end_effector_position([1, 2, 3, 4]), b"\x2c" + ONE_TWO_THREE),
        (lambda a: a.joint_torques(range(1, 4)), b"\x1a" + ONE_TWO_THREE),
        (
            lambda a: a.end_effector_force(**{"force request vector": [1.0, 2, 3.0]}),
            b"\x2a" + ONE_TWO_THREE,
        ),
    ],
    ids=["default zeros", "tuple of ints", "four values", "range", "keyword with spaces"],
)
def test_requests_on_the_wire(device, arm, call, sent):
    device.send(b"\x2b" + STATE if sent[0] in (0x2A, 0x2C) else b"\x1b" + STATE)
    call(arm)
    assert device.receive(len(sent) + 1, 0.3) == sent


@pytest.mark.parametrize("bad", ["123", b"\x01\x02\x03", 3.0, None, [1.0, "2", 3.0], {1, 2, 3}])
def test_unconvertible_requests_raise_type_error_and_send_nothing(device, arm, bad):
    with pytest.raises(TypeError):
        arm.joint_torques(bad)
    assert device.drain() == b""


@pytest.mark.parametrize("short", [[], [1.0], (1.0, 2.0)])
@pytest.mark.parametrize("method", [m for m, _, _ in METHODS])
def test_short_requests_raise_value_error_and_send_nothing(device, arm, method, short):
    with pytest.raises(ValueError, match=f"{method}.*three values"):
        getattr(arm, method)(short)
    assert device.drain() == b""


def test_failed_replies_give_zeros_and_the_next_exchange_works(device, arm):
    device.send(b"\x1b" + STATE)  # a joint state where an end-effector state belongs
    assert arm.end_effector_force([1, 2, 3]) == ([0.0] * 3, [0.0] * 3)
    device.drain()
    device.send(b"\x2b" + STATE[:10])  # short payload
    assert arm.end_effector_force([1, 2, 3]) == ([0.0] * 3, [0.0] * 3)
    device.drain()
    device.send(b"\x2b" + STATE)
    assert arm.end_effector_force([1, 2, 3]) == (POSITION, VELOCITY)


def test_device_wakeup(device, arm):
    device.send(IDENTITY)
    assert arm.device_wakeup() == (4660, 7, 2, 5, list(range(16, 32)))
    assert device.receive(2, 0.3) == b"\x0a"


def test_device_wakeup_dict(device, arm):
    device.send(IDENTITY)
    info = arm.device_wakeup_dict()
    assert list(info) == [
        "device_id",
        "device_model_number",
        "hardware_version",
        "firmware_version",
        "device_id_ext",
    ]
    assert info["device_id"] == 4660
    assert (info["device_model_number"], info["hardware_version"], info["firmware_version"]) == (
        7,
        2,
        5,
    )
    assert isinstance(info["device_id_ext"], uuid.UUID)
    assert info["device_id_ext"].hex == "101112131415161718191a1b1c1d1e1f"
    assert info["device_id_ext"].bytes == bytes(range(0x10, 0x20))


def test_failed_wakeup_gives_zeros(device, arm):
    device.send(b"\x0b" + bytes(5))  # short identity
    assert arm.device_wakeup() == (0, 0, 0, 0, [0] * 16)
    device.drain()
    device.send(b"\x0b" + bytes(5))
    info = arm.device_wakeup_dict()
    assert info["device_id_ext"] == uuid.UUID(int=0)


def test_signatures_and_docstrings():
    docs = {
        "device_wakeup": "Wakeup the device and return the device info as a tuple.",
        "device_wakeup_dict": "Wakeup the device and return the device info as a dict.",
        "end_effector_force": "Send forces to the device and receive device states",
        "joint_torques": "Send joint torques to the device and receive the joint states",
        "end_effector_position": "Send end-effector position and receive device states",
        "joint_angles": "Send joint angles to the device and receive the joint states",
    }
    for name, doc in docs.items():
        # The fixed text is the first paragraph after the signature; more may follow it.
        assert getattr(zh.Arbelon, name).__doc__.split("\n\n")[1] == doc
    assert (
        "end_effector_force(self: ZelkorHardwareAPI.Arbelon, force request vector: "
        "List[float] = [0.0, 0.0, 0.0]) -> tuple"
    ) in zh.Arbelon.end_effector_force.__doc__
    assert "(self: ZelkorHardwareAPI.Arbelon, stream: ZelkorHardwareAPI.SerialStream)" in (
        zh.Arbelon.__init__.__doc__
    )
    assert zh.Arbelon.__doc__.startswith("The Arbelon arm: ")


def test_constructor_arguments():
    with pytest.raises(TypeError):
        zh.Arbelon(None)
    with pytest.raises(TypeError):
        zh.Arbelon("/dev/ttyUSB0")


def test_device_keeps_its_stream_alive(device):
    arm = zh.Arbelon(zh.SerialStream(device.path))
    gc.collect()
    device.send(b"\x2b" + STATE)
    assert arm.end_effector_force() == (POSITION, VELOCITY)


@pytest.mark.parametrize("encode", [bytes, bytearray], ids=["bytes", "bytearray"])
def test_port_names_as_bytes(device, encode):
    arm = zh.Arbelon(zh.SerialStream(encode(device.path.encode())))
    device.send(b"\x2b" + STATE)
    assert arm.end_effector_force() == (POSITION, VELOCITY)


def test_port_is_held_exclusively_until_its_stream_is_gone(device):
    first = zh.SerialStream(device.path)
    second = zh.Arbelon(zh.SerialStream(device.path))
    start = time.monotonic()
    assert second.end_effector_force([1, 2, 3]) == ([0.0] * 3, [0.0] * 3)
    assert time.monotonic() - start < 0.5, "an unopened stream returns at once"
    assert device.drain() == b""
    del second, first
    gc.collect()
    third = zh.Arbelon(zh.SerialStream(device.path))
    device.send(b"\x2b" + STATE)
    assert third.end_effector_force() == (POSITION, VELOCITY)
