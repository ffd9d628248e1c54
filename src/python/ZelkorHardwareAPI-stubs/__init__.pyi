"""Python Implementation of the Zelkor Hardware API"""

# Type information for the extension module ZelkorHardwareAPI, written by hand to match
# src/python/*.cpp. tests/typing/run checks that the two name the same things (stubtest) and
# give each function the same parameters (signatures.py). Units: metres, seconds, newtons,
# radians, amperes.
#
# Where the stubs and the module differ, on purpose:
# - The four state exchanges take their request by position only (its name has spaces).
# - Arguments that the module shows with a default of None (SendHandleState's int user_data,
#   the quaternion and user_data of OnReceiveHandleStatusMessage) are required here: the
#   module refuses the None with TypeError.
# - The Handle callbacks are typed as Receive calls them, which is what a subclass defines:
#   every argument given, by position (a subclass may name them as it likes, or take *args),
#   quaternion a list of 4 floats, user_data a list of ints. Called from Python, the module's
#   own methods also take defaults and single numbers, and OnReceiveHandleInfo a
#   HandleInfoResponse record; such calls do nothing, or call the subclass's method, and are
#   left out so that a subclass's methods match their base.
# - A sequence of numbers cannot exclude bytes-like objects, which the module refuses
#   (TypeError).

import os
import uuid
from typing import (
    Any,
    Callable,
    Iterable,
    Iterator,
    Literal,
    Protocol,
    SupportsFloat,
    SupportsIndex,
    TypedDict,
    final,
    overload,
)

import numpy
from typing_extensions import Self, TypeAlias, deprecated
from zelkor import remote as remote

__version__: str

class _pybind11_type(type):
    # The metaclass of every class of the module.
    ...

class _FloatSequence(Protocol):
    # Any sequence of numbers: a list, a tuple, a range, a numpy array. Its items convert
    # with float(), or with index() for integers.
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsFloat | SupportsIndex: ...

class _ByteSequence(Protocol):
    # bytes, a bytearray, or any sequence of integers from 0 to 255.
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsIndex: ...

_PortName: TypeAlias = str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes]

_Vector: TypeAlias = tuple[float, float, float]

class _DeviceInfo(TypedDict):
    device_id: int
    device_model_number: int
    hardware_version: int
    firmware_version: int
    device_id_ext: uuid.UUID

class SerialStream(metaclass=_pybind11_type):
    def __init__(self, port_name: _PortName, *, release_gil: bool = False) -> None: ...
    @staticmethod
    def open(port_name: _PortName, *, release_gil: bool = False) -> SerialStream: ...
    def connect(self, port_name: _PortName) -> int: ...
    def close(self) -> None: ...
    @property
    def port(self) -> str: ...
    @property
    def is_open(self) -> bool: ...
    @property
    def open_result(self) -> int: ...
    @property
    def last_error(self) -> str: ...
    @property
    def release_gil(self) -> bool: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *args: object) -> None: ...

class UUID(metaclass=_pybind11_type):
    def __init__(self) -> None: ...

def get_cpp_version() -> str: ...
def print_cpp_version() -> None: ...

class Arbelon(metaclass=_pybind11_type):
    def __init__(self, stream: SerialStream) -> None: ...
    def device_wakeup(self) -> tuple[int, int, int, int, list[int]]: ...
    def device_wakeup_dict(self) -> _DeviceInfo: ...
    def end_effector_force(
        self, force_request_vector: _FloatSequence = ..., /
    ) -> tuple[list[float], list[float]]: ...
    def joint_torques(
        self, joint_torque_request_vector: _FloatSequence = ..., /
    ) -> tuple[list[float], list[float]]: ...
    def end_effector_position(
        self, position_request_vector: _FloatSequence = ..., /
    ) -> tuple[list[float], list[float]]: ...
    def joint_angles(
        self, joint_angle_request_vector: _FloatSequence = ..., /
    ) -> tuple[list[float], list[float]]: ...

    # The older split send/receive methods.
    @deprecated("SendDeviceWakeup is deprecated, use device_wakeup instead")
    def SendDeviceWakeup(self) -> None: ...
    def ReceiveDeviceInfo(
        self,
        device_id: int = 0,
        device_model_num: int = 0,
        hardware_version: int = 0,
        firmware_version: int = 0,
        UUID: UUID = ...,
    ) -> tuple[int, int, int, int, int]: ...
    @overload
    @deprecated("SendForce is deprecated, use end_effector_force instead")
    def SendForce(self, force: _FloatSequence = ...) -> None: ...
    @overload
    @deprecated("SendForce is deprecated, use end_effector_force instead")
    def SendForce(self, ForceX: float = 0, ForceY: float = 0, ForceZ: float = 0) -> None: ...
    @deprecated("ReceiveState is deprecated, use end_effector_force instead")
    def ReceiveState(
        self, position: _FloatSequence = ..., velocity: _FloatSequence = ...
    ) -> tuple[list[float], list[float]]: ...
    @deprecated("ReceiveJointState is deprecated, use joint_torques instead")
    def ReceiveJointState(
        self, joint_position: _FloatSequence = ..., joint_velocity: _FloatSequence = ...
    ) -> tuple[list[float], list[float]]: ...
    @deprecated("SendJointTorques is deprecated, use joint_torques instead")
    def SendJointTorques(self, joint_torque: _FloatSequence = ...) -> None: ...
    def SendAngle(self, angle: _FloatSequence = ...) -> None: ...
    def RequestCurrent(self) -> None: ...
    def ReceiveCurrent(self, current: _FloatSequence = ...) -> list[float]: ...
    @deprecated("SendPosition is deprecated, use end_effector_position instead")
    def SendPosition(self, position: _FloatSequence = ...) -> None: ...
    @property
    def last_result(self) -> int: ...

class Device(metaclass=_pybind11_type):
    # Registered for its name only: calling it raises TypeError.
    ...

class HandleErrorResponse(metaclass=_pybind11_type):
    device_id: int
    error_code: int
    def __init__(self, device_id: int, error_code: int) -> None: ...

class HandleInfoResponse(metaclass=_pybind11_type):
    device_id: int
    device_model_number: int
    hardware_version: int
    firmware_version: int
    def __init__(
        self,
        tool_data_remaining: int,
        device_id: int,
        device_model_number: int,
        hardware_version: int,
        firmware_version: int,
    ) -> None: ...

class HandleStatusResponse(metaclass=_pybind11_type):
    device_id: int
    error_flag: int
    handle_connection_sensor: int
    user_data_length: int
    def __init__(
        self,
        device_id: int,
        quaternion: float,
        error_flag: int,
        handle_connection_sensor: int,
        user_data_length: int,
        user_data: int,
    ) -> None: ...
    def quaternion(self) -> list[float]: ...
    def user_data(self) -> list[int]: ...

class Handle(metaclass=_pybind11_type):
    def __init__(self, stream: SerialStream) -> None: ...
    def SendDeviceWakeup(self) -> None: ...
    @overload
    def SendHandleState(self, device_id: int, data_length: int, user_data: int) -> None: ...
    @overload
    def SendHandleState(
        self, device_id: int, data_length: int, user_data: _ByteSequence
    ) -> None: ...
    def OnReceiveHandleInfo(
        self,
        tool_data_remaining: int,
        device_id: int,
        device_model_number: int,
        hardware_version: int,
        firmware_version: int,
        /,
    ) -> None: ...
    def OnReceiveHandleStatusMessage(
        self,
        device_id: int,
        quaternion: list[float],
        error_flag: int,
        hall_effect_sensor_level: int,
        user_data_length: int,
        user_data: list[int],
        /,
    ) -> None: ...
    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int, /) -> None: ...
    def Receive(self, data_received: int = 0) -> int: ...
    @property
    def last_result(self) -> int: ...
    def start_receiving(self) -> None: ...
    def record(self, messages: int) -> None: ...
    def recording(self) -> Recording: ...
    def stop_receiving(self) -> None: ...
    @property
    def receiving(self) -> bool: ...

@final
class Wall(metaclass=_pybind11_type):
    __match_args__ = ("normal", "offset", "stiffness", "damping")
    def __init__(
        self, normal: _FloatSequence, offset: float, stiffness: float, damping: float = 0.0
    ) -> None: ...
    @property
    def normal(self) -> _Vector: ...
    @normal.setter
    def normal(self, value: _FloatSequence, /) -> None: ...
    offset: float
    stiffness: float
    damping: float
    def force_at(
        self,
        position: _FloatSequence,
        velocity: _FloatSequence = (0.0, 0.0, 0.0),
        time: float = 0.0,
    ) -> _Vector: ...

@final
class Spring(metaclass=_pybind11_type):
    __match_args__ = ("anchor", "stiffness", "damping")
    def __init__(self, anchor: _FloatSequence, stiffness: float, damping: float = 0.0) -> None: ...
    @property
    def anchor(self) -> _Vector: ...
    @anchor.setter
    def anchor(self, value: _FloatSequence, /) -> None: ...
    stiffness: float
    damping: float
    def force_at(
        self,
        position: _FloatSequence,
        velocity: _FloatSequence = (0.0, 0.0, 0.0),
        time: float = 0.0,
    ) -> _Vector: ...

@final
class Damper(metaclass=_pybind11_type):
    __match_args__ = ("damping",)
    def __init__(self, damping: float) -> None: ...
    damping: float
    def force_at(
        self,
        position: _FloatSequence,
        velocity: _FloatSequence = (0.0, 0.0, 0.0),
        time: float = 0.0,
    ) -> _Vector: ...

@final
class ConstantForce(metaclass=_pybind11_type):
    __match_args__ = ("force",)
    def __init__(self, force: _FloatSequence) -> None: ...
    @property
    def force(self) -> _Vector: ...
    @force.setter
    def force(self, value: _FloatSequence, /) -> None: ...
    def force_at(
        self,
        position: _FloatSequence,
        velocity: _FloatSequence = (0.0, 0.0, 0.0),
        time: float = 0.0,
    ) -> _Vector: ...

@final
class Sphere(metaclass=_pybind11_type):
    __match_args__ = ("centre", "radius", "stiffness", "damping", "inside")
    def __init__(
        self,
        centre: _FloatSequence,
        radius: float,
        stiffness: float,
        damping: float = 0.0,
        inside: bool = False,
    ) -> None: ...
    @property
    def centre(self) -> _Vector: ...
    @centre.setter
    def centre(self, value: _FloatSequence, /) -> None: ...
    radius: float
    stiffness: float
    damping: float
    inside: bool
    def force_at(
        self,
        position: _FloatSequence,
        velocity: _FloatSequence = (0.0, 0.0, 0.0),
        time: float = 0.0,
    ) -> _Vector: ...

@final
class Box(metaclass=_pybind11_type):
    __match_args__ = ("centre", "half_extents", "stiffness", "damping", "inside")
    def __init__(
        self,
        centre: _FloatSequence,
        half_extents: _FloatSequence,
        stiffness: float,
        damping: float = 0.0,
        inside: bool = False,
    ) -> None: ...
    @property
    def centre(self) -> _Vector: ...
    @centre.setter
    def centre(self, value: _FloatSequence, /) -> None: ...
    @property
    def half_extents(self) -> _Vector: ...
    @half_extents.setter
    def half_extents(self, value: _FloatSequence, /) -> None: ...
    stiffness: float
    damping: float
    inside: bool
    def force_at(
        self,
        position: _FloatSequence,
        velocity: _FloatSequence = (0.0, 0.0, 0.0),
        time: float = 0.0,
    ) -> _Vector: ...

@final
class ViscousRegion(metaclass=_pybind11_type):
    __match_args__ = ("centre", "damping", "radius", "half_extents")
    # Exactly one of radius and half_extents; ValueError otherwise.
    def __init__(
        self,
        centre: _FloatSequence,
        damping: float,
        radius: float | None = None,
        half_extents: _FloatSequence | None = None,
    ) -> None: ...
    @property
    def centre(self) -> _Vector: ...
    @centre.setter
    def centre(self, value: _FloatSequence, /) -> None: ...
    damping: float
    @property
    def radius(self) -> float | None: ...
    @radius.setter
    def radius(self, value: float | None, /) -> None: ...
    @property
    def half_extents(self) -> _Vector | None: ...
    @half_extents.setter
    def half_extents(self, value: _FloatSequence | None, /) -> None: ...
    def force_at(
        self,
        position: _FloatSequence,
        velocity: _FloatSequence = (0.0, 0.0, 0.0),
        time: float = 0.0,
    ) -> _Vector: ...

@final
class Guide(metaclass=_pybind11_type):
    __match_args__ = ("start", "end", "stiffness", "damping")
    def __init__(
        self, start: _FloatSequence, end: _FloatSequence, stiffness: float, damping: float = 0.0
    ) -> None: ...
    @property
    def start(self) -> _Vector: ...
    @start.setter
    def start(self, value: _FloatSequence, /) -> None: ...
    @property
    def end(self) -> _Vector: ...
    @end.setter
    def end(self, value: _FloatSequence, /) -> None: ...
    stiffness: float
    damping: float
    def force_at(
        self,
        position: _FloatSequence,
        velocity: _FloatSequence = (0.0, 0.0, 0.0),
        time: float = 0.0,
    ) -> _Vector: ...

@final
class Vibration(metaclass=_pybind11_type):
    __match_args__ = ("direction", "amplitude", "frequency")
    def __init__(self, direction: _FloatSequence, amplitude: float, frequency: float) -> None: ...
    @property
    def direction(self) -> _Vector: ...
    @direction.setter
    def direction(self, value: _FloatSequence, /) -> None: ...
    amplitude: float
    frequency: float
    def force_at(
        self,
        position: _FloatSequence,
        velocity: _FloatSequence = (0.0, 0.0, 0.0),
        time: float = 0.0,
    ) -> _Vector: ...

@final
class Detents(metaclass=_pybind11_type):
    __match_args__ = ("axis", "spacing", "stiffness", "origin")
    def __init__(
        self,
        axis: _FloatSequence,
        spacing: float,
        stiffness: float,
        origin: _FloatSequence = (0.0, 0.0, 0.0),
    ) -> None: ...
    @property
    def axis(self) -> _Vector: ...
    @axis.setter
    def axis(self, value: _FloatSequence, /) -> None: ...
    spacing: float
    stiffness: float
    @property
    def origin(self) -> _Vector: ...
    @origin.setter
    def origin(self, value: _FloatSequence, /) -> None: ...
    def force_at(
        self,
        position: _FloatSequence,
        velocity: _FloatSequence = (0.0, 0.0, 0.0),
        time: float = 0.0,
    ) -> _Vector: ...

@final
class Friction(metaclass=_pybind11_type):
    __match_args__ = ("normal", "offset", "stiffness", "mu", "damping")
    def __init__(
        self,
        normal: _FloatSequence,
        offset: float,
        stiffness: float,
        mu: float,
        damping: float = 0.0,
    ) -> None: ...
    @property
    def normal(self) -> _Vector: ...
    @normal.setter
    def normal(self, value: _FloatSequence, /) -> None: ...
    offset: float
    stiffness: float
    mu: float
    damping: float
    @property
    def proxy(self) -> _Vector | None: ...
    def force_at(
        self,
        position: _FloatSequence,
        velocity: _FloatSequence = (0.0, 0.0, 0.0),
        time: float = 0.0,
    ) -> _Vector: ...

# Any effect: the classes of effect_types, in its order (the table in effects.h).
Effect: TypeAlias = (
    Wall
    | Spring
    | Damper
    | ConstantForce
    | Sphere
    | Box
    | ViscousRegion
    | Guide
    | Vibration
    | Detents
    | Friction
)
effect_types: tuple[type[Effect], ...]

class ServoState(metaclass=_pybind11_type):
    # Made by Servo.state(); calling the class raises TypeError.
    @property
    def time(self) -> float: ...
    @property
    def cycle(self) -> int: ...
    @property
    def position(self) -> _Vector: ...
    @property
    def velocity(self) -> _Vector: ...
    @property
    def force(self) -> _Vector: ...
    @property
    def energy(self) -> float: ...
    @property
    def damping_added(self) -> float: ...
    def as_array(self) -> numpy.ndarray[Any, numpy.dtype[numpy.float64]]: ...

class ServoStats(metaclass=_pybind11_type):
    # Made by Servo.stats(); calling the class raises TypeError.
    @property
    def rate_hz(self) -> float: ...
    @property
    def cycles(self) -> int: ...
    @property
    def late_cycles(self) -> int: ...
    @property
    def failed_exchanges(self) -> int: ...
    @property
    def missed(self) -> int: ...
    @property
    def stale_dropped(self) -> int: ...
    @property
    def p50_us(self) -> float: ...
    @property
    def p99_us(self) -> float: ...
    @property
    def p999_us(self) -> float: ...
    @property
    def max_us(self) -> float: ...
    @property
    def stop_reason(
        self,
    ) -> (
        Literal[
            "stopped",
            "device not answering",
            "port closed",
            "force law failed",
            "forked",
            "scene failed",
            "scene too slow",
        ]
        | None
    ): ...
    @property
    def failure(self) -> str: ...
    @property
    def left_limp(self) -> bool: ...
    @property
    def expired(self) -> int: ...

@final
class Coupling(metaclass=_pybind11_type):
    def __init__(self, a: int, b: int, stiffness: float, damping: float = 0.0) -> None: ...
    @property
    def a(self) -> int: ...
    @property
    def b(self) -> int: ...
    @property
    def stiffness(self) -> float: ...
    @property
    def damping(self) -> float: ...

@final
class SceneState(metaclass=_pybind11_type):
    # Made by MujocoScene.state(); calling the class raises TypeError.
    @property
    def time(self) -> float: ...
    @property
    def steps(self) -> int: ...
    @property
    def qpos(self) -> numpy.ndarray[Any, numpy.dtype[numpy.float64]]: ...
    @property
    def tool_positions(self) -> tuple[_Vector, ...]: ...
    @property
    def coupling_forces(self) -> tuple[_Vector, ...]: ...

@final
class MujocoScene(metaclass=_pybind11_type):
    # model is a mujoco.MjModel, data a mujoco.MjData: mujoco is an optional dependency.
    def __init__(
        self,
        model: Any,
        tools: Iterable[str],
        stiffness: float,
        damping: float = 0.0,
        origin: _FloatSequence | Iterable[_FloatSequence] = (0.0, 0.0, 0.0),
        scale: float = 1.0,
    ) -> None: ...
    @property
    def model(self) -> Any: ...
    @property
    def data(self) -> Any: ...
    @property
    def tools(self) -> tuple[str, ...]: ...
    @property
    def stiffness(self) -> float: ...
    @property
    def damping(self) -> float: ...
    @property
    def origin(self) -> _Vector | tuple[_Vector, ...]: ...
    @property
    def scale(self) -> float: ...
    def state(self) -> SceneState: ...
    def copy_data(self) -> Any: ...

class Servo(metaclass=_pybind11_type):
    def __init__(
        self,
        arm: Arbelon | Iterable[Arbelon],
        rate_hz: float | None = 1000.0,
        *,
        max_force: float = 5.0,
        realtime: bool = False,
        max_failures: int | None = None,
        cpu: int | None = None,
        reply_timeout: float = 0.025,
        hold_cycles: int = 3,
        give_up_after: float = 0.5,
        pipeline: bool = False,
        spin_us: float = 0.0,
        soft_start: float = 0.2,
        workspace: tuple[_FloatSequence, _FloatSequence] | None = None,
        workspace_stiffness: float = 500.0,
        workspace_damping: float = 5.0,
        max_velocity: float | None = None,
        velocity_damping: float = 10.0,
        law_timeout: float = 0.05,
        passivity: bool = False,
        passivity_max_damping: float = 20.0,
        record: float | None = None,
        record_to: str | os.PathLike[str] | None = None,
        on_stop: Callable[[str], object] | None = None,
    ) -> None: ...
    def start(self) -> None: ...
    def stop(self) -> None: ...
    @property
    def running(self) -> bool: ...
    @property
    def realtime(self) -> bool: ...
    @property
    def rate_hz(self) -> float: ...
    @property
    def pipelined(self) -> bool: ...
    @property
    def max_force(self) -> float: ...
    @property
    def effects(self) -> tuple[Effect, ...]: ...
    @effects.setter
    def effects(self, value: Iterable[Effect], /) -> None: ...
    def set_effects(
        self, effects: Iterable[Effect], ttl: float | None = None, arm: int = 0
    ) -> None: ...
    @property
    def couplings(self) -> tuple[Coupling, ...]: ...
    @couplings.setter
    def couplings(self, value: Iterable[Coupling], /) -> None: ...
    def stable_stiffness(self, b: float = 1.0) -> float: ...
    @property
    def scene(self) -> MujocoScene | None: ...
    @scene.setter
    def scene(self, value: MujocoScene | None, /) -> None: ...
    @property
    def force_law(self) -> Any | None: ...
    @force_law.setter
    def force_law(self, value: Any | None, /) -> None: ...
    def set_force_law(self, law: Any, *, signature: str | None = None) -> None: ...
    @property
    def params(self) -> tuple[float, ...]: ...
    @params.setter
    def params(self, value: _FloatSequence, /) -> None: ...
    def set_params(
        self, values: _FloatSequence, ramp: float = 0.0, ttl: float | None = None
    ) -> None: ...
    def record(self, seconds: float) -> None: ...
    def record_to(self, path: str | os.PathLike[str] | None) -> None: ...
    def recording(self) -> Recording: ...
    def state(self, arm: int = 0) -> ServoState: ...
    def exchange_time_histogram(self) -> list[tuple[float, float, int]]: ...
    def stats(self) -> ServoStats: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *args: object) -> None: ...

@final
class LineMeasurement(metaclass=_pybind11_type):
    # Made by measure_line(); calling the class raises TypeError.
    @property
    def exchange_p50_us(self) -> float: ...
    @property
    def exchange_p99_us(self) -> float: ...
    @property
    def strict_hz(self) -> float: ...
    @property
    def pipelined_p50_us(self) -> float: ...
    @property
    def pipelined_p99_us(self) -> float: ...
    @property
    def pipelined_hz(self) -> float: ...
    @property
    def exchanges(self) -> int: ...
    @property
    def failed(self) -> int: ...

def force_law(function: Callable[..., None]) -> Any: ...

# remote: written in Python (zelkor.remote, the extra [remote]); reached as
# ZelkorHardwareAPI.remote, imported when first asked for.

class Recording:
    # Written in Python (zelkor.recording); reached as ZelkorHardwareAPI.Recording.
    overwritten: int
    kind: str
    def __init__(
        self, arrays: dict[str, Any], overwritten: int = 0, kind: str = "servo"
    ) -> None: ...
    @classmethod
    def from_servo_rows(cls, rows: Any, overwritten: int, arms: int = 1) -> Recording: ...
    @classmethod
    def from_handle_rows(cls, rows: Any, overwritten: int) -> Recording: ...
    def __getattr__(self, name: str) -> Any: ...
    @property
    def names(self) -> tuple[str, ...]: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[str]: ...
    def save(self, path: str | os.PathLike[str]) -> None: ...
    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Recording: ...
    def columns(self) -> tuple[list[str], Any]: ...
    def to_csv(self, path: str | os.PathLike[str]) -> None: ...

def measure_line(
    arm: Arbelon, seconds: float = 1.0, reply_timeout: float = 0.025
) -> LineMeasurement: ...

@final
class PortInfo(metaclass=_pybind11_type):
    # Made by list_ports(); calling the class raises TypeError.
    @property
    def device(self) -> str: ...
    @property
    def by_id(self) -> str | None: ...
    @property
    def description(self) -> str: ...
    @property
    def manufacturer(self) -> str | None: ...
    @property
    def vid(self) -> int | None: ...
    @property
    def pid(self) -> int | None: ...
    @property
    def serial_number(self) -> str | None: ...
    @property
    def driver(self) -> str: ...
    @property
    def latency_timer_ms(self) -> int | None: ...
    @property
    def console(self) -> bool: ...

@final
class FoundDevice(metaclass=_pybind11_type):
    # Made by find_devices(); calling the class raises TypeError.
    @property
    def port(self) -> str: ...
    @property
    def kind(self) -> Literal["Arbelon", "Handle"]: ...
    @property
    def device_id(self) -> int: ...
    @property
    def model(self) -> int: ...
    @property
    def versions(self) -> tuple[int, int]: ...

@final
class PortProbe(metaclass=_pybind11_type):
    # Made by find_devices(explain=True); calling the class raises TypeError.
    @property
    def port(self) -> str: ...
    @property
    def device(self) -> FoundDevice | None: ...
    @property
    def reason(self) -> str: ...

def list_ports(*, root: _PortName | None = None) -> list[PortInfo]: ...
@overload
def find_devices(
    ports: Iterable[_PortName] | None = None,
    timeout: float = 0.5,
    *,
    explain: Literal[False] = False,
) -> list[FoundDevice]: ...
@overload
def find_devices(
    ports: Iterable[_PortName] | None = None, timeout: float = 0.5, *, explain: Literal[True]
) -> list[PortProbe]: ...
