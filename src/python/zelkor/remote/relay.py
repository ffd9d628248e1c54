"""A delaying relay: a network of known delay, loss and jitter, made on loopback where the
kernel has no netem.

    python -m zelkor.remote.relay --key lab/pair --a unixsock-stream/tmp/a.sock \\
        --b unixsock-stream/tmp/b.sock --delay 0.05 --loss 0.01 --jitter 0.005

The relay listens on two endpoints, A and B, each a Zenoh network of its own (the peers on one
side connect to A, those on the other to B; scouting is off, so the two never meet but through
the relay). Every message published under KEY on one side is held, then published on the
other: each is dropped with the chance LOSS, and held DELAY plus a uniform amount within
+-JITTER (so messages may overtake each other, as on a network). It prints one line once
ready; SIGINT or SIGTERM end it, printing what it forwarded and dropped.

measure() sends pings through a relay and back, so that a test or a benchmark checks that the
delay, loss and jitter are what it asked for.
"""

# pyright: reportUnknownMemberType=false
# (Zenoh's stubs leave some methods' return types out)
from __future__ import annotations

import argparse
import heapq
import json
import random
import signal
import statistics
import sys
import threading
import time
from typing import Any, Callable, Dict, List, Sequence, Tuple

import zenoh

from .session import check_key, close, open_session, undeclare


class Relay:
    """Holds, drops and jitters the messages under `key` between the Zenoh networks on
    endpoints a and b. start() and close(); one thread of its own sends what is due."""

    def __init__(
        self,
        key: str,
        a: str,
        b: str,
        delay: float,
        loss: float,
        jitter: float,
        seed: int | None = None,
    ) -> None:
        check_key(key)
        if not 0 <= delay <= 10 or not 0 <= loss < 1 or not 0 <= jitter <= delay + 1:
            raise ValueError("delay in [0, 10] s, loss in [0, 1), jitter in [0, delay + 1] s")
        self.key = key
        self.endpoints = (a, b)
        self.delay = delay
        self.loss = loss
        self.jitter = jitter
        self._random = random.Random(seed)
        self._heap: List[Tuple[float, int, Any, str, bytes]] = []
        self._order = 0
        self._cond = threading.Condition()
        self._closed = False
        self._sessions: List[zenoh.Session] = []
        self._entities: List[Any] = []
        self._thread: threading.Thread | None = None
        self.counts: Dict[str, int] = {"a_to_b": 0, "b_to_a": 0, "dropped": 0}

    def start(self) -> None:
        try:
            for endpoint in self.endpoints:
                self._sessions.append(open_session(listen=[endpoint]))
            a, b = self._sessions
            for source, target, name in ((a, b, "a_to_b"), (b, a, "b_to_a")):
                self._entities.append(
                    source.declare_subscriber(
                        f"{self.key}/**",
                        self._taker(target, name),
                        # What the relay itself publishes on a side is not taken back in.
                        allowed_origin=zenoh.Locality.REMOTE,
                    )
                )
        except BaseException:
            self.close()
            raise
        self._thread = threading.Thread(target=self._send, name="relay", daemon=True)
        self._thread.start()

    def _taker(self, target: zenoh.Session, name: str) -> Callable[[zenoh.Sample], None]:
        return lambda sample: self._take(sample, target, name)

    def _take(self, sample: zenoh.Sample, target: zenoh.Session, name: str) -> None:
        with self._cond:
            if self._random.random() < self.loss:
                self.counts["dropped"] += 1
                return
            hold = self.delay + self._random.uniform(-self.jitter, self.jitter)
            due = time.monotonic() + max(hold, 0.0)
            self._order += 1
            heapq.heappush(
                self._heap,
                (due, self._order, target, str(sample.key_expr), sample.payload.to_bytes()),
            )
            self.counts[name] += 1
            self._cond.notify()

    def _send(self) -> None:
        while True:
            with self._cond:
                while not self._closed:
                    wait = self._heap[0][0] - time.monotonic() if self._heap else None
                    if wait is not None and wait <= 0:
                        break
                    self._cond.wait(wait)
                if self._closed:
                    return
                _, _, target, key, payload = heapq.heappop(self._heap)
            try:
                target.put(key, payload)
            except zenoh.ZError:
                return  # closing

    def close(self) -> None:
        with self._cond:
            self._closed = True
            self._cond.notify()
        if self._thread is not None:
            self._thread.join()
        for entity in self._entities:
            undeclare(entity)
        for session in self._sessions:
            close(session)
        self._entities.clear()
        self._sessions.clear()

    def __enter__(self) -> Relay:
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def measure(
    key: str, a: str, b: str, count: int = 300, rate: float = 100.0, settle: float = 1.0
) -> Dict[str, float]:
    """Pings through the relay between endpoints a and b under key/ping (an echo on the b
    side answers under key/pong) and returns what the round trips show: `one_way` (half the
    median round trip, s), `jitter` (the round trips' interquartile range, s: a relay's
    +-J, crossed twice, makes it 1.17 J), `lost` (the share of pings with no answer: about
    twice the relay's loss), `pings`."""
    check_key(key)
    pinger = open_session(connect=[a])
    echo = open_session(connect=[b])
    sent: Dict[int, float] = {}
    back: Dict[int, float] = {}
    lock = threading.Lock()

    def answer(sample: zenoh.Sample) -> None:
        echo.put(f"{key}/pong", sample.payload.to_bytes())

    def heard(sample: zenoh.Sample) -> None:
        now = time.monotonic()
        seq = int(sample.payload.to_bytes())
        with lock:
            back.setdefault(seq, now)

    entities = [
        echo.declare_subscriber(f"{key}/ping", answer),
        pinger.declare_subscriber(f"{key}/pong", heard),
    ]
    try:
        time.sleep(settle)  # the sessions find the relay
        for seq in range(count):
            with lock:
                sent[seq] = time.monotonic()
            pinger.put(f"{key}/ping", str(seq).encode())
            time.sleep(1.0 / rate)
        time.sleep(settle)
    finally:
        for entity in entities:
            undeclare(entity)
        close(pinger)
        close(echo)
    trips = sorted(back[seq] - sent[seq] for seq in back if seq in sent)
    if len(trips) < 4:
        raise RuntimeError(f"{len(trips)} of {count} pings came back through the relay")
    # Quartiles, not a standard deviation: a stall of this machine holds a few pings for tens
    # of milliseconds, which would swamp a deviation and tell nothing of the relay.
    quarter, three = trips[len(trips) // 4], trips[(3 * len(trips)) // 4]
    return {
        "one_way": statistics.median(trips) / 2,
        "jitter": three - quarter,
        "lost": 1.0 - len(trips) / count,
        "pings": float(count),
    }


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m zelkor.remote.relay", description=__doc__)
    parser.add_argument("--key", required=True)
    parser.add_argument("--a", required=True, metavar="ENDPOINT")
    parser.add_argument("--b", required=True, metavar="ENDPOINT")
    parser.add_argument("--delay", type=float, default=0.0, help="s, one way")
    parser.add_argument("--loss", type=float, default=0.0, help="the chance of a drop")
    parser.add_argument("--jitter", type=float, default=0.0, help="s, +- uniform")
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args(argv)
    stop = threading.Event()

    def handler(signum: int, frame: Any) -> None:
        stop.set()

    signal.signal(signal.SIGINT, handler)
    signal.signal(signal.SIGTERM, handler)
    try:
        relay = Relay(args.key, args.a, args.b, args.delay, args.loss, args.jitter, args.seed)
        relay.start()
    except (ValueError, RuntimeError) as error:
        print(f"relay: {error}", file=sys.stderr)
        return 1
    print(
        f"relaying {args.key} between {args.a} and {args.b}: {args.delay:g} s, "
        f"{args.loss:g} lost, +-{args.jitter:g} s",
        flush=True,
    )
    while not stop.wait(0.5):
        pass
    relay.close()
    print(json.dumps(relay.counts), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
