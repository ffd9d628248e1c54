"""The four state exchanges answer a list or tuple of three plain numbers on a fast path and
send every other call through the pybind11 function: both must behave the same."""

import array
import math
import pydoc
import struct

import pytest
import ZelkorHardwareAPI as zh

STATE = struct.pack("<6f", 1.5, -2.25, 3.0, 0.125, -0.5, 0.25)
METHODS = [
    ("end_effector_force", 0x2A, 0x2B),
    ("joint_torques", 0x1A, 0x1B),
    ("end_effector_position", 0x2C, 0x2B),
    ("joint_angles", 0x1C, 0x1B),
]


class ListOf(list):
    """A list subclass: never on the fast path."""


class TupleOf(tuple):
    pass


class Arm(zh.Arbelon):
    pass


def exchange(device, arm, method, reply_code, *args, **kwargs):
    """Calls the method with a reply waiting; returns (result, bytes sent)."""
    device.send(bytes([reply_code]) + STATE)
    result = getattr(arm, method)(*args, **kwargs)
    return result, device.drain(0.05)


@pytest.mark.parametrize("method,request_code,reply_code", METHODS)
@pytest.mark.parametrize(
    "fast,slow",
    [
        ([1.0, 2.0, 3.0], ListOf([1.0, 2.0, 3.0])),
        ((1, -2, 3), TupleOf((1, -2, 3))),
        ([0.1, 2**40, -3.4e38], array.array("d", [0.1, 2**40, -3.4e38])),
        ([0, 0, 0], None),  # and no argument at all
    ],
    ids=["floats", "ints", "limits", "zeros"],
)
def test_fast_and_slow_calls_agree(device, method, request_code, reply_code, fast, slow):
    stream = zh.SerialStream(device.path)
    arm = zh.Arbelon(stream)
    slow_args = () if slow is None else (slow,)
    got_fast = exchange(device, arm, method, reply_code, fast)
    got_slow = exchange(device, arm, method, reply_code, *slow_args)
    got_subclass = exchange(device, Arm(stream), method, reply_code, fast)
    assert got_fast == got_slow == got_subclass
    result, sent = got_fast
    assert sent[0] == request_code and len(sent) == 13
    assert result == ([1.5, -2.25, 3.0], [0.125, -0.5, 0.25])
    assert type(result) is tuple and all(type(v) is list for v in result)
    assert arm.last_result == 24


def test_a_subclass_and_keywords_take_the_pybind11_path(device):
    arm = Arm(zh.SerialStream(device.path))
    assert exchange(device, arm, "joint_angles", 0x1B, (1, 2, 3))[0][0] == [1.5, -2.25, 3.0]
    plain = zh.Arbelon(zh.SerialStream(device.path + "-gone"))
    with pytest.raises(TypeError, match="incompatible function arguments"):
        plain.joint_angles(request=[1, 2, 3])
    result, sent = exchange(
        device, arm, "end_effector_force", 0x2B, **{"force request vector": [1.0, 2.0, 3.0]}
    )
    assert sent == b"\x2a" + struct.pack("<3f", 1, 2, 3)


@pytest.mark.parametrize(
    "args,error,message",
    [
        (
            ([1.0, 2.0],),
            ValueError,
            r"end_effector_force\(\) needs three values in its request, got 2",
        ),
        (([1.0, math.nan, 3.0],), ValueError, r"request value 1 is nan"),
        (([1.0, 2.0, 1e39],), ValueError, r"request value 2 is 1e\+39"),
        (([1.0, 2.0, 10**400],), TypeError, "incompatible function arguments"),
        ((None,), TypeError, "incompatible function arguments"),
        (("abc",), TypeError, "incompatible function arguments"),
        ((bytearray(b"abc"),), TypeError, "incompatible function arguments"),
        (([1.0, "2", 3.0],), TypeError, "incompatible function arguments"),
        (([1, 2, 3], [4, 5, 6]), TypeError, "incompatible function arguments"),
        (((x for x in [1.0, 2.0, 3.0]),), TypeError, "incompatible function arguments"),
    ],
    ids=[
        "short",
        "nan",
        "beyond f32",
        "huge int",
        "None",
        "str",
        "bytearray",
        "a str item",
        "two arguments",
        "generator",
    ],
)
def test_refused_calls_raise_as_before_and_send_nothing(device, args, error, message):
    arm = zh.Arbelon(zh.SerialStream(device.path))
    with pytest.raises(error, match=message):
        arm.end_effector_force(*args)
    assert device.drain(0.05) == b""


def test_other_sequences_of_numbers_still_work(device):
    numpy = pytest.importorskip("numpy")
    arm = zh.Arbelon(zh.SerialStream(device.path))
    for request in [
        numpy.array([1.0, 2.0, 3.0]),
        [numpy.float32(1), numpy.int64(2), 3.0],
        range(1, 4),
        [1.0, 2.0, 3.0, 4.0],
        [True, 2, 3],
    ]:
        result, sent = exchange(device, arm, "joint_torques", 0x1B, request)
        assert sent == b"\x1a" + struct.pack("<3f", request[0], 2, 3)
        assert result[1] == [0.125, -0.5, 0.25]


def test_help_shows_the_pybind11_signature_and_docstring():
    text = pydoc.render_doc(zh.Arbelon.end_effector_force, renderer=pydoc.plaintext)
    assert (
        "end_effector_force(self: ZelkorHardwareAPI.Arbelon, force request vector: "
        "List[float] = [0.0, 0.0, 0.0]) -> tuple"
    ) in text
    assert "Send forces to the device and receive device states" in text
    for name, _, _ in METHODS:
        doc = getattr(zh.Arbelon, name).__doc__
        assert doc.startswith(name + "(self: ZelkorHardwareAPI.Arbelon, ")


ERROR_MESSAGE = bytes([0xDF, 0x01, 0x00, 0x07])


@pytest.mark.parametrize(
    "args,kwargs",
    [((), {}), ((7,), {}), ((), {"data_received": 255})],
    ids=["no argument", "an int", "a keyword"],
)
def test_receive_gives_the_same_on_either_path(device, args, kwargs):
    from recorder import Recorder

    stream = zh.SerialStream(device.path)
    handle, plain = Recorder(stream), zh.Handle(stream)
    for receiver in (handle, plain):  # a subclass, and a plain Handle with no callback
        device.send(ERROR_MESSAGE)
        assert receiver.Receive(*args, **kwargs) == 3
        assert receiver.last_result == 3
    assert handle.messages == [("error", (1, 7))]


@pytest.mark.parametrize("argument", [256, -1, 2.0, "7", None])
def test_receive_refuses_what_it_always_refused(device, argument):
    handle = zh.Handle(zh.SerialStream(device.path))
    device.send(ERROR_MESSAGE)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        handle.Receive(argument)
    assert handle.Receive() == 3, "the message is still there"
    text = pydoc.render_doc(zh.Handle.Receive, renderer=pydoc.plaintext)
    assert "Receive(self: ZelkorHardwareAPI.Handle, data_received: int = 0) -> int" in text
    assert "Receive data from the handle" in text
