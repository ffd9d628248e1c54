"""Serving a servo over Zenoh: every cycle's state out, commands in, one commanding client at a
time.

Keys under the served KEY:
    KEY/state   every cycle's state, in batches (wire.encode_states), published
    KEY/cmd     commands as queries: effects, params, couplings, claim, release
    KEY/info    what is served and what is in force (a query)
    KEY/stats   the loop's figures and the server's counters (a query)

Every command carries a time to live, and the servo's own per-arm time to live carries it out:
a client that stops refreshing, or a network that stops carrying its refreshes, leaves the arm
fading to zero within ttl + 50 ms whatever this process is doing. The server then also lets
the command go: the next client to ask commands.
"""

# pyright: reportUnknownMemberType=false
# (Zenoh's stubs leave some methods' return types out)
from __future__ import annotations

import math
import threading
import time
from typing import Any, Callable, Dict, List, Sequence

import numpy as np
import zenoh

from . import wire
from .session import check_key, close, open_session

# How often the states are gathered and published (s): a batch holds the cycles since the last
# one. The ring they come from keeps RING_SECONDS, far more than a stalled poll misses.
POLL = 0.004
RING_SECONDS = 0.5
#: The longest client name accepted.
MAX_CLIENT = 64
# A commander's hold outlasts its time to live by the servo's fade (50 ms) and a margin, so
# that the servo fades the arm before the server drops the settings it fades from.
AFTER_TTL = 0.1


class Refused(Exception):
    """A command from a client that does not hold the arm."""


class Server:
    """Serves `servo` (made with record=, which the states come from) under `key`.

    `listen` and `connect` are Zenoh endpoints (see session.config); `session`, an open
    Zenoh session to use instead (the caller keeps closing it). `arms` is how many arms the
    servo drives. With `ros2`, the states also go out as ROS 2 messages (ros2.Bridge), in
    `domain`. start() starts the servo too; close() stops it, which leaves the arm limp.
    """

    def __init__(
        self,
        servo: Any,
        key: str,
        *,
        listen: Sequence[str] = (),
        connect: Sequence[str] = (),
        session: zenoh.Session | None = None,
        arms: int = 1,
        ros2: bool = False,
        domain: int = 0,
        on_stop: Callable[[str], None] | None = None,
    ) -> None:
        self.key = check_key(key)
        if not 1 <= arms <= 4:
            raise ValueError("a servo drives 1 to 4 arms")
        try:
            servo.recording()
        except RuntimeError:
            raise ValueError(
                "the served Servo must keep its cycles: make it with record=0.5 (or more)"
            ) from None
        self.servo = servo
        self.arms = arms
        self._listen = list(listen)
        self._connect = list(connect)
        self._session = session
        self._own_session = session is None
        self._ros2_wanted = ros2
        self._domain = domain
        self._on_stop = on_stop
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._entities: List[Any] = []
        self._publisher: zenoh.Publisher | None = None
        self.ros2: Any = None
        # Who commands, until when (time.monotonic()), and what it set.
        self._commander: str | None = None
        self._since = 0.0
        self._lease_until = 0.0
        self._last_seq: Dict[str, int] = {}
        self._effects: List[List[Any] | None] = [None] * arms
        self._params: List[float] | None = None
        self._couplings: List[Any] | None = None
        self._last_command_time: float | None = None
        # When the loop started, on time.monotonic()'s clock (the loop's own, steady): at most
        # the smallest gap seen between the clock and a fresh state's time, so a stalled loop
        # or a stale state never puts a command's time in the past.
        self._loop_started: float | None = None
        self.counters: Dict[str, int] = {
            "commands": 0,
            "refused": 0,
            "dropped": 0,
            "failed": 0,
            "expired": 0,
            "batches": 0,
            "states": 0,
        }
        self.stop_reason: str | None = None

    # -- life ------------------------------------------------------------------------------

    def start(self) -> None:
        if self._thread is not None:
            raise RuntimeError("the server has started already")
        if self._session is None:
            self._session = open_session(self._listen, self._connect)
        session = self._session
        try:
            self._publisher = session.declare_publisher(
                f"{self.key}/state", congestion_control=zenoh.CongestionControl.DROP
            )
            self._entities += [
                self._publisher,
                session.declare_queryable(f"{self.key}/cmd", self._on_command),
                session.declare_queryable(f"{self.key}/info", self._on_info),
                session.declare_queryable(f"{self.key}/stats", self._on_stats),
            ]
            if self._ros2_wanted:
                from .ros2 import Bridge

                self.ros2 = Bridge(session, self.key, self._domain, self._on_wrench)
            if not self.servo.running:
                self.servo.start()
        except BaseException:
            self._undeclare()
            raise
        self._thread = threading.Thread(target=self._run, name=f"serve {self.key}", daemon=True)
        self._thread.start()

    def close(self) -> None:
        """Stops publishing and answering, then the servo (the arm is left limp)."""
        self._stop.set()
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join()
        self._undeclare()
        self.servo.stop()

    def _undeclare(self) -> None:
        if self.ros2 is not None:
            self.ros2.close()
            self.ros2 = None
        for entity in reversed(self._entities):
            entity.undeclare()
        self._entities.clear()
        if self._own_session and self._session is not None:
            close(self._session)
            self._session = None

    def wait(self, timeout: float | None = None) -> bool:
        """Waits until the server stops by itself (its loop ended); True if it did."""
        return self._stop.wait(timeout)

    def __enter__(self) -> Server:
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- the states ------------------------------------------------------------------------

    def _run(self) -> None:
        last_cycle = 0
        while not self._stop.wait(POLL):
            try:
                last_cycle = self._publish(last_cycle)
                self._expire()
            except zenoh.ZError:
                # A session closed under the thread; close() is on its way.
                continue
            if not self.servo.running:
                reason: str = self.servo.stats().stop_reason or "stopped"
                self.stop_reason = reason
                self._publish(last_cycle)
                self._stop.set()
                if self._on_stop is not None:
                    self._on_stop(reason)
                return

    def _publish(self, last_cycle: int) -> int:
        recording = self.servo.recording()
        read = time.monotonic()  # after the rows were made: the gap below is never too small
        if len(recording) == 0:
            return last_cycle
        gap = read - float(recording.time.max())
        if self._loop_started is None or gap < self._loop_started:
            self._loop_started = gap
        cycles = recording.cycle
        fresh = cycles > last_cycle
        count = int(fresh.sum())
        if count == 0:
            return last_cycle
        columns = (
            cycles[fresh].astype(float)[:, None],
            recording.time[fresh][:, None],
            recording.position[fresh],
            recording.velocity[fresh],
            recording.force[fresh],
            recording.energy[fresh][:, None],
            recording.damping_added[fresh][:, None],
        )
        rows: List[List[float]] = np.hstack(columns).tolist()
        others: List[Any] = []
        for arm in range(1, self.arms):
            s = self.servo.state(arm)
            others.append(
                [arm, s.cycle, s.time, *s.position, *s.velocity, *s.force, s.energy]
                + [s.damping_added]
            )
        assert self._publisher is not None
        self._publisher.put(wire.encode_states(rows, others))
        if self.ros2 is not None:
            self.ros2.publish(rows)
        with self._lock:
            self.counters["batches"] += 1
            self.counters["states"] += count
        return int(cycles[fresh][-1])

    # -- commands --------------------------------------------------------------------------

    def _on_command(self, query: zenoh.Query) -> None:
        payload = query.payload.to_bytes() if query.payload is not None else b""
        try:
            message = wire.decode(payload)
            reply = self._apply(message)
        except wire.BadMessage as error:
            self._count("dropped")
            self._reply_error(query, f"malformed command, dropped: {error}")
        except Refused as error:
            self._count("refused")
            self._reply_error(query, str(error), refused=True)
        except Exception as error:  # the library refused a value: say which
            self._count("failed")
            self._reply_error(query, f"{type(error).__name__}: {error}")
        else:
            query.reply(query.key_expr, wire.encode(reply))

    @staticmethod
    def _reply_error(query: zenoh.Query, text: str, refused: bool = False) -> None:
        query.reply_err(wire.encode({"error": text, "refused": refused}))

    def _count(self, name: str) -> None:
        with self._lock:
            self.counters[name] += 1

    def _apply(self, message: Dict[str, Any]) -> Dict[str, Any]:
        op = message.get("op")
        client = message.get("client")
        if not isinstance(client, str) or not 0 < len(client) <= MAX_CLIENT:
            raise wire.BadMessage("a command names its client")
        seq = message.get("seq", 0)
        if isinstance(seq, bool) or not isinstance(seq, int):
            raise wire.BadMessage("seq must be a whole number")
        if op == "release":
            with self._lock:
                if self._commander == client:
                    self._let_go()
            return {"ok": True}
        # Everything is checked before anything is claimed or changed.
        ttl = wire.ttl_of(message.get("ttl", wire.DEFAULT_TTL))
        arm = 0
        value: Any = None
        ramp = 0.0
        if op == "effects":
            arm = message.get("arm", 0)
            if isinstance(arm, bool) or not isinstance(arm, int) or not 0 <= arm < self.arms:
                raise wire.BadMessage(f"arm must be from 0 to {self.arms - 1}")
            value = wire.effects_from_list(message.get("effects"))
        elif op == "params":
            value = wire.params_from_list(message.get("values"))
            ramp = wire.number(message.get("ramp", 0.0), "ramp")
        elif op == "couplings":
            value = wire.couplings_from_list(message.get("couplings"))
        elif op != "claim":
            raise wire.BadMessage(f"unknown command {op!r}")
        return self.command(client, op, ttl, seq=seq, arm=arm, value=value, ramp=ramp)

    def command(
        self,
        client: str,
        op: str,
        ttl: float,
        *,
        seq: int = 0,
        arm: int = 0,
        value: Any = None,
        ramp: float = 0.0,
    ) -> Dict[str, Any]:
        """Carries out a checked command from `client`, if it holds the arm or may take it;
        Refused otherwise."""
        with self._lock:
            now = time.monotonic()
            holder = self._commander
            if holder is not None and holder != client:
                if now <= self._lease_until:
                    raise Refused(
                        f"{self.key} is commanded by another client (for {now - self._since:.1f}"
                        " s): one client commands at a time, until it closes or stops "
                        "refreshing its commands"
                    )
                self._let_go()
                self.counters["expired"] += 1
            if seq < self._last_seq.get(client, -1):
                return {"ok": True, "stale": True}  # overtaken on the way: a newer one is in
            self._last_seq[client] = seq
            if self._commander != client:
                self._commander = client
                self._since = now
            self._lease_until = now + ttl + AFTER_TTL
            if op == "effects":
                self.servo.set_effects(value, ttl=ttl, arm=arm)
                self._effects[arm] = value
            elif op == "params":
                self.servo.set_params(value, ramp=ramp, ttl=ttl)
                self._params = value
            elif op == "couplings":
                self.servo.couplings = value
                self._couplings = value
            self.counters["commands"] += 1
            self._last_command_time = self._loop_time()
        return {"ok": True, "time": self._last_command_time}

    def _loop_time(self) -> float:
        """The loop's clock now (s since it started), as its states' times run."""
        if self._loop_started is None:
            return float(self.servo.state().time)
        return time.monotonic() - self._loop_started

    def _let_go(self) -> None:
        """Drops the commander's settings (under the lock): zero force from now on."""
        for arm, effects in enumerate(self._effects):
            if effects is not None:
                self.servo.set_effects([], arm=arm)
        if self._couplings is not None:
            self.servo.couplings = []
        if self._params is not None:
            self.servo.params = []
        self._effects = [None] * self.arms
        self._couplings = None
        self._params = None
        if self._commander is not None:
            self._last_seq.pop(self._commander, None)
        self._commander = None

    def _expire(self) -> None:
        # The servo has faded the arm already (its own ttl); this lets another client in, and
        # drops the couplings, which have no time to live of their own.
        with self._lock:
            if self._commander is not None and time.monotonic() > self._lease_until:
                self._let_go()
                self.counters["expired"] += 1

    def _on_wrench(self, force: wire.Vector) -> None:
        """A ROS 2 wrench command: a ConstantForce on arm 0, commanded as a client of its own."""
        if not all(math.isfinite(f) for f in force):
            self._count("dropped")
            return
        import ZelkorHardwareAPI as zh

        try:
            self.command(
                f"ros2:/{self.key}/wrench_command",
                "effects",
                wire.DEFAULT_TTL,
                value=[zh.ConstantForce(force)],
            )
        except Refused:
            self._count("refused")

    # -- queries ---------------------------------------------------------------------------

    def info(self) -> Dict[str, Any]:
        with self._lock:
            return {
                "key": self.key,
                "arms": self.arms,
                "rate_hz": self.servo.rate_hz,
                "max_force": self.servo.max_force,
                "commanded": self._commander is not None,
                "effects": [
                    wire.effects_to_list(self.servo_effects(arm)) for arm in range(self.arms)
                ],
                "params": list(self.servo.params),
                "couplings": [wire.coupling_to_dict(c) for c in self.servo.couplings],
                "ros2": self.ros2.topics() if self.ros2 is not None else None,
            }

    def servo_effects(self, arm: int) -> List[Any]:
        if arm == 0:
            return list(self.servo.effects)
        return list(self._effects[arm] or [])

    def stats(self) -> Dict[str, Any]:
        s: Any = self.servo.stats()
        members: Dict[str, Any] = dict(s.__class__.__dict__)
        # Every figure ServoStats has, as it has them.
        out: Dict[str, Any] = {
            name: getattr(s, name)
            for name, member in members.items()
            if isinstance(member, property) and not name.startswith("_")
        }
        for name, value in out.items():
            if isinstance(value, float) and not math.isfinite(value):
                out[name] = None
        with self._lock:
            out.update({f"server_{k}": v for k, v in self.counters.items()})
            out["commanded"] = self._commander is not None
            out["last_command_time"] = self._last_command_time
        if self.ros2 is not None:
            out.update({f"ros2_{k}": v for k, v in self.ros2.counters.items()})
        return out

    def _on_info(self, query: zenoh.Query) -> None:
        query.reply(query.key_expr, wire.encode(self.info()))

    def _on_stats(self, query: zenoh.Query) -> None:
        query.reply(query.key_expr, wire.encode(self.stats()))
