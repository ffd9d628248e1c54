"""The servo loop and its effects from Python, against a device played by a Python thread: the
loop holds no interpreter lock, so a thread of this process can answer it, and the streams
release the lock in their own calls (release_gil) for the same reason."""

# pyright: reportUnknownMemberType=false
# (pytest.approx has no annotations)
from __future__ import annotations

import gc
import math
import struct
import threading
import time
import warnings
from typing import TYPE_CHECKING, Any, Callable

import pytest
import ZelkorHardwareAPI as zh

if TYPE_CHECKING:
    from conftest import Device, StartSimulator


class ArmThread:
    """Plays an arm at rest at `position` on the pseudo-terminal: answers every force request
    with its state and records the forces; with `silent_after`, stops answering."""

    def __init__(
        self,
        device: Device,
        position: tuple[float, float, float] = (0.1, 0.0, -0.02),
        silent_after: int | None = None,
    ) -> None:
        self.device, self.position, self.silent_after = device, position, silent_after
        self.forces: list[tuple[float, ...]] = []
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self) -> None:
        reply = b"\x2b" + struct.pack("<6f", *self.position, 0, 0, 0)
        while not self.done.is_set():
            request = self.device.receive(13, 0.05)
            if len(request) < 13 or request[0] != 0x2A:
                continue
            self.forces.append(struct.unpack("<3f", request[1:]))
            if self.silent_after is None or len(self.forces) <= self.silent_after:
                try:
                    self.device.send(reply)
                except OSError:  # the host has closed the port meanwhile
                    return

    def stop(self) -> None:
        self.done.set()
        self.thread.join()


def arm_on(device: Device) -> zh.Arbelon:
    return zh.Arbelon(zh.SerialStream(device.path, release_gil=True))


def wait_for(condition: Callable[[], bool], limit: float = 5.0) -> bool:
    end = time.monotonic() + limit
    while not condition() and time.monotonic() < end:
        time.sleep(0.01)
    return condition()


def test_each_cycle_sends_the_summed_clamped_force_and_stop_leaves_the_arm_limp(
    device: Device,
) -> None:
    arm = arm_on(device)
    peer = ArmThread(device)
    servo = zh.Servo(arm, 200.0, max_force=2.0, soft_start=0.0)
    assert (servo.rate_hz, servo.max_force, servo.running) == (200.0, 2.0, False)
    servo.effects = [zh.Spring((0, 0, 0), 10.0), zh.Wall((0, 0, 1), 0.0, 100.0)]
    with servo:
        assert servo.running
        assert wait_for(lambda: servo.state().cycle > 20)
        state = servo.state()
    peer.stop()
    assert not servo.running
    assert state.position == pytest.approx((0.1, 0.0, -0.02))
    assert isinstance(state.position, tuple) and len(state.force) == 3
    # Spring (-1, 0, 0.2) plus wall (0, 0, 2): 2.42 N, scaled down to 2 N.
    pushed = [f for f in peer.forces[1:-1] if f != (0.0, 0.0, 0.0)]
    assert len(pushed) >= len(peer.forces) // 2
    for f in pushed:
        assert math.hypot(*f) == pytest.approx(2.0, rel=1e-5)
        assert f[0] / f[2] == pytest.approx(-1.0 / 2.2, rel=1e-4)
    assert peer.forces[0] == (0.0, 0.0, 0.0), "no reply yet, no force"
    assert peer.forces[-1] == (0.0, 0.0, 0.0), "the last request leaves the arm limp"
    stats = servo.stats()
    assert stats.stop_reason == "stopped" and stats.left_limp
    assert stats.cycles >= 20 and stats.rate_hz > 0
    assert 0 < stats.p50_us <= stats.p99_us <= stats.p999_us <= stats.max_us
    servo.stop()  # idempotent


def test_a_running_servo_has_the_stream_to_itself(device: Device) -> None:
    stream = zh.SerialStream(device.path, release_gil=True)
    arm, other = zh.Arbelon(stream), zh.Arbelon(stream)
    handle = zh.Handle(stream)
    peer = ArmThread(device)
    servo = zh.Servo(arm, 100.0)
    servo.start()
    try:
        with pytest.raises(RuntimeError, match="already"):
            servo.start()
        with pytest.raises(RuntimeError, match="already drives"):
            zh.Servo(other, 100.0).start()
        calls: list[Callable[[], object]] = [
            arm.end_effector_force,
            arm.device_wakeup,
            other.joint_angles,
            arm.RequestCurrent,
            handle.SendDeviceWakeup,
            handle.Receive,
            stream.close,
            lambda: stream.connect(device.path),
            handle.start_receiving,
        ]
        for call in calls:
            with pytest.raises(RuntimeError, match="Servo"):
                call()
        # A deprecated method refuses before it warns.
        with warnings.catch_warnings(record=True) as warned:
            warnings.simplefilter("always")
            with pytest.raises(RuntimeError, match="Servo"):
                arm.SendForce([1, 2, 3])  # pyright: ignore[reportDeprecated]
        assert warned == []
        assert stream.is_open and stream.port == device.path  # reading the stream is fine
        servo.stop()
        # Once it has stopped, the arm is the program's again.
        assert arm.end_effector_force()[0] == pytest.approx([0.1, 0.0, -0.02])
        assert arm.last_result == 24
    finally:
        servo.stop()
        peer.stop()


def test_stops_by_itself_when_the_device_falls_silent(device: Device) -> None:
    arm = arm_on(device)
    peer = ArmThread(device, silent_after=5)
    servo = zh.Servo(arm, 500.0, max_failures=10)
    start = time.monotonic()
    servo.start()
    assert wait_for(lambda: not servo.running)
    assert time.monotonic() - start < 3.0
    peer.stop()
    stats = servo.stats()
    assert stats.stop_reason == "device not answering" and not stats.left_limp
    assert stats.failed_exchanges >= 10
    assert all(f == (0.0, 0.0, 0.0) for f in peer.forces[7:])


def test_destroying_a_running_servo_stops_it(device: Device) -> None:
    arm = arm_on(device)
    peer = ArmThread(device)
    servo = zh.Servo(arm, 200.0)
    servo.effects = [zh.ConstantForce((0, 0, 1))]
    servo.start()
    assert wait_for(lambda: len(peer.forces) > 5)
    del servo
    gc.collect()
    # The requests still on their way reach the device thread once this one lets it run; the
    # last of them is a zero force.
    time.sleep(0.3)
    assert wait_for(lambda: peer.forces[-1] == (0.0, 0.0, 0.0))
    count = len(peer.forces)
    time.sleep(0.1)
    assert len(peer.forces) == count, "no request after the servo is gone"
    arm.end_effector_force()
    peer.stop()
    assert arm.last_result == 24


@pytest.mark.parametrize(
    "make,error",
    [
        (lambda: zh.Wall((0, 0, 0), 0, 1), "normal must not be zero"),
        (lambda: zh.Wall((0, 0, 1), math.nan, 1), "offset must be a finite"),
        (lambda: zh.Wall((0, 0, 1), 0, -1), "stiffness must not be negative"),
        (lambda: zh.Wall((0, 1), 0, 1), "normal needs three values, got 2"),
        (lambda: zh.Spring((0, 0, math.inf), 1), "anchor must be a finite"),
        (lambda: zh.Spring((0, 0, 0), 1, damping=-0.1), "damping must not be negative"),
        (lambda: zh.Damper(-2), "damping must not be negative"),
        (lambda: zh.ConstantForce((1, 2, 3, 4)), "needs three values, got 4"),
        (lambda: zh.ConstantForce((1, math.nan, 3)), "must be a finite"),
        (lambda: zh.Sphere((0, 0, 0), -0.1, 1), "sphere's radius must not be negative"),
        (lambda: zh.Sphere((0, math.nan, 0), 0.1, 1), "sphere's centre must be a finite"),
        (lambda: zh.Box((0, 0, 0), (0.1, -0.1, 0.1), 1), "box's half_extents must not be neg"),
        (lambda: zh.Box((0, 0, 0), (0.1, 0.1), 1), "half_extents needs three values, got 2"),
        (lambda: zh.ViscousRegion((0, 0, 0), 1), "exactly one of radius"),
        (lambda: zh.ViscousRegion((0, 0, 0), 1, 0.1, (1, 1, 1)), "exactly one of radius"),
        (lambda: zh.ViscousRegion((0, 0, 0), 1, radius=-0.1), "region's radius must not be neg"),
        (lambda: zh.ViscousRegion((0, 0, 0), 1, half_extents=(1, 1, math.nan)), "half_extents"),
        (lambda: zh.Guide((0, 0, 0), (0, math.inf, 0), 1), "guide's end must be a finite"),
        (lambda: zh.Guide((-1e200, 0, 0), (1e200, 0, 0), 1), "too far apart"),
        (lambda: zh.Vibration((0, 0, 0), 1, 10), "vibration's direction must not be zero"),
        (lambda: zh.Vibration((0, 0, 1), -1, 10), "vibration's amplitude must not be negative"),
        (lambda: zh.Vibration((0, 0, 1), 1, math.nan), "vibration's frequency must be a finite"),
        (lambda: zh.Detents((0, 0, 0), 0.01, 1), "detents' axis must not be zero"),
        (lambda: zh.Detents((1, 0, 0), 0.0, 1), "detents' spacing must be more than 0"),
        (lambda: zh.Detents((1, 0, 0), 0.01, 1, origin=(0, 0)), "origin needs three values"),
        (lambda: zh.Friction((0, 0, 0), 0, 1, 0.5), "friction's normal must not be zero"),
        (lambda: zh.Friction((0, 0, 1), 0, 1, -0.5), "friction's mu must not be negative"),
        (lambda: zh.Friction((0, 0, 1), 0, 1, 0.5, damping=-1), "friction's damping must not"),
        (lambda: zh.Wall((0, 0, 1), 0, 1).force_at((0, 0)), "position needs three values"),
        (lambda: zh.Damper(1).force_at((0, 0, 0), (0, math.nan, 0)), "velocity must be a fin"),
        (lambda: zh.Vibration((1, 0, 0), 1, 5).force_at((0, 0, 0), time=math.inf), "time must"),
    ],
)
def test_effects_refuse_unusable_parameters(make: Callable[[], object], error: str) -> None:
    with pytest.raises(ValueError, match=error):
        make()


@pytest.mark.parametrize(
    "guard,error",
    [
        ({"soft_start": -0.1}, "soft_start must be from 0 to 60"),
        ({"workspace": ((0, 0, 0), (1, 0, 1))}, "each value of the first below"),
        ({"workspace": ((0, 0), (1, 1, 1))}, "corner"),
        ({"max_velocity": 0.0}, "max_velocity must be more than 0"),
        ({"passivity_max_damping": -1.0}, "passivity_max_damping must not be negative"),
        ({"passivity_max_damping": math.nan}, "passivity_max_damping must be a finite"),
    ],
)
def test_servo_guards_refuse_unusable_values(guard: dict[str, Any], error: str) -> None:
    arm = zh.Arbelon(zh.SerialStream("/dev/zelkor-no-such-port"))
    with pytest.raises(ValueError, match=error):
        zh.Servo(arm, 1000.0, **guard)


def test_effect_attributes_are_checked_and_a_wall_normal_normalised() -> None:
    wall = zh.Wall([3, 0, 4], -0.1, 500.0, damping=2.0)
    assert wall.normal == pytest.approx((0.6, 0.0, 0.8))
    wall.normal = (0, 2, 0)
    assert wall.normal == (0.0, 1.0, 0.0)
    with pytest.raises(ValueError):
        wall.normal = (0, 0, 0)
    with pytest.raises(ValueError):
        wall.stiffness = -1
    assert wall.stiffness == 500.0, "a refused value changes nothing"
    with pytest.raises(TypeError):
        zh.Spring(b"abc", 1.0)
    assert "Wall(normal=(0.0, 1.0, 0.0), offset=-0.1" in repr(wall)
    # A viscous region is a sphere or a box: setting one shape replaces the other, and the
    # one in use cannot be taken away.
    region = zh.ViscousRegion((0, 0, 0), 1.0, radius=0.1)
    region.half_extents = (0.1, 0.2, 0.3)
    assert (region.radius, region.half_extents) == (None, (0.1, 0.2, 0.3))
    region.radius = None  # already none: nothing changes
    with pytest.raises(ValueError, match="exactly one"):
        region.half_extents = None
    with pytest.raises(ValueError, match="radius must not be negative"):
        region.radius = -1.0
    assert repr(region) == (
        "ViscousRegion(centre=(0.0, 0.0, 0.0), damping=1.0, half_extents=(0.1, 0.2, 0.3))"
    )


def test_effects_cannot_be_subclassed_and_read_back_as_a_tuple(device: Device) -> None:
    # The loop runs the effects' own force law on copies of their parameters: a subclass's
    # override would never run, so the subclass itself is refused.
    for base in zh.effect_types:
        with pytest.raises(TypeError):
            type("Custom", (base,), {})
    servo = zh.Servo(arm_on(device))
    assert servo.effects == ()
    servo.effects = [zh.Damper(1.0), zh.ConstantForce((0, 0, 1))]
    effects = servo.effects
    assert type(effects) is tuple
    assert [type(e).__name__ for e in effects] == ["Damper", "ConstantForce"]
    # An append, which a list would take and the loop never see, is refused.
    with pytest.raises(AttributeError):
        servo.effects.append(zh.Damper(2.0))  # type: ignore[attr-defined]
    assert len(servo.effects) == 2


K = 5000.0  # N/m: stiffer than the 2,000 N/m a 1 kHz loop renders stably at 1 N s/m


@pytest.mark.parametrize(
    "effects,warned",
    [
        ([zh.Wall((0, 0, 1), 0.0, K)], "a Wall of 5000.0"),
        ([zh.Spring((0, 0, 0), K)], "a Spring of 5000.0"),
        ([zh.Sphere((0, 0, 0), 0.1, K)], "a Sphere of 5000.0"),
        ([zh.Box((0, 0, 0), (1, 1, 1), K)], "a Box of 5000.0"),
        ([zh.Guide((0, 0, 0), (1, 0, 0), K)], "a Guide of 5000.0"),
        ([zh.Detents((1, 0, 0), 0.01, K)], "a Detents of 5000.0"),
        ([zh.Friction((0, 0, 1), 0.0, K, 0.5)], "a Friction of 5000.0"),
        # Large numbers that are no stiffness.
        ([zh.Damper(K), zh.ConstantForce((K, 0, 0)), zh.Vibration((0, 0, 1), K, K)], None),
        ([zh.ViscousRegion((0, 0, 0), K, radius=K)], None),
        ([zh.Spring((0, 0, 0), 1999.0), zh.Wall((0, 0, 1), 0.0, 2000.0)], None),  # at the bound
        # The stiffest is named, wherever it is.
        (
            [zh.Wall((0, 0, 1), 0.0, 3000.0), zh.Guide((0, 0, 0), (0, 0, 0), 9000.0)],
            "a Guide of 9000.0",
        ),
    ],
)
def test_an_effect_stiffer_than_the_loop_renders_warns_once(
    device: Device, effects: list[zh.Effect], warned: str | None
) -> None:
    assignments: list[tuple[bool, Callable[[zh.Servo], object]]] = [
        (False, lambda s: setattr(s, "effects", effects)),
        (False, lambda s: s.set_effects(effects, ttl=1.0)),
        (True, lambda s: setattr(s, "effects", effects)),  # the controller keeps it passive
    ]
    for passivity, assign in assignments:
        servo = zh.Servo(arm_on(device), 1000.0, passivity=passivity)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assign(servo)
            assign(servo)
        messages = [str(w.message) for w in caught if w.category is RuntimeWarning]
        if warned is None or passivity:
            assert messages == []
        else:
            assert len(messages) == 1 and messages[0].startswith(
                warned + " N/m is stiffer than the 2000 N/m"
            )


def test_settings_are_checked(device: Device) -> None:
    arm = arm_on(device)
    refused: list[dict[str, Any]] = [
        {"rate_hz": 0.5},
        {"rate_hz": math.nan},
        {"max_force": 0.0},
        {"max_force": math.inf},
        {"max_failures": 0},
        {"cpu": -1},
        {"cpu": 1 << 20},
        {"rate_hz": 0.0},
        {"reply_timeout": 0.0},
        {"give_up_after": -1.0},
        {"spin_us": math.inf},
    ]
    for kwargs in refused:
        with pytest.raises(ValueError):
            zh.Servo(arm, **kwargs)
    with pytest.raises(
        TypeError, match="takes Wall, Spring, Damper, .* and Friction objects, not str"
    ):
        zh.Servo(arm).effects = [zh.Damper(1), "wall"]  # type: ignore[list-item]
    servo = zh.Servo(arm)
    effects: list[zh.Damper | zh.ConstantForce] = [zh.Damper(1), zh.ConstantForce((0, 0, -1))]
    servo.effects = (e for e in effects)
    assert [type(e).__name__ for e in servo.effects] == ["Damper", "ConstantForce"]
    assert servo.stats().stop_reason is None and servo.state().cycle == 0
    # A port that never opened is named, with its cause, before anything starts.
    missing = zh.Servo(zh.Arbelon(zh.SerialStream("/dev/zelkor-no-such-port")))
    with pytest.raises(FileNotFoundError) as not_open:
        missing.start()
    assert not_open.value.filename == "/dev/zelkor-no-such-port" and not missing.running


@pytest.mark.parametrize("pipeline", [False, True], ids=["strict", "pipelined"])
@pytest.mark.parametrize(
    "line,rate,peer",
    [
        ("clean", 1000.0, []),
        # Late beyond the reply time-out, within the wait for a late reply that follows it.
        ("late replies", 500.0, ["--late-every", "20", "--late", "0.15"]),
        ("slower than the loop", 1000.0, ["0.003"]),
    ],
)
def test_every_state_answers_its_own_request(
    tmp_path: Any, line: str, rate: float, peer: list[str], pipeline: bool
) -> None:
    import os
    import subprocess
    import sys

    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    script = os.path.join(os.path.dirname(__file__), "arm_peer.py")
    process = subprocess.Popen(
        [sys.executable, script, str(tmp_path / "peer.json"), *peer, "--echo"], stdin=master
    )
    os.close(master)
    stream = zh.SerialStream(path, release_gil=True)
    arm = zh.Arbelon(stream)
    arm.end_effector_force()  # the peer is up
    # A time-out that a peer process on a loaded machine keeps to; a late reply's is twice it.
    servo = zh.Servo(arm, rate, reply_timeout=0.1, pipeline=pipeline)
    # The peer echoes the force as the position: a fresh state has position == force. A force
    # of its own every few cycles makes a state paired with another request's reply show.
    states: list[zh.ServoState] = []
    with servo:
        for k in range(1500):
            servo.effects = [zh.ConstantForce((1e-3 * (k % 997), 0, 0))]
            states.append(servo.state())
            time.sleep(0.0005)
    stream.close()
    process.wait(10)
    stale = [s for s in states if s.cycle and s.position != s.force]
    stats = servo.stats()
    assert stale == [] and len({s.cycle for s in states}) > 20, stats
    if line == "late replies":
        assert stats.failed_exchanges > 0 and stats.stale_dropped > 0, stats
    if line == "slower than the loop":
        assert stats.late_cycles > 0 and stats.missed > 0, stats


def test_mistakes_that_did_nothing_now_say_what_to_do(device: Device) -> None:
    arm = arm_on(device)
    servo = zh.Servo(arm, 1000.0)
    mistakes: list[tuple[Callable[[], object], str]] = [
        (lambda: zh.Servo(arm, 1000.0, maxforce=5), r"'maxforce'; did you mean 'max_force'\?"),  # type: ignore[call-arg]
        (lambda: zh.Servo(arm, soft_strat=0.1), r"'soft_strat'; did you mean 'soft_start'\?"),  # type: ignore[call-arg]
        (lambda: zh.Sphere((0, 0, 0), 0.1, 100.0, dampening=1), "did you mean 'damping'"),  # type: ignore[call-arg]
        (lambda: zh.Wall((0, 0, 1), 0.0, 100.0, zzz=1), r"'zzz' \(it takes damping, normal, "),  # type: ignore[call-arg]
        (lambda: zh.Coupling(0, 1, 100.0, dampnig=1), "did you mean 'damping'"),  # type: ignore[call-arg]
        (servo.recording, "records nothing: make it with record=seconds"),
    ]
    for mistake, message in mistakes:
        with pytest.raises((TypeError, RuntimeError), match=message):
            mistake()
    # The keywords it does take still work, and the signatures stay readable.
    assert zh.Sphere((0, 0, 0), 0.1, stiffness=100.0, damping=1.0).damping == 1.0
    assert (zh.Servo.__init__.__doc__ or "").startswith(
        "__init__(self: ZelkorHardwareAPI.Servo, arm"
    )
    assert servo.state().cycle == 0  # before any cycle


def test_a_force_law_that_returns_its_force_is_refused() -> None:
    pytest.importorskip("numba", reason="the jit extra (Numba) is not installed")

    def returns(
        t: float,
        position: list[float],
        velocity: list[float],
        previous_force: list[float],
        params: list[float],
        force: list[float],
    ) -> float:
        return -100.0 * position[2]

    with pytest.raises(
        TypeError, match=r"returns a value \(float64\).*writes its force.*force\[0\] ="
    ):
        zh.force_law(returns)  # type: ignore[arg-type]


def test_a_direct_call_after_a_servo_never_takes_a_reply_meant_for_it(
    simulator: StartSimulator,
) -> None:
    # The simulator echoes each force as the position; a position request is answered with the
    # arm where it is, never exactly at the servo's 0.5 N. Every 7th reply is held past the
    # servo's time-out: a servo stopped meanwhile still owes it, and must take it off the line
    # before the stream is the program's again.
    sim = simulator("arbelon", "--echo", "--late-reply", "7:0.03")
    arm = zh.Arbelon(zh.SerialStream(sim.port, release_gil=True))
    crossed: list[list[float]] = []
    done = threading.Event()

    def direct() -> None:
        while not done.is_set():
            try:
                position = arm.end_effector_position([0.0, 0.0, 0.0])[0]
            except RuntimeError:  # the servo has the stream
                time.sleep(0.0002)
                continue
            if position == [0.5, 0.0, 0.0]:
                crossed.append(position)

    caller = threading.Thread(target=direct)
    caller.start()
    stale = 0
    try:
        for _ in range(150):
            servo = zh.Servo(arm, 1000.0, soft_start=0.0, max_failures=None)
            servo.effects = [zh.ConstantForce((0.5, 0.0, 0.0))]
            servo.start()
            time.sleep(0.005)
            state = servo.state()
            servo.stop()
            stale += bool(state.cycle) and state.position != state.force
    finally:
        done.set()
        caller.join()
    assert crossed == [] and stale == 0


def test_on_stop_may_start_the_servo_again_and_stop_is_prompt_while_it_measures(
    simulator: StartSimulator,
) -> None:
    import ctypes
    import os
    import signal

    doubles = ctypes.POINTER(ctypes.c_double)

    def fails(inputs: Any, params: Any, out: Any) -> None:
        out[0] = math.nan if params[0] > 0 else 0.0

    fails_when_asked = ctypes.CFUNCTYPE(None, doubles, doubles, doubles)(fails)

    sim = simulator("arbelon")
    arm = zh.Arbelon(zh.SerialStream(sim.port, release_gil=True))
    # Once the loop ends by itself, on_stop runs when running is already False: a start() from
    # there starts it again.
    for _ in range(10):
        restarted: list[object] = []
        servos: list[zh.Servo] = []

        def again(
            reason: str, servos: list[zh.Servo] = servos, told: list[object] = restarted
        ) -> None:
            if reason != "stopped":
                servos[0].params = [0.0]
                try:
                    servos[0].start()
                    told.append(True)
                except RuntimeError as error:
                    told.append(error)

        servo = zh.Servo(arm, 1000.0, law_timeout=2.0, on_stop=again)
        servos.append(servo)
        servo.force_law = fails_when_asked
        servo.start()
        servo.params = [1.0]
        told: list[object] = restarted
        assert wait_for(lambda: bool(told), 10.0)  # noqa: B023 (read within the iteration)
        assert restarted == [True] and servo.running
        servo.stop()
    # A device silent while the servo measures its line: stop() does not wait for the
    # measurement's second.
    os.kill(sim.process.pid, signal.SIGSTOP)
    try:
        servo = zh.Servo(arm, None)
        servo.start()
        time.sleep(0.1)
        began = time.monotonic()
        servo.stop()
        assert time.monotonic() - began < 0.6
    finally:
        os.kill(sim.process.pid, signal.SIGCONT)
