"""Teleoperation across a delayed, lossy network: two served arms coupled through Zenoh, kept
passive by the time-domain passivity approach (Ryu, Artigas and Preusche, 2010).

The architecture is position-force, each end driving its own arm by its local model:
- the leader sends its arm's position, and the energy its arm has put into the channel;
- the follower renders a spring (Spring, at its server's rate) from its arm to an anchor that
  follows the leader's position, and sends back the spring's force and the energy the channel
  took in at its side;
- the leader renders the reaction of that force (ConstantForce), so its hand feels what the
  follower touches.
Each end runs a passivity observer: the energy the channel gives out at its side must never
exceed what went in at the other side (received with the samples, however late, whatever was
lost). Its passivity controller dissipates the difference: the follower's moves the anchor
only as far as the energy received allows (admittance type: the price is position drift, which
it makes up once energy comes in); the leader's adds damping to the force it renders
(impedance type), and takes away the force's push along the motion while in deficit.

    zelkor teleop leader --arm lab/left --link lab/pair --connect tcp/127.0.0.1:7447
    zelkor teleop follower --arm lab/right --link lab/pair --connect tcp/leader-host:7447
"""

# pyright: reportUnknownMemberType=false
# (Zenoh's stubs leave some methods' return types out)
from __future__ import annotations

import json
import math
import threading
import time
from collections import deque
from dataclasses import asdict, dataclass, field
from typing import Any, Deque, Dict, List, Sequence, Tuple

import ZelkorHardwareAPI as zh

from . import wire
from .client import RemoteServo, RemoteState
from .session import check_key, close, open_session, undeclare

Vector = Tuple[float, float, float]

# The energy each end may give out before any came in from the other (J): what gets the
# coupling going. A system is passive when the energy it gives out is bounded by a constant:
# twice this is the constant.
START_CREDIT = 0.002
# The stiffness of the spring through which the leader renders the force (N/m): stiff enough
# that its anchor stays within millimetres, well within what the servo renders stably.
LEADER_STIFFNESS = 500.0
# Without a sample from the other end for this long (s), the leader lets its force go.
STALE = 0.5


def _dot(a: Sequence[float], b: Sequence[float]) -> float:
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


def _sub(a: Sequence[float], b: Sequence[float]) -> Vector:
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def _scale(a: Sequence[float], k: float) -> Vector:
    return (a[0] * k, a[1] * k, a[2] * k)


def _no_trace() -> List[Tuple[float, float, float, float]]:
    return []


@dataclass
class Result:
    """What one end saw. Energies in J: `energy_in` went into the channel at this end,
    `energy_out` came out of it here, `received_in` is the other end's energy_in as last
    received, `observer` = START_CREDIT + received_in - energy_out (never below zero while
    the passivity controller is on; `min_observer` its lowest). `held_back` counts the steps at
    which the controller kept the anchor short of its target, by `drift` m at the end
    (`max_drift` at most). `samples_dropped` counts the other end's malformed samples, never
    taken in. `trace` holds (wall-clock time, x, y, z) of this end's arm every 5 ms."""

    role: str
    seconds: float = 0.0
    samples_sent: int = 0
    samples_received: int = 0
    samples_lost: int = 0
    samples_late: int = 0
    samples_dropped: int = 0
    energy_in: float = 0.0
    energy_out: float = 0.0
    received_in: float = 0.0
    observer: float = START_CREDIT
    min_observer: float = START_CREDIT
    held_back: int = 0
    drift: float = 0.0
    max_drift: float = 0.0
    states: int = 0
    trace: List[Tuple[float, float, float, float]] = field(default_factory=_no_trace)

    def summary(self) -> str:
        return (
            f"{self.role}: {self.seconds:.1f} s, {self.samples_sent} samples sent, "
            f"{self.samples_received} received ({self.samples_lost} lost, {self.samples_late} "
            f"late); energy in {self.energy_in * 1e3:.3f} mJ, out {self.energy_out * 1e3:.3f} "
            f"mJ, observer {self.observer * 1e3:.3f} mJ (lowest {self.min_observer * 1e3:.3f}); "
            f"held back {self.held_back} times, drift {self.drift * 1e3:.2f} mm"
        )

    def to_json(self) -> str:
        return json.dumps(asdict(self))


class _End:
    """One end: its arm's states as they come, the other end's samples, and the spring from
    its arm to an anchor that the channel moves (the follower's towards the leader's
    position; the leader's to where it renders the follower's force)."""

    def __init__(
        self, role: str, passivity: bool, stiffness: float, damping: float, extra: List[Any]
    ) -> None:
        self.role = role
        self.passivity = passivity
        self.stiffness = stiffness
        self.damping = damping
        self.extra = extra
        self.result = Result(role)
        self.lock = threading.Lock()
        self.wake = threading.Event()
        self.pending: Deque[RemoteState] = deque()
        self.offset: float | None = None  # wall clock minus the server's loop time
        self.peer: Dict[str, Any] | None = None
        self.peer_seq = 0
        self.peer_at = 0.0
        self.last_trace = -1.0
        self.seq = 0
        self.anchor: Vector | None = None

    def on_states(self, states: List[RemoteState]) -> None:
        if not states:
            return
        now = time.time()
        with self.lock:
            offset = now - states[-1].time
            # The smallest lag seen is the truest: the clocks' offset to within a cycle or so.
            self.offset = offset if self.offset is None else min(self.offset, offset)
            self.pending.extend(states)
        self.wake.set()

    def on_sample(self, payload: bytes) -> None:
        try:
            message = wire.decode(payload)
            seq = message["seq"]
            if isinstance(seq, bool) or not isinstance(seq, int):
                raise wire.BadMessage("seq")
            wire.vector_of(message[self.other_sends], self.other_sends)
            wire.number(message["e"], "e")
        except (wire.BadMessage, KeyError, TypeError):
            with self.lock:
                self.result.samples_dropped += 1  # malformed: nothing taken from it
            return
        with self.lock:
            self.result.samples_received += 1
            if seq <= self.peer_seq:
                self.result.samples_late += 1  # overtaken on the way: a newer one is in
                return
            self.result.samples_lost += seq - self.peer_seq - 1
            self.peer_seq = seq
            self.peer = message
            self.peer_at = time.monotonic()
        self.wake.set()

    other_sends = ""

    def take(self) -> Tuple[List[RemoteState], Dict[str, Any] | None, float, float]:
        with self.lock:
            states = list(self.pending)
            self.pending.clear()
            return states, self.peer, self.peer_at, self.offset or 0.0

    def record(self, states: List[RemoteState], offset: float) -> None:
        for state in states:
            if state.time - self.last_trace >= 0.005:
                self.last_trace = state.time
                self.result.trace.append((state.time + offset, *state.position))

    def target(self, now: RemoteState, peer: Dict[str, Any] | None, peer_at: float) -> Vector:
        raise NotImplementedError

    def step(
        self, states: List[RemoteState], peer: Dict[str, Any] | None, peer_at: float
    ) -> Tuple[List[Any], Dict[str, Any]]:
        """The arm's new states and the other end's latest sample in; the effects for the arm
        and the sample for the other end out."""
        result = self.result
        now = states[-1]
        if self.anchor is None:
            self.anchor = now.position  # relaxed, where the arm is, until the other end speaks
        k = self.stiffness
        received_in = float(peer["e"]) if peer is not None else 0.0
        result.received_in = received_in
        # The passivity observer: what may still come out here of what went in there.
        budget = START_CREDIT + received_in - result.energy_out
        move = _sub(self.target(now, peer, peer_at), self.anchor)
        pull = _scale(_sub(self.anchor, now.position), k)  # the spring's force on the arm
        # The channel's work moving the anchor by s * move against the spring (exact for a
        # linear spring whose other end holds still meanwhile): s * b + s^2 * a.
        a = 0.5 * k * _dot(move, move)
        b = _dot(pull, move)
        share = 1.0
        if self.passivity and a + b > budget:
            # The passivity controller: the anchor goes only as far as the budget allows.
            room = max(budget, 0.0)
            share = (-b + math.sqrt(b * b + 4 * a * room)) / (2 * a) if a > 0 else 0.0
            share = min(max(share, 0.0), 1.0)
            result.held_back += 1
        work = share * b + share * share * a
        if work > 0:
            result.energy_out += work
        else:
            result.energy_in -= work
        result.observer = START_CREDIT + received_in - result.energy_out
        result.min_observer = min(result.min_observer, result.observer)
        step = _scale(move, share)
        anchor = (self.anchor[0] + step[0], self.anchor[1] + step[1], self.anchor[2] + step[2])
        self.anchor = anchor
        drift = math.sqrt(_dot(move, move)) * (1.0 - share)
        result.max_drift = max(result.max_drift, drift)
        result.drift = drift
        effects: List[Any] = [zh.Spring(anchor, k, self.damping), *self.extra]
        self.seq += 1
        sample = {"seq": self.seq, "e": result.energy_in, **self.sends(now, anchor)}
        return effects, sample

    def sends(self, now: RemoteState, anchor: Vector) -> Dict[str, Any]:
        raise NotImplementedError


class Leader(_End):
    """The leader: renders the follower's coupling force, reversed, through a spring of its
    own, whose anchor sits where that spring pulls the arm with that force."""

    other_sends = "f"

    def target(self, now: RemoteState, peer: Dict[str, Any] | None, peer_at: float) -> Vector:
        if peer is None or time.monotonic() - peer_at > STALE:
            return now.position  # nothing heard lately: no force
        f = peer["f"]
        return (
            now.position[0] - f[0] / self.stiffness,
            now.position[1] - f[1] / self.stiffness,
            now.position[2] - f[2] / self.stiffness,
        )

    def sends(self, now: RemoteState, anchor: Vector) -> Dict[str, Any]:
        return {"x": list(now.position)}


class Follower(_End):
    """The follower: a spring from its arm to an anchor that follows the leader's position;
    it sends back that spring's force."""

    other_sends = "x"

    def target(self, now: RemoteState, peer: Dict[str, Any] | None, peer_at: float) -> Vector:
        assert self.anchor is not None
        if peer is None:
            return self.anchor
        x = peer["x"]
        return (float(x[0]), float(x[1]), float(x[2]))

    def sends(self, now: RemoteState, anchor: Vector) -> Dict[str, Any]:
        return {"f": list(_scale(_sub(anchor, now.position), self.stiffness))}


def run(
    role: str,
    *,
    arm: str,
    link: str,
    connect: Sequence[str] = (),
    listen: Sequence[str] = (),
    stiffness: float = 200.0,
    damping: float = 0.5,
    seconds: float | None = None,
    wall: Tuple[float, float] | None = None,
    passivity: bool = True,
    stop: threading.Event | None = None,
    timeout: float = 10.0,
    ttl: float = wire.DEFAULT_TTL,
) -> Result:
    """Runs one end (`role` "leader" or "follower") until `stop` is set or `seconds` pass:
    drives the arm served under `arm`, and talks to the other end under `link`. `damping` is
    the springs' (on the arm's own velocity): dissipation that the leader's hand pays for
    through the channel, so that more of it starves the follower under delay (its anchor falls
    behind); the arms' own damping keeps them steady. A follower's
    `wall` (z in m, stiffness in N/m) is a wall below it, rendered by its server."""
    if role not in ("leader", "follower"):
        raise ValueError("role is leader or follower")
    check_key(arm)
    check_key(link)
    if not 0 < stiffness <= 5000 or not 0 <= damping <= 100:
        raise ValueError("stiffness must be in (0, 5000] N/m and damping in [0, 100] N s/m")
    stop = stop or threading.Event()
    end: _End
    if role == "leader":
        end = Leader(role, passivity, LEADER_STIFFNESS, damping, [])
    else:
        extra = [] if wall is None else [zh.Wall((0.0, 0.0, 1.0), wall[0], wall[1], 1.0)]
        end = Follower(role, passivity, stiffness, damping, extra)
    other = "follower" if role == "leader" else "leader"
    session = open_session(listen, connect)
    remote: RemoteServo | None = None
    try:
        subscriber = session.declare_subscriber(
            f"{link}/{other}", lambda sample: end.on_sample(sample.payload.to_bytes())
        )
        publisher = session.declare_publisher(f"{link}/{role}")
        remote = RemoteServo(arm, list(connect), timeout, session=session)
        remote.watch(end.on_states)
        began = time.monotonic()
        while not stop.is_set():
            if seconds is not None and time.monotonic() - began >= seconds:
                break
            if not end.wake.wait(0.05):
                continue
            end.wake.clear()
            states, peer, peer_at, offset = end.take()
            if not states:
                continue
            end.result.states += len(states)
            end.record(states, offset)
            effects, sample = end.step(states, peer, peer_at)
            remote.set_effects(effects, ttl=ttl)
            publisher.put(wire.encode(sample))
            end.result.samples_sent += 1
        end.result.seconds = time.monotonic() - began
        undeclare(subscriber)
        undeclare(publisher)
    finally:
        if remote is not None:
            remote.close()
        close(session)
    return end.result
