"""Input that used to crash the module, corrupt what it sends, or reach the device unchecked.
What could crash runs in a child interpreter, so that a crash fails its own test only."""

import array
import math
import struct
import subprocess
import sys
import warnings

import pytest
import ZelkorHardwareAPI as zh
from recorder import Recorder

STATE = struct.pack("<6f", 1.5, -2.25, 3.0, 0.125, -0.5, 4.0)
INFO = bytes([0xD0, 0x05, 0x34, 0x12, 0x07, 0x02, 0x09])
STATUS = b"\xda" + struct.pack("<HBB4fB", 0x0201, 3, 0x80, 1.0, 0.0, 0.0, 0.0, 0)
ERROR = bytes([0xDF, 0x01, 0x00, 0x07])
SETUP = """
import ZelkorHardwareAPI as zh
stream = zh.SerialStream("/dev/zelkor-no-such-port")
class Forgetful(zh.Handle):
    def __init__(self, stream): pass
class Emptying:  # converting it empties the list it is in
    def __init__(self, items): self.items = items
    def __float__(self): self.items.clear(); return 1.0
    def __index__(self): self.items.clear(); return 1
items = [0, 0, 0]
items[0] = Emptying(items)
"""


def uninitialised(name):
    return f"ZelkorHardwareAPI.{name} object was not initialised"


@pytest.mark.parametrize(
    "call,error,message",
    [
        (
            "zh.Arbelon.__new__(zh.Arbelon).end_effector_force()",
            TypeError,
            uninitialised("Arbelon"),
        ),
        ("zh.Arbelon.__new__(zh.Arbelon).SendForce(1, 2, 3)", TypeError, uninitialised("Arbelon")),
        (
            "zh.Handle.__new__(zh.Handle)"
            ".OnReceiveHandleInfo(zh.HandleInfoResponse(1, 2, 3, 4, 5))",
            TypeError,
            uninitialised("Handle"),
        ),
        (
            "zh.HandleInfoResponse.__new__(zh.HandleInfoResponse).device_id",
            TypeError,
            uninitialised("HandleInfoResponse"),
        ),
        (
            "zh.HandleErrorResponse.__new__(zh.HandleErrorResponse).error_code = 1",
            TypeError,
            uninitialised("HandleErrorResponse"),
        ),
        (
            "zh.Arbelon(zh.SerialStream.__new__(zh.SerialStream))",
            TypeError,
            uninitialised("SerialStream"),
        ),
        (
            "zh.Arbelon(stream).ReceiveDeviceInfo(UUID=zh.UUID.__new__(zh.UUID))",
            TypeError,
            uninitialised("UUID"),
        ),
        (
            "zh.UUID.__new__(zh.UUID)._pybind11_conduit_v1_("
            "b'', __import__('datetime').datetime_CAPI, b'raw_pointer_ephemeral')",
            TypeError,
            uninitialised("UUID"),
        ),
        (
            "zh.LineMeasurement.__new__(zh.LineMeasurement).exchanges",
            TypeError,
            uninitialised("LineMeasurement"),
        ),
        (
            "Forgetful(stream)",
            TypeError,
            "Handle.__init__() must be called when overriding __init__",
        ),
        (
            "Forgetful.__new__(Forgetful).Receive()",
            TypeError,
            " Forgetful object was not initialised",
        ),
        ("zh.Handle.SendDeviceWakeup(None)", TypeError, "Invoked with: None"),
        ("zh.Arbelon(stream).end_effector_force(items)", ValueError, "request, got 1"),
        ("zh.Arbelon(stream).ReceiveCurrent(items)", ValueError, "three values, got 1"),
        ("zh.Handle(stream).SendHandleState(1, 3, items)", ValueError, "user_data holds 1 bytes"),
    ],
)
def test_crash_reproducers_raise(call, error, message):
    code = SETUP + f"try:\n    {call}\nexcept Exception as e:\n    print(type(e).__name__, e)"
    done = subprocess.run(
        [sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.startswith(error.__name__ + " ") and done.stdout.rstrip().endswith(message)


# Each use of an effect never constructed: a servo's two ways in, offline, and its repr.
UNCONSTRUCTED = """
servo = zh.Servo(zh.Arbelon(stream))
servo.effects = [zh.Damper(1.0)]
for use in (
    lambda: setattr(servo, "effects", [zh.Damper(2.0), never]),
    lambda: servo.set_effects([never], ttl=1.0),
    lambda: never.force_at((0, 0, 0)),
    lambda: repr(never),
):
    try:
        print("accepted", use())
    except TypeError as e:
        print(e)
print(servo.effects)
"""


@pytest.mark.parametrize("cls", zh.effect_types, ids=lambda cls: cls.__name__)
def test_an_effect_never_constructed_is_refused_and_never_reaches_the_loop(cls):
    code = SETUP + f"never = zh.{cls.__name__}.__new__(zh.{cls.__name__})\n" + UNCONSTRUCTED
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.splitlines() == [uninitialised(cls.__name__)] * 4 + [
        "(Damper(damping=1.0),)"
    ]


@pytest.fixture
def stream(device):
    return zh.SerialStream(device.path)


class Nesting(Recorder):
    """Receives again from inside each callback (its own frame, as pybind11's lookup checks),
    until it has `depth` messages."""

    depth = 2

    def OnReceiveHandleInfo(self, *args):
        super().OnReceiveHandleInfo(*args)
        if len(self.messages) < self.depth:
            self.Receive()

    def OnReceiveHandleStatusMessage(self, *args):
        super().OnReceiveHandleStatusMessage(*args)
        if len(self.messages) < self.depth:
            self.Receive()

    def OnReceiveHandleErrorResponse(self, *args):
        super().OnReceiveHandleErrorResponse(*args)
        if len(self.messages) < self.depth:
            self.Receive()


@pytest.mark.parametrize(
    "messages,kinds",
    [
        (INFO + INFO, ["info"] * 2),
        (STATUS + STATUS, ["status"] * 2),
        (ERROR + ERROR, ["error"] * 2),
        (INFO + STATUS + INFO + ERROR + ERROR, ["info", "status", "info", "error", "error"]),
    ],
    ids=["info", "status", "error", "five deep"],
)
def test_nested_receive_reaches_every_override(device, stream, messages, kinds):
    handle = Nesting(stream)
    handle.depth = len(kinds)
    device.send(messages)
    assert handle.Receive() > 0
    assert [kind for kind, _ in handle.messages] == kinds


def test_receive_inside_a_callback_called_from_python(device, stream):
    handle = Nesting(stream)
    device.send(INFO)
    zh.Handle.OnReceiveHandleInfo(handle, 1, 2, 3, 4, 5)
    assert handle.messages == [("info", (1, 2, 3, 4, 5)), ("info", (5, 0x1234, 7, 2, 9))]


def test_base_method_raises_inside_a_nested_override(device, stream):
    class Chaining(Nesting):
        def OnReceiveHandleInfo(self, *args):
            self.messages.append(("info", args))
            if len(self.messages) < self.depth:
                self.Receive()
            zh.Handle.OnReceiveHandleInfo(self, *args)

    handle = Chaining(stream)
    device.send(INFO + INFO)
    with pytest.raises(RuntimeError, match="pure virtual function.*OnReceiveHandleInfo"):
        handle.Receive()
    assert len(handle.messages) == 2


@pytest.fixture
def arm(stream):
    return zh.Arbelon(stream)


@pytest.mark.parametrize(
    "call,where,value",
    [
        (
            lambda a, v: a.end_effector_force([0, v, 0]),
            "end_effector_force(): request value 1",
            math.inf,
        ),
        (lambda a, v: a.joint_torques((v, 0, 0)), "joint_torques(): request value 0", -math.inf),
        (
            lambda a, v: a.end_effector_position([0, 0, v]),
            "end_effector_position(): request value 2",
            math.nan,
        ),
        (lambda a, v: a.joint_angles([0, v, 0]), "joint_angles(): request value 1", 1e300),
        (lambda a, v: a.SendForce([0, 0, v]), "SendForce(): request value 2", -3.5e38),
        (lambda a, v: a.SendForce(ForceY=v), "SendForce(): request value 1", math.nan),
        (lambda a, v: a.SendPosition([v, 0, 0]), "SendPosition(): request value 0", math.inf),
        (lambda a, v: a.SendJointTorques([0, v, 0]), "SendJointTorques(): request value 1", 1e39),
        (lambda a, v: a.SendAngle([0, 0, v]), "SendAngle(): request value 2", math.nan),
        (lambda a, v: a.ReceiveState([0, v, 0]), "ReceiveState(): position value 1", math.inf),
        (
            lambda a, v: a.ReceiveJointState(joint_velocity=[0, 0, 0, v]),
            "ReceiveJointState(): joint_velocity value 3",
            1e300,
        ),  # echoed back as f32 too
        (lambda a, v: a.ReceiveCurrent([v, 0, 0]), "ReceiveCurrent(): current value 0", math.nan),
    ],
)
def test_unsafe_values_raise_before_warning_and_io(device, arm, call, where, value):
    device.send(b"\x2b" + STATE)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(ValueError) as raised:
            call(arm, value)
    assert (
        str(raised.value) == f"{where} is {value!r}; values must be finite and within single "
        "precision"
    )
    assert caught == [] and device.drain(0.02) == b""
    assert arm.end_effector_force() == ([1.5, -2.25, 3.0], [0.125, -0.5, 4.0]), "reply unread"


def test_single_precision_limits(device, arm):
    # The largest f32 and values that round to zero are sent; a fourth value never is.
    largest = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]
    device.send(b"\x2b" + STATE)
    arm.end_effector_force([largest, -largest, 1e-300, math.inf])
    assert device.receive(14, 0.3) == b"\x2a" + struct.pack("<3f", largest, -largest, 0.0)
    # A record's quaternion is kept, not sent: NaN and the infinities stay as they are.
    with pytest.raises(ValueError, match=r"quaternion 1e\+300 is outside single precision"):
        zh.HandleStatusResponse(0, 1e300, 0, 0, 0, 0)
    assert zh.HandleStatusResponse(0, -math.inf, 0, 0, 0, 0).quaternion()[0] == -math.inf


class ByteArray(bytearray):
    pass


@pytest.mark.parametrize(
    "value",
    [b"abc", bytearray(b"abc"), ByteArray(b"abc"), memoryview(array.array("d", [1, 2, 3]))],
    ids=["bytes", "bytearray", "bytearray subclass", "memoryview"],
)
@pytest.mark.parametrize("method", ["end_effector_force", "SendForce", "ReceiveCurrent"])
def test_bytes_like_requests_are_refused(device, arm, method, value):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        getattr(arm, method)(value)
    assert device.drain(0.02) == b""


def test_number_arrays_are_requests(device, arm):
    arrays = [array.array("d", [1, 2, 3]), array.array("f", [1, 2, 3, 9])]
    try:
        import numpy as np

        arrays += [
            np.array([1.0, 2.0, 3.0]),
            np.arange(1, 5, dtype=np.float32),
            np.arange(1, 4, dtype=np.int16),
        ]
    except ImportError:
        pass
    for values in arrays:
        device.send(b"\x2b" + STATE)
        arm.end_effector_force(values)
        assert device.receive(14, 0.3) == b"\x2a" + struct.pack("<3f", 1, 2, 3), values


@pytest.mark.parametrize("encode", [str, str.encode, lambda p: bytearray(p.encode())])
def test_port_names_with_a_null_byte(device, encode):
    with pytest.raises(ValueError, match="^embedded null byte$"):
        zh.SerialStream(encode(device.path + "\0x"))
    arm = zh.Arbelon(zh.SerialStream(encode(device.path)))  # the port was left free
    device.send(b"\x2b" + STATE)
    assert arm.end_effector_force() == ([1.5, -2.25, 3.0], [0.125, -0.5, 4.0])
