"""A served arm seen from another process or machine: zh.remote.connect(key, connect=...)."""

# pyright: reportUnknownMemberType=false, reportUnknownVariableType=false, reportUnknownArgumentType=false
# (Zenoh's stubs leave some methods' return types out)
from __future__ import annotations

import os
import threading
import time
import uuid
from dataclasses import dataclass, fields
from typing import Any, Callable, Dict, Iterable, List, Sequence, Tuple, Union

import zenoh

from . import wire
from .session import check_key, close, open_session

RemoteState = wire.State

_Endpoints = Union[str, Sequence[str], None]


class RemoteError(RuntimeError):
    """The server refused a command: another client commands the arm, or it refused a value."""


@dataclass(frozen=True)
class RemoteStats:
    """The served loop's figures (every one ServoStats has, as it has them), the server's
    counters and this client's own.

    The server's: `server_commands` carried out, `server_refused` (from clients that did not
    hold the arm), `server_dropped` (malformed, never carried out), `server_failed` (values the
    servo refused), `server_expired` (commanders whose time to live ran out), `commanded`, and
    `last_command_time` (the loop's time when the latest command was carried out, s).
    With ROS 2 on (zelkor serve --ros2): `ros2_published` cycles, `ros2_wrenches` taken in
    and `ros2_wrenches_dropped` (malformed).
    This client's: `states_received`, `states_missed` (cycles that never arrived) and
    `messages_dropped` (malformed state messages).
    """

    rate_hz: float = 0.0
    cycles: int = 0
    late_cycles: int = 0
    failed_exchanges: int = 0
    missed: int = 0
    stale_dropped: int = 0
    p50_us: float | None = None
    p99_us: float | None = None
    p999_us: float | None = None
    max_us: float | None = None
    stop_reason: str | None = None
    failure: str = ""
    left_limp: bool = False
    expired: int = 0
    server_commands: int = 0
    server_refused: int = 0
    server_dropped: int = 0
    server_failed: int = 0
    server_expired: int = 0
    server_batches: int = 0
    server_states: int = 0
    commanded: bool = False
    last_command_time: float | None = None
    ros2_published: int = 0
    ros2_wrenches: int = 0
    ros2_wrenches_dropped: int = 0
    states_received: int = 0
    states_missed: int = 0
    messages_dropped: int = 0


def _endpoints(value: _Endpoints) -> List[str]:
    if value is None:
        return []
    if isinstance(value, str):
        return [value]
    return list(value)


class RemoteServo:
    """A servo served by `zelkor serve` (or zelkor.remote.Server) under `key`.

    state() is the latest state received and never waits. The commands (set_effects,
    set_params, couplings) each carry a time to live, which this object refreshes from a thread
    of its own until close(); if it dies or the network drops, the server's loop fades the arm
    to zero within ttl + 50 ms. One client commands at a time: the first to ask, until it
    closes or its time to live runs out; a command from another raises RemoteError. Use it as
    a context manager, or call close().
    """

    def __init__(
        self,
        key: str,
        connect: _Endpoints = None,
        timeout: float = 5.0,
        *,
        listen: _Endpoints = None,
        session: zenoh.Session | None = None,
    ) -> None:
        self.key = check_key(key)
        if not 0 < timeout <= 3600:
            raise ValueError("timeout must be more than 0 and at most 3600 s")
        self.timeout = float(timeout)
        self.client_id = f"{os.getpid()}-{uuid.uuid4().hex[:16]}"
        self._lock = threading.Lock()
        self._latest: Dict[int, RemoteState] = {}
        self._counts = {"states_received": 0, "states_missed": 0, "messages_dropped": 0}
        self._last_cycle = 0
        self._watchers: List[Callable[[List[RemoteState]], None]] = []
        self._seq = 0
        self._held: Dict[Tuple[str, int], Tuple[Dict[str, Any], float, float]] = {}
        self._commanding = False
        self._error: BaseException | None = None
        self._closed = False
        self._wake = threading.Event()
        self._refresher: threading.Thread | None = None
        self._own_session = session is None
        points = _endpoints(connect)
        self._session = session or open_session(_endpoints(listen), points)
        try:
            self._subscriber = self._session.declare_subscriber(f"{key}/state", self._on_states)
            self.info = self._wait_for_server(points)
        except BaseException:
            self._shut()
            raise
        self.arms = int(self.info.get("arms", 1))

    # -- life ------------------------------------------------------------------------------

    def _wait_for_server(self, points: List[str]) -> Dict[str, Any]:
        end = time.monotonic() + self.timeout
        while True:
            left = end - time.monotonic()
            if left <= 0:
                where = ", ".join(points) or "no endpoint (connect= names one)"
                raise TimeoutError(
                    f"nobody serves {self.key!r}: no answer within {self.timeout:g} s "
                    f"through {where}"
                )
            # A session that is still connecting has nobody to ask yet: ask again shortly.
            answer = self._query("info", min(left, 0.5))
            if answer is not None:
                return answer
            time.sleep(min(0.05, max(end - time.monotonic(), 0.0)))

    def close(self) -> None:
        """Lets go of the arm (its force drops to zero at once) and closes the connection."""
        if self._closed:
            return
        self._closed = True
        self._wake.set()
        if self._refresher is not None:
            self._refresher.join()
        if self._commanding:
            with self._lock:
                payload = self._payload({"op": "release"})
            try:
                self._send(payload, wait=True, timeout=min(self.timeout, 1.0))
            except (TimeoutError, RemoteError, zenoh.ZError):
                pass  # the server lets go by itself once the time to live runs out
        self._shut()

    def _shut(self) -> None:
        if self._own_session:
            close(self._session)

    def __enter__(self) -> RemoteServo:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else ("commanding" if self._commanding else "watching")
        return f"<zelkor.remote.RemoteServo {self.key!r}, {state}>"

    # -- states ----------------------------------------------------------------------------

    def _on_states(self, sample: zenoh.Sample) -> None:
        try:
            states, others = wire.decode_states(sample.payload.to_bytes())
        except wire.BadMessage:
            with self._lock:
                self._counts["messages_dropped"] += 1
            return
        with self._lock:
            for state in states:
                if self._last_cycle and state.cycle > self._last_cycle + 1:
                    self._counts["states_missed"] += state.cycle - self._last_cycle - 1
                if state.cycle > self._last_cycle:
                    self._last_cycle = state.cycle
            self._counts["states_received"] += len(states)
            if states:
                self._latest[0] = states[-1]
            self._latest.update(others)
            watchers = list(self._watchers)
        for watcher in watchers:
            watcher(states)

    def state(self, arm: int = 0) -> RemoteState:
        """The latest state received of arm `arm` (cycle 0 and zeros before the first)."""
        with self._lock:
            return self._latest.get(arm, RemoteState())

    def watch(self, callback: Callable[[List[RemoteState]], None]) -> None:
        """Calls callback(states) with every batch of arm 0's states as it arrives (each
        cycle's, in order), on Zenoh's thread: keep it short."""
        with self._lock:
            self._watchers.append(callback)

    def stats(self) -> RemoteStats:
        """The server's figures and this client's counters; TimeoutError if the server does
        not answer within the time-out."""
        answer = self._query("stats", self.timeout)
        if answer is None:
            raise TimeoutError(f"{self.key!r} did not answer within {self.timeout:g} s")
        known = {f.name for f in fields(RemoteStats)}
        values = {k: v for k, v in answer.items() if k in known}
        with self._lock:
            values.update(self._counts)
        return RemoteStats(**values)

    def _query(self, what: str, timeout: float) -> Dict[str, Any] | None:
        replies: Iterable[zenoh.Reply] = self._session.get(f"{self.key}/{what}", timeout=timeout)
        for reply in replies:
            if reply.ok is not None:
                try:
                    return wire.decode(reply.ok.payload.to_bytes())
                except wire.BadMessage:
                    with self._lock:
                        self._counts["messages_dropped"] += 1
        return None

    # -- what is in force ------------------------------------------------------------------

    def _server_info(self) -> Dict[str, Any]:
        answer = self._query("info", self.timeout)
        if answer is None:
            raise TimeoutError(f"{self.key!r} did not answer within {self.timeout:g} s")
        return answer

    def effects_of(self, arm: int = 0) -> Tuple[Any, ...]:
        """The effects the served servo renders on arm `arm` now, remade from their
        parameters (asks the server)."""
        lists = self._server_info().get("effects", [])
        if not isinstance(lists, list) or not 0 <= arm < len(lists):  # pyright: ignore[reportUnknownArgumentType]
            raise ValueError(f"{self.key} serves arms 0 to {self.arms - 1}")
        return tuple(wire.effects_from_list(lists[arm]))

    @property
    def effects(self) -> Tuple[Any, ...]:
        """Arm 0's effects in force (asks the server); assigning sets them (set_effects)."""
        return self.effects_of(0)

    @effects.setter
    def effects(self, value: Iterable[Any]) -> None:
        self.set_effects(value)

    @property
    def params(self) -> Tuple[float, ...]:
        """The force law's parameters in force (asks the server); assigning sets them."""
        return tuple(wire.params_from_list(self._server_info().get("params", [])))

    @params.setter
    def params(self, value: Iterable[float]) -> None:
        self.set_params(value)

    @property
    def couplings(self) -> Tuple[Any, ...]:
        """The couplings between the served arms (asks the server); assigning sets them."""
        return tuple(wire.couplings_from_list(self._server_info().get("couplings", [])))

    @couplings.setter
    def couplings(self, value: Iterable[Any]) -> None:
        self.set_couplings(value)

    # -- commands --------------------------------------------------------------------------

    def set_effects(
        self, effects: Iterable[Any], ttl: float = wire.DEFAULT_TTL, arm: int = 0
    ) -> None:
        """Replaces arm `arm`'s effects, each sent by its parameters, with a time to live
        that this client refreshes until close(). RemoteError when another client commands
        the arm; TypeError for something that is not an effect."""
        if not 0 <= arm < self.arms:
            raise ValueError(f"{self.key} serves arms 0 to {self.arms - 1}")
        message = {"op": "effects", "arm": arm, "effects": wire.effects_to_list(list(effects))}
        self._command(("effects", arm), message, ttl)

    def set_params(
        self, values: Iterable[float], ramp: float = 0.0, ttl: float = wire.DEFAULT_TTL
    ) -> None:
        """Sets the force law's parameters (reached over `ramp` s), with a time to live."""
        numbers = [float(v) for v in values]
        wire.params_from_list(numbers)
        self._command(("params", 0), {"op": "params", "values": numbers, "ramp": ramp}, ttl)

    def set_couplings(self, couplings: Iterable[Any], ttl: float = wire.DEFAULT_TTL) -> None:
        """Sets the couplings between the served arms, with a time to live."""
        message = {"op": "couplings", "couplings": [wire.coupling_to_dict(c) for c in couplings]}
        self._command(("couplings", 0), message, ttl)

    def claim(self, ttl: float = wire.DEFAULT_TTL) -> None:
        """Takes the arm without changing what it renders; RemoteError if another holds it."""
        self._command(("claim", 0), {"op": "claim"}, ttl)

    def _command(self, slot: Tuple[str, int], message: Dict[str, Any], ttl: float) -> None:
        if self._closed:
            raise RuntimeError("this RemoteServo is closed")
        wire.ttl_of(ttl)
        with self._lock:
            error, self._error = self._error, None
        if error is not None:
            raise error
        message = {**message, "ttl": float(ttl)}
        # The first command waits for the server's word: refused, it raises here. Once the
        # arm is held, commands go without waiting; a refusal then raises at the next one.
        wait = not self._commanding
        with self._lock:
            payload = self._payload(message)
            if not wait:
                self._hold(slot, message, ttl)
        self._send(payload, wait)
        if wait:
            with self._lock:
                self._hold(slot, message, ttl)
            self._commanding = True
        if self._refresher is None:
            self._refresher = threading.Thread(
                target=self._refresh, name=f"refresh {self.key}", daemon=True
            )
            self._refresher.start()

    def _hold(self, slot: Tuple[str, int], message: Dict[str, Any], ttl: float) -> None:
        # A claim is held only until a command that changes something holds the arm instead.
        if slot[0] != "claim" or not self._held:
            self._held[slot] = (message, ttl, time.monotonic())

    def _payload(self, message: Dict[str, Any]) -> bytes:
        # Under the lock: the sequence number orders what this client sent, so that the
        # server never lets an older command overtake a newer one.
        self._seq += 1
        return wire.encode({**message, "client": self.client_id, "seq": self._seq})

    def _send(self, payload: bytes, wait: bool, timeout: float | None = None) -> None:
        key = f"{self.key}/cmd"
        limit = self.timeout if timeout is None else timeout
        if not wait:
            self._session.get(key, self._on_reply, payload=payload, timeout=limit)
            return
        answered = False
        replies: Iterable[zenoh.Reply] = self._session.get(key, payload=payload, timeout=limit)
        for reply in replies:
            answered = self._handle(reply) or answered
        with self._lock:
            error, self._error = self._error, None
        if error is not None:
            raise error
        if not answered:
            raise TimeoutError(f"{self.key!r} did not answer a command within {limit:g} s")

    def _on_reply(self, reply: zenoh.Reply) -> None:
        self._handle(reply)

    def _handle(self, reply: zenoh.Reply) -> bool:
        """Takes in a reply to a command: True if it came from the server (either way)."""
        if reply.ok is not None:
            return True
        error = reply.err
        if error is None:
            return False
        try:
            text = wire.decode(error.payload.to_bytes())
        except wire.BadMessage:
            return False  # Zenoh's own (a time-out): no word from the server
        refused = bool(text.get("refused"))
        with self._lock:
            self._error = RemoteError(str(text.get("error", "refused")))
            if refused:
                # Another client holds the arm: stop refreshing what no longer is in force.
                self._held.clear()
                self._commanding = False
        return True

    def _refresh(self) -> None:
        # Each held command goes again once a quarter of its time to live has passed since it
        # last went: four chances to arrive before the arm fades.
        while not self._wake.wait(0.01):
            now = time.monotonic()
            payloads: List[bytes] = []
            with self._lock:
                for slot, (message, ttl, sent) in list(self._held.items()):
                    if now - sent >= ttl / 4:
                        payloads.append(self._payload(message))
                        self._held[slot] = (message, ttl, now)
            for payload in payloads:
                try:
                    self._send(payload, wait=False)
                except zenoh.ZError:
                    return  # the session closed under this thread
