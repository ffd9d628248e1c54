import re
import struct
import sys
import warnings

import pytest
import ZelkorHardwareAPI as zh

STATE = struct.pack("<6f", 1.5, -2.25, 3.0, 0.125, -0.5, 4.0)
ONE_TWO_THREE = bytes.fromhex("0000803f0000004000004040")

DEPRECATED = {
    "SendDeviceWakeup": "SendDeviceWakeup is deprecated, use device_wakeup instead",
    "SendForce": "SendForce is deprecated, use end_effector_force instead",
    "ReceiveState": "ReceiveState is deprecated, use end_effector instead",
    "ReceiveJointState": "ReceiveJointState is deprecated, use joint_torques instead",
    "SendJointTorques": "SendJointTorques is deprecated, use joint_torques instead",
    "SendPosition": "SendPosition is deprecated, use end_effector_position instead",
}


@pytest.fixture
def arm(device):
    return zh.Arbelon(zh.SerialStream(device.path))


def f32(*values):
    return struct.pack(f"<{len(values)}f", *values)


def quiet(call):
    """Runs `call` with deprecation warnings suppressed, for tests about something else."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return call()


@pytest.mark.parametrize(
    "call,sent",
    [
        (lambda a: a.SendForce(), b"\x2a" + bytes(12)),
        (lambda a: a.SendForce(1), b"\x2a" + f32(1, 0, 0)),
        (lambda a: a.SendForce(1, 2), b"\x2a" + f32(1, 2, 0)),
        (lambda a: a.SendForce(1, 2, 3), b"\x2a" + ONE_TWO_THREE),
        (lambda a: a.SendForce([1.0, 2.0, 3.0]), b"\x2a" + ONE_TWO_THREE),
        (lambda a: a.SendForce(ForceZ=3), b"\x2a" + f32(0, 0, 3)),
        (lambda a: a.SendForce(force=(1, 2, 3)), b"\x2a" + ONE_TWO_THREE),
        (lambda a: a.SendAngle([1, 2, 3, 4, 5]), b"\x1c" + ONE_TWO_THREE),
        (lambda a: a.SendPosition([1, 2, 3]), b"\x2c" + ONE_TWO_THREE),
        (lambda a: a.SendJointTorques([1, 2, 3]), b"\x1a" + ONE_TWO_THREE),
        (lambda a: a.SendDeviceWakeup(), b"\x0a"),
        (lambda a: a.RequestCurrent(), b"\xab"),
    ],
    ids=[
        "no args",
        "one int",
        "two ints",
        "three ints",
        "list",
        "ForceZ only",
        "force keyword",
        "angle five values",
        "position",
        "torques",
        "wakeup",
        "current",
    ],
)
def test_sends_on_the_wire(device, arm, call, sent):
    assert quiet(lambda: call(arm)) is None
    assert device.receive(len(sent) + 1, 0.2) == sent


@pytest.mark.parametrize(
    "legacy,current,reply",
    [
        ("SendForce", "end_effector_force", b"\x2b"),
        ("SendPosition", "end_effector_position", b"\x2b"),
        ("SendJointTorques", "joint_torques", b"\x1b"),
        ("SendAngle", "joint_angles", b"\x1b"),
    ],
)
def test_legacy_and_current_requests_agree(device, arm, legacy, current, reply):
    values = [0.1, -2.5, 1e6]
    quiet(lambda: getattr(arm, legacy)(values))
    sent = device.receive(13)
    device.send(reply + STATE)
    getattr(arm, current)(values)
    assert device.receive(13) == sent


def test_receive_halves(device, arm):
    device.send(b"\x2b" + STATE)
    assert quiet(arm.ReceiveState) == ([1.5, -2.25, 3.0], [0.125, -0.5, 4.0])
    device.send(b"\x1b" + STATE)
    assert quiet(arm.ReceiveJointState) == ([1.5, -2.25, 3.0], [0.125, -0.5, 4.0])
    # A complete current reply replaces the first three values; a longer list keeps its tail.
    device.send(b"\xab" + f32(0.25, 0.5, 0.75))
    assert arm.ReceiveCurrent([5.0, 5.0, 5.0, 5.0]) == [0.25, 0.5, 0.75, 5.0]


def test_failed_receives_echo_the_arguments_as_f32(device, arm):
    position = [0.1, 0.2, 0.3]
    device.send(b"\x1b" + STATE)  # wrong code: discarded
    result = quiet(lambda: arm.ReceiveState(position))
    assert result == (
        [0.10000000149011612, 0.20000000298023224, 0.30000001192092896],
        [0.0, 0.0, 0.0],
    )
    assert position == [0.1, 0.2, 0.3], "the caller's list is not modified"
    assert result[0] is not position
    device.send(b"\x2b" + STATE[:10])  # short
    assert quiet(arm.ReceiveState) == ([0.0] * 3, [0.0] * 3)
    assert arm.ReceiveCurrent([1, 2, 3]) == [1.0, 2.0, 3.0]  # silent line


@pytest.mark.parametrize("name", sorted(DEPRECATED))
def test_each_deprecated_call_warns_once_with_its_text(device, arm, name):
    device.send(b"\x2b" + STATE if name == "ReceiveState" else b"\x1b" + STATE)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        getattr(arm, name)()
    assert [(w.category, str(w.message)) for w in caught] == [
        (DeprecationWarning, DEPRECATED[name])
    ]
    assert caught[0].filename == __file__, "attributed to the calling line"


def called_here(call):
    """Calls `call` and returns the line it was called from."""
    line = sys._getframe().f_lineno + 1
    call()
    return line


REPLY = {"ReceiveState": b"\x2b" + STATE, "ReceiveJointState": b"\x1b" + STATE}


@pytest.mark.parametrize("name", sorted(DEPRECATED))
def test_each_warning_is_the_calling_lines_for_filters_and_registry(device, arm, name):
    method = getattr(arm, name)
    device.send(REPLY.get(name, b"") * 5)  # one reply for each call below
    # "default" shows a warning once per line, through the calling module's registry: three
    # calls from one line warn once.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("default")
        lines = {called_here(method) for _ in range(3)}
    assert [(w.category, str(w.message), w.filename, w.lineno) for w in caught] == [
        (DeprecationWarning, DEPRECATED[name], __file__, *lines)
    ]
    # Filters match the calling module.
    for module, raised in ((re.escape(__name__), True), ("elsewhere", False)):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("ignore")
            warnings.filterwarnings("error", category=DeprecationWarning, module=module)
            if raised:
                with pytest.raises(DeprecationWarning, match=DEPRECATED[name]):
                    method()
            else:
                method()
        assert caught == []


def test_the_three_number_send_force_warns_too(arm):
    with pytest.warns(DeprecationWarning, match="SendForce is deprecated") as caught:
        arm.SendForce(1, 2, 3)
    assert len(caught) == 1


def test_current_methods_do_not_warn(device, arm):
    device.send(b"\xab" + f32(1, 2, 3) + b"\x0b" + bytes(21))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        arm.SendAngle()
        arm.RequestCurrent()
        arm.ReceiveCurrent()
        arm.ReceiveDeviceInfo()
    assert caught == []


def test_warning_is_issued_before_the_blocking_read(device, arm):
    # The reply is only sent when the warning shows; had the read started first it would have
    # timed out and echoed the zeros.
    def show(*args, **kwargs):
        device.send(b"\x2b" + STATE)

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = show
        assert arm.ReceiveState() == ([1.5, -2.25, 3.0], [0.125, -0.5, 4.0])


def test_warnings_as_errors_still_complete_the_io(device, arm):
    device.send(b"\x2b" + STATE + b"\x2b" + STATE)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match="SendForce is deprecated"):
            arm.SendForce([1, 2, 3])
        with pytest.raises(DeprecationWarning, match="ReceiveState is deprecated"):
            arm.ReceiveState()
    assert device.receive(14, 0.2) == b"\x2a" + ONE_TWO_THREE, "the request went out whole"
    # The first reply was read whole, so the next exchange gets the second one.
    assert arm.end_effector_force([1, 2, 3]) == ([1.5, -2.25, 3.0], [0.125, -0.5, 4.0])


@pytest.mark.parametrize(
    "call",
    [
        lambda a: a.SendForce([1.0, 2.0]),
        lambda a: a.SendPosition([]),
        lambda a: a.SendJointTorques((1,)),
        lambda a: a.SendAngle([1, 2]),
        lambda a: a.ReceiveState([0, 0]),
        lambda a: a.ReceiveJointState([0, 0, 0], [0]),
        lambda a: a.ReceiveCurrent([1, 2]),
    ],
)
def test_short_lists_raise_value_error_before_warning_and_io(device, arm, call):
    device.send(b"\x2b" + STATE)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(ValueError, match="three values"):
            call(arm)
    assert caught == []
    assert device.drain() == b""
    assert arm.end_effector_force() == ([1.5, -2.25, 3.0], [0.125, -0.5, 4.0]), "reply unread"


@pytest.mark.parametrize(
    "call",
    [
        lambda a: a.SendForce("abc"),
        lambda a: a.SendForce([1, "x", 3]),
        lambda a: a.ReceiveState(position=3),
        lambda a: a.ReceiveDeviceInfo(65536),
        lambda a: a.ReceiveDeviceInfo(hardware_version=256),
        lambda a: a.ReceiveDeviceInfo(-1),
        lambda a: a.ReceiveDeviceInfo(UUID=None),
        lambda a: a.SendForce(forcex=1),
    ],
)
def test_incompatible_arguments_raise_type_error_before_warning_and_io(device, arm, call):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError):
            call(arm)
    assert caught == []
    assert device.drain() == b""


def test_receive_device_info_ranges_and_in_place_uuid(device, arm):
    identity = bytes([0x0B, 0x34, 0x12, 0x05, 0x02, 0x07]) + bytes(range(0xF0, 0x100))
    # The largest values still convert; with no reply they come back unchanged.
    assert arm.ReceiveDeviceInfo(65535, 255, 255, 255) == (65535, 255, 255, 255, 0)

    target = zh.UUID()
    device.send(identity)
    assert arm.ReceiveDeviceInfo(UUID=target) == (0x1234, 5, 2, 7, 0xF0)
    # The bytes now live in `target`: a failed reply leaves them there.
    device.send(b"\x2b" + STATE)
    assert arm.ReceiveDeviceInfo(1, 2, 3, 4, target) == (1, 2, 3, 4, 0xF0)


def test_default_uuid_is_fresh_on_every_call(device, arm):
    device.send(bytes([0x0B, 1, 0, 1, 1, 1, 0x99]) + bytes(15))
    assert arm.ReceiveDeviceInfo() == (1, 1, 1, 1, 0x99)
    # A later call that omits the UUID starts from zeros, on this arm or another one.
    other = zh.Arbelon(zh.SerialStream("/dev/zelkor-no-such-port"))
    assert other.ReceiveDeviceInfo() == (0, 0, 0, 0, 0)
    device.send(b"\x2b" + STATE)  # a wrong reply: nothing is received
    assert arm.ReceiveDeviceInfo() == (0, 0, 0, 0, 0)


def test_signatures_and_docstrings():
    expected = {
        "SendDeviceWakeup": [
            "SendDeviceWakeup(self: ZelkorHardwareAPI.Arbelon) -> None",
            "[DEPRECATED] Send a device wakeup command",
        ],
        "ReceiveDeviceInfo": [
            "ReceiveDeviceInfo(self: ZelkorHardwareAPI.Arbelon, device_id: int = 0, "
            "device_model_num: int = 0, hardware_version: int = 0, firmware_version: int = 0, "
            "UUID: ZelkorHardwareAPI.UUID = UUID()) -> tuple",
            "Receive device info and return a tuple",
        ],
        "SendForce": [
            "1. SendForce(self: ZelkorHardwareAPI.Arbelon, force: List[float] = [0.0, 0.0, 0.0]) "
            "-> None",
            "2. SendForce(self: ZelkorHardwareAPI.Arbelon, ForceX: float = 0, ForceY: float = 0, "
            "ForceZ: float = 0) -> None",
            "[Deprecated] Send force to the device",
        ],
        "ReceiveState": [
            "position: List[float] = [0.0, 0.0, 0.0], velocity: List[float] = "
            "[0.0, 0.0, 0.0]) -> tuple",
            "[Deprecated] receive state and return position and velocity",
        ],
        "ReceiveJointState": [
            "joint_position: List[float] = [0.0, 0.0, 0.0], joint_velocity: List[float]",
            "[Deprecated] receive joint state and return position and velocity in the joint "
            "reference frame",
        ],
        "SendJointTorques": ["joint_torque: List[float]", "[Deprecated] send joint torque"],
        "SendAngle": ["angle: List[float] = [0.0, 0.0, 0.0]) -> None", "Send angles to the device"],
        "RequestCurrent": [
            "RequestCurrent(self: ZelkorHardwareAPI.Arbelon) -> None",
            "request current",
        ],
        "ReceiveCurrent": [
            "current: List[float] = [0.0, 0.0, 0.0]) -> List[float]",
            "receive current and return current",
        ],
        "SendPosition": [
            "position: List[float] = [0.0, 0.0, 0.0]) -> None",
            "[Deprecated] Send Position to the device",
        ],
    }
    for name, parts in expected.items():
        doc = getattr(zh.Arbelon, name).__doc__
        for part in parts:
            assert part in doc, (name, part)
    # Current methods first, then the legacy ones in their order; additions come after them.
    names = [n for n in vars(zh.Arbelon) if not n.startswith("_")]
    fixed = [
        "device_wakeup",
        "device_wakeup_dict",
        "end_effector_force",
        "joint_torques",
        "end_effector_position",
        "joint_angles",
    ] + list(expected)
    assert names[: len(fixed)] == fixed
