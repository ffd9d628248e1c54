"""Calls every public name of ZelkorHardwareAPI with the types its stubs declare, and checks
that what comes back has the declared type.

The type checkers (tests/typing/run) read it against the stubs; running it
(`python tests/typing/every_name.py`) checks the results against the module. It needs no
device: every stream is on a port that does not exist, so the calls return at once.
"""

from __future__ import annotations

import pathlib
import sys
import time
import typing
import uuid
import warnings
from typing import Sequence, cast

import numpy
import ZelkorHardwareAPI as zh

MISSING = "/dev/zelkor-typing-no-such-port"


def items(value: object, kind: type, n: int, container: type = list) -> bool:
    """Whether `value` is exactly a `container` of `n` objects exactly of type `kind`."""
    if type(value) is not container:
        return False
    values = cast("list[object]", value)
    return len(values) == n and all(type(x) is kind for x in values)


def floats(value: object, n: int) -> bool:
    return items(value, float, n)


def ints(value: object, n: int) -> bool:
    return items(value, int, n)


def vector(value: object) -> bool:
    """Whether `value` is a tuple of three floats."""
    return items(value, float, 3, tuple)


def state(value: object) -> bool:
    """Whether `value` is a tuple of two lists of three floats, as the exchanges return."""
    if type(value) is not tuple:
        return False
    pair = cast("tuple[object, ...]", value)
    return len(pair) == 2 and floats(pair[0], 3) and floats(pair[1], 3)


class Listener(zh.Handle):
    """A Handle whose callbacks have the types Receive calls them with."""

    def __init__(self, stream: zh.SerialStream) -> None:
        super().__init__(stream)
        self.calls: list[tuple[str, tuple[object, ...]]] = []

    def OnReceiveHandleInfo(
        self,
        tool_data_remaining: int,
        device_id: int,
        device_model_number: int,
        hardware_version: int,
        firmware_version: int,
    ) -> None:
        self.calls.append(
            (
                "info",
                (
                    tool_data_remaining,
                    device_id,
                    device_model_number,
                    hardware_version,
                    firmware_version,
                ),
            )
        )

    def OnReceiveHandleStatusMessage(
        self,
        device_id: int,
        quaternion: list[float],
        error_flag: int,
        hall_effect_sensor_level: int,
        user_data_length: int,
        user_data: list[int],
    ) -> None:
        w, x, y, z = quaternion
        self.calls.append(
            (
                "status",
                (
                    device_id,
                    (w, x, y, z),
                    error_flag,
                    hall_effect_sensor_level,
                    user_data_length,
                    bytes(user_data),
                ),
            )
        )

    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        self.calls.append(("error", (device_id, error_code)))


def module_functions() -> None:
    assert isinstance(zh.__version__, str)
    version: str = zh.get_cpp_version()
    assert isinstance(version, str)
    zh.print_cpp_version()


def serial_stream() -> zh.SerialStream:
    stream = zh.SerialStream(MISSING)
    for name in (MISSING.encode(), bytearray(MISSING.encode()), pathlib.Path(MISSING)):
        with zh.SerialStream(name, release_gil=True) as other:
            assert other.release_gil is True
    assert (stream.port, stream.is_open, stream.release_gil) == (MISSING, False, False)
    assert stream.open_result < 0 and MISSING in stream.last_error
    try:
        zh.SerialStream.open(MISSING, release_gil=False)
    except FileNotFoundError as error:
        assert error.filename == MISSING
    else:
        raise AssertionError("SerialStream.open() opened a missing port")
    code: int = stream.connect(MISSING)
    assert code == -1
    stream.close()
    return stream


def arbelon(stream: zh.SerialStream) -> None:
    arm = zh.Arbelon(stream)
    device_id, model, hardware, firmware, identity = arm.device_wakeup()
    assert (device_id, model, hardware, firmware) == (0, 0, 0, 0) and ints(identity, 16)
    info = arm.device_wakeup_dict()
    assert info["device_id_ext"] == uuid.UUID(int=0)
    assert (
        info["device_id"],
        info["device_model_number"],
        info["hardware_version"],
        info["firmware_version"],
    ) == (0, 0, 0, 0)
    # The requests: any sequence of numbers (numpy arrays included), or none.
    request = [0.0, 0.0, 1.5]
    assert state(arm.end_effector_force(request))
    assert state(arm.joint_torques(request))
    assert state(arm.end_effector_position(request))
    assert state(arm.joint_angles(request))
    assert state(arm.end_effector_force((1, 2, 3)))
    assert state(arm.joint_torques(range(3)))
    assert state(arm.end_effector_position(numpy.array([0.1, 0.2, 0.3])))
    assert state(arm.joint_angles([numpy.float32(1.0), numpy.int64(2), 3.0]))
    assert state(arm.end_effector_force())
    assert state(arm.joint_torques())
    assert state(arm.end_effector_position())
    assert state(arm.joint_angles())
    result: int = arm.last_result
    assert result == -1

    # The older methods; six of them are deprecated and warn.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        arm.SendDeviceWakeup()  # pyright: ignore[reportDeprecated]
        assert arm.ReceiveDeviceInfo() == (0, 0, 0, 0, 0)
        assert arm.ReceiveDeviceInfo(1, 2, 3, 4, zh.UUID()) == (1, 2, 3, 4, 0)
        arm.SendForce([0.0, 0.0, 1.0])  # pyright: ignore[reportDeprecated]
        arm.SendForce(0.0, 0.0, 1.0)  # pyright: ignore[reportDeprecated]
        arm.SendForce(ForceZ=1.0)  # pyright: ignore[reportDeprecated]
        position, velocity = arm.ReceiveState()  # pyright: ignore[reportDeprecated]
        assert floats(position, 3) and floats(velocity, 3)
        assert state(arm.ReceiveJointState([0, 0, 0], [0, 0, 0]))  # pyright: ignore[reportDeprecated]
        arm.SendJointTorques([0.1, 0.2, 0.3])  # pyright: ignore[reportDeprecated]
        arm.SendPosition((0.2, 0.0, 0.1))  # pyright: ignore[reportDeprecated]
    arm.SendAngle([0.0, 0.5, -0.5])
    arm.RequestCurrent()
    assert floats(arm.ReceiveCurrent([1.0, 2.0, 3.0, 4.0]), 4)


def handle(stream: zh.SerialStream) -> None:
    for device in (zh.Handle(stream), Listener(stream)):
        device.SendDeviceWakeup()
        device.SendHandleState(0x0D01, 3, b"\x01\x02\x03")
        device.SendHandleState(0x0D01, 2, bytearray(b"\x01\x02"))
        device.SendHandleState(0x0D01, 2, [1, 2])
        device.SendHandleState(0x0D01, 1, 7)
        device.SendHandleState(device_id=1, data_length=1, user_data=memoryview(b"\x09"))
        device.record(10)
        received: int = device.Receive()
        assert received == -1 and device.Receive(0) == -1 and device.last_result == -1
        assert len(device.recording()) == 0
        device.start_receiving()
        receiving: bool = device.receiving
        assert isinstance(receiving, bool)
        device.stop_receiving()
        assert not device.receiving
    # The callbacks of a plain Handle do nothing. (OnReceiveHandleStatusMessage is typed as
    # Receive calls it, with lists, which a direct call does not take.)
    plain = zh.Handle(stream)
    plain.OnReceiveHandleInfo(1, 2, 3, 4, 5)
    plain.OnReceiveHandleErrorResponse(1, 2)


def records() -> None:
    error = zh.HandleErrorResponse(device_id=0x0D01, error_code=3)
    error.error_code = 4
    assert (error.device_id, error.error_code) == (0x0D01, 4)
    info = zh.HandleInfoResponse(5, 0x0D01, 2, 1, 3)
    info.firmware_version = 4
    assert (
        info.device_id,
        info.device_model_number,
        info.hardware_version,
        info.firmware_version,
    ) == (0x0D01, 2, 1, 4)
    status = zh.HandleStatusResponse(0x0D01, 0.5, 0, 200, 2, 7)
    status.user_data_length = 1
    assert (
        status.device_id,
        status.error_flag,
        status.handle_connection_sensor,
        status.user_data_length,
    ) == (0x0D01, 0, 200, 1)
    assert floats(status.quaternion(), 4) and status.user_data() == [7]
    assert type(zh.UUID()) is zh.UUID and zh.Device.__name__ == "Device"


def servo(stream: zh.SerialStream) -> None:
    wall = zh.Wall((0, 0, 1), -0.02, 2000.0, damping=10.0)
    wall.normal = [0.0, 0.0, 2.0]
    wall.offset, wall.stiffness, wall.damping = -0.01, 1500.0, 5.0
    spring = zh.Spring(anchor=numpy.zeros(3), stiffness=100.0)
    spring.anchor = (0.1, 0.0, 0.0)
    spring.stiffness, spring.damping = 150.0, 1.0
    damper = zh.Damper(2.0)
    damper.damping = 3.0
    constant = zh.ConstantForce([0.0, 0.0, -1.0])
    constant.force = (0.0, 0.0, -0.5)
    assert vector(wall.normal) and vector(spring.anchor) and vector(constant.force)
    assert isinstance(wall.offset + spring.stiffness + damper.damping, float)

    sphere = zh.Sphere((0, 0, 0), 0.05, 500.0, damping=1.0, inside=True)
    sphere.centre = numpy.array([0.0, 0.0, 0.01])
    sphere.radius, sphere.stiffness, sphere.damping, sphere.inside = 0.04, 400.0, 2.0, False
    box = zh.Box([0, 0, 0], (0.1, 0.1, 0.05), 300.0)
    box.centre, box.half_extents = (0.0, 0.0, 0.01), range(1, 4)
    box.stiffness, box.damping, box.inside = 200.0, 1.0, True
    region = zh.ViscousRegion((0, 0, 0), 5.0, radius=0.02)
    region.half_extents = (0.01, 0.02, 0.03)
    assert region.radius is None and vector(region.half_extents)
    region.radius = 0.03
    assert region.half_extents is None and isinstance(region.radius, float)
    region.centre, region.damping = [0.0, 0.0, 0.0], 4.0
    guide = zh.Guide((0, 0, 0), (0.1, 0, 0), 800.0, damping=3.0)
    guide.start, guide.end, guide.stiffness, guide.damping = (0, 0, 0.01), (0, 0.1, 0), 700.0, 2.0
    vibration = zh.Vibration((0, 0, 1), 0.5, 60.0)
    vibration.direction, vibration.amplitude, vibration.frequency = (1, 0, 0), 0.25, 30.0
    detents = zh.Detents((1, 0, 0), 0.01, 200.0, origin=(0, 0, 0.02))
    detents.axis, detents.spacing, detents.origin = (0, 1, 0), 0.02, (0, 0, 0)
    detents.stiffness = 150.0
    friction = zh.Friction((0, 0, 1), 0.0, 1000.0, 0.4, damping=1.0)
    friction.normal, friction.offset, friction.stiffness = (0, 0, 2), -0.01, 900.0
    friction.mu, friction.damping = 0.5, 2.0
    assert friction.proxy is None
    shapes = (sphere, box, region, guide, vibration, detents, friction)
    for effect in (wall, spring, damper, constant, *shapes):
        assert vector(effect.force_at((0.001, 0.002, -0.02)))
        assert vector(effect.force_at([0, 0, 0], numpy.ones(3), time=0.25))
    assert vector(friction.proxy)
    assert vector(sphere.centre) and vector(box.centre) and vector(box.half_extents)
    assert vector(region.centre) and vector(guide.start) and vector(guide.end)
    assert vector(vibration.direction) and vector(detents.axis) and vector(detents.origin)
    assert vector(friction.normal)
    assert isinstance(sphere.inside, bool) and isinstance(box.inside, bool)
    numbers: tuple[float, ...] = (sphere.radius, sphere.stiffness, sphere.damping, box.damping)
    numbers += (box.stiffness, region.damping, guide.stiffness, guide.damping, detents.spacing)
    numbers += (vibration.amplitude, vibration.frequency, detents.stiffness, friction.offset)
    numbers += (friction.stiffness, friction.mu, friction.damping)
    assert all(isinstance(x, float) for x in numbers)

    made: tuple[zh.Effect, ...] = (wall, spring, damper, constant, *shapes)
    assert {type(e) for e in made} == set(zh.effect_types), "an effect class not made here"
    assert typing.get_args(zh.Effect) == zh.effect_types
    for effect in made:
        kind = type(effect)
        names: tuple[str, ...] = kind.__match_args__
        remade = kind(**{name: getattr(effect, name) for name in names})
        assert type(remade) is kind and repr(remade) == repr(effect)

    loop = zh.Servo(
        zh.Arbelon(stream), 500.0, max_force=4.0, realtime=False, max_failures=10, passivity=True
    )
    loop.effects = made
    effects = loop.effects
    assert isinstance(effects, tuple)
    assert [type(e) for e in effects] == [
        type(e) for e in (wall, spring, damper, constant, *shapes)
    ]
    assert (loop.rate_hz, loop.max_force, loop.running, loop.realtime) == (500.0, 4.0, False, False)
    try:
        with loop:
            pass
    except FileNotFoundError as e:  # the stream's port never opened
        assert e.filename == stream.port
    now: zh.ServoState = loop.state()
    loop.stop()
    assert isinstance(now.time, float) and isinstance(now.cycle, int)
    assert vector(now.position) and vector(now.velocity) and vector(now.force)
    stats: zh.ServoStats = loop.stats()
    assert stats.stop_reason is None and stats.left_limp is False
    assert isinstance(stats.rate_hz, float) and isinstance(stats.cycles, int)
    assert isinstance(stats.late_cycles, int) and isinstance(stats.failed_exchanges, int)
    assert all(
        isinstance(x, float) for x in (stats.p50_us, stats.p99_us, stats.p999_us, stats.max_us)
    )
    assert isinstance(stats.missed, int) and isinstance(stats.stale_dropped, int)
    assert isinstance(stats.expired, int)
    assert isinstance(now.energy, float) and isinstance(now.damping_added, float)
    other = zh.SerialStream("/dev/zelkor-no-such-port-2")
    pair = zh.Servo(
        [zh.Arbelon(stream), zh.Arbelon(other)],
        soft_start=0.0,
        workspace=((-0.1, -0.1, -0.1), (0.1, 0.1, 0.1)),
        max_velocity=1.0,
        passivity_max_damping=10.0,
        on_stop=lambda reason: print("the pair stopped:", reason),
    )
    pair.couplings = [zh.Coupling(0, 1, 300.0, damping=2.0)]
    coupling = pair.couplings[0]
    assert (coupling.a, coupling.b, coupling.stiffness, coupling.damping) == (0, 1, 300.0, 2.0)
    pair.set_effects([spring], ttl=0.1, arm=1)
    pair.set_params([1.0], ramp=0.0, ttl=0.5)
    assert isinstance(pair.stable_stiffness(b=2.0), float)
    assert isinstance(pair.state(1), zh.ServoState)
    for low, high, count in loop.exchange_time_histogram():
        assert isinstance(low, float) and isinstance(high, float) and isinstance(count, int)
    zh.Servo(zh.Arbelon(stream))
    measured = zh.Servo(
        zh.Arbelon(stream),
        None,
        reply_timeout=0.05,
        hold_cycles=2,
        give_up_after=1.0,
        pipeline=True,
        spin_us=20.0,
    )
    assert measured.rate_hz == 0.0, "picked when the loop starts"
    measured.record(0.5)
    empty: zh.Recording = measured.recording()
    assert isinstance(empty, zh.Recording) and len(empty) == 0 and empty.kind == "servo"
    assert measured.state().as_array().shape == (3, 3)
    measured.params = (1.0, 2.0)
    measured.set_params(numpy.array([0.5, 0.25]), ramp=0.1)
    parameters: tuple[float, ...] = measured.params
    assert parameters == (0.5, 0.25)
    measured.force_law = None
    measured.set_force_law(None)
    assert measured.force_law is None

    def nothing(
        t: float,
        position: Sequence[float],
        velocity: Sequence[float],
        previous_force: Sequence[float],
        params: Sequence[float],
        force: list[float],
    ) -> None:
        force[0] = 0.0

    try:
        measured.force_law = zh.force_law(nothing)
    except ImportError:  # Numba, the jit extra, is not installed
        pass
    try:
        line(zh.measure_line(zh.Arbelon(stream), seconds=0.1, reply_timeout=0.01))
    except FileNotFoundError as e:  # the stream's port never opened
        assert e.filename == stream.port


def line(measured: zh.LineMeasurement) -> None:
    assert all(
        isinstance(x, float)
        for x in (
            measured.exchange_p50_us,
            measured.exchange_p99_us,
            measured.strict_hz,
            measured.pipelined_p50_us,
            measured.pipelined_p99_us,
            measured.pipelined_hz,
        )
    )
    assert isinstance(measured.exchanges, int) and isinstance(measured.failed, int)


def ports() -> None:
    listed: list[zh.PortInfo] = zh.list_ports()
    assert zh.list_ports(root=pathlib.Path(MISSING)) == []
    for port in listed:
        assert isinstance(port.device, str) and isinstance(port.description, str)
        assert isinstance(port.driver, str) and isinstance(port.console, bool)
        for text in (port.by_id, port.manufacturer, port.serial_number):
            assert text is None or isinstance(text, str)
        for number in (port.vid, port.pid, port.latency_timer_ms):
            assert number is None or isinstance(number, int)
    found: list[zh.FoundDevice] = zh.find_devices([MISSING, MISSING.encode()], timeout=0.1)
    assert found == []
    tried: list[zh.PortProbe] = zh.find_devices([MISSING], timeout=0.1, explain=True)
    assert [(p.port, p.device, p.reason) for p in tried] == [(MISSING, None, "no such port")]
    for device in found:  # none here; the types as declared
        hardware, firmware = device.versions
        assert device.kind in ("Arbelon", "Handle") and isinstance(device.port, str)
        assert all(isinstance(x, int) for x in (device.device_id, device.model, hardware, firmware))


SCENE = """<mujoco><option timestep="0.001"/><worldbody>
<geom name="floor" type="plane" size="1 1 0.1" pos="0 0 -0.05"/>
<body name="left"><freejoint/><geom type="sphere" size="0.01"/></body>
<body name="right" pos="0.1 0 0"><freejoint/><geom type="sphere" size="0.01"/></body>
</worldbody></mujoco>"""


def scene(stream: zh.SerialStream) -> None:
    try:
        import mujoco
    except ImportError:
        raise SystemExit("every_name.py needs mujoco: pip install '.[mujoco]'") from None
    model = mujoco.MjModel.from_xml_string(SCENE)
    one = zh.MujocoScene(model, ["left"], 400.0, damping=2.0, origin=(0.28, 0.0, 0.0), scale=2.0)
    assert one.model is model and one.tools == ("left",) and one.data is not None
    assert (one.stiffness, one.damping, one.scale) == (400.0, 2.0, 2.0)
    assert one.origin == (0.28, 0.0, 0.0)
    now: zh.SceneState = one.state()
    assert isinstance(now.time, float) and isinstance(now.steps, int)
    assert now.qpos.shape == (14,) and all(vector(p) for p in now.tool_positions)
    assert all(vector(f) for f in now.coupling_forces)
    assert one.copy_data().time == now.time
    two = zh.MujocoScene(model, ("left", "right"), 300.0, origin=[(0.28, 0, 0), (0.28, 0.1, 0)])
    assert two.origin == ((0.28, 0.0, 0.0), (0.28, 0.1, 0.0))
    loop = zh.Servo(zh.Arbelon(stream), 1000.0)
    loop.scene = one
    assert loop.scene is one
    loop.scene = None
    assert loop.scene is None


def remote() -> None:
    """zh.remote: nobody serves here, so connect fails within its time-out; the wire's own
    types need no server."""
    began = time.monotonic()
    try:
        zh.remote.connect("typing/nobody", "tcp/127.0.0.1:9", timeout=0.2)
    except TimeoutError as error:
        assert "typing/nobody" in str(error)
    else:
        raise AssertionError("connected to nobody")
    assert time.monotonic() - began < 30.0
    state: zh.remote.RemoteState = zh.remote.RemoteState()
    assert state.cycle == 0 and vector(state.position)
    stats: zh.remote.RemoteStats = zh.remote.RemoteStats()
    assert stats.states_received == 0 and stats.p50_us is None
    assert issubclass(zh.remote.RemoteError, RuntimeError)
    assert zh.remote.DEFAULT_TTL == 0.25
    assert isinstance(zh.remote.RemoteServo, type) and isinstance(zh.remote.Server, type)


def main() -> None:
    module_functions()
    ports()
    stream = serial_stream()
    arbelon(stream)
    handle(stream)
    records()
    servo(stream)
    scene(stream)
    remote()
    used = {
        "__version__",
        "get_cpp_version",
        "print_cpp_version",
        "SerialStream",
        "UUID",
        "Arbelon",
        "Device",
        "HandleErrorResponse",
        "HandleInfoResponse",
        "HandleStatusResponse",
        "Handle",
        "effect_types",
        "Effect",
        "ServoState",
        "ServoStats",
        "Servo",
        "Coupling",
        "MujocoScene",
        "SceneState",
        "LineMeasurement",
        "measure_line",
        "force_law",
        "Recording",
        "PortInfo",
        "FoundDevice",
        "PortProbe",
        "list_ports",
        "find_devices",
        "remote",
    } | {cls.__name__ for cls in zh.effect_types}
    public = {name for name in vars(zh) if not name.startswith("_")} | {"__version__"}
    assert public == used, f"names this script does not call: {sorted(public - used)}"
    print("every public name called", file=sys.stderr)


if __name__ == "__main__":
    main()
