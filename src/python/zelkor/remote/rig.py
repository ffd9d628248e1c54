"""A teleoperation rig on one machine, for tests, benchmarks and trying it out: two simulated
arms, each served by `zelkor serve`, a delaying relay between the two sides, and the two ends
of `zelkor teleop`, every one a process of its own, talking over Unix sockets of the rig's own.

    python -m zelkor.remote.rig --delay 0.05 --loss 0.01 --jitter 0.005 --scenario wall

A hand on the leader's simulator moves it: around a circle 1 cm across ("free"), or pulled
down through the follower's wall 5 mm below ("wall"). The rig checks the relay by pings first,
then runs both ends and reports: the delay, loss and jitter measured, the follower's tracking
of the leader (RMS, the clocks aligned), the follower's swing over the last second, and each
end's passivity observer.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import shutil
import signal
import subprocess
import sys
import tempfile
from contextlib import ExitStack
from typing import Any, Dict, List, Sequence

HOME = (0.28284271, 0.0, 0.0)  # the simulated end-effector at rest, m
ARM = ("--arm-mass", "0.1", "--arm-damping", "2")
WALL_BELOW = 0.005  # m: the follower's wall below its start
WALL_STIFFNESS = 500.0  # N/m
PRESS = 0.01  # m: how far past the wall the leader's hand goes


def _circle(path: str, seconds: float, radius: float = 0.005, hz: float = 0.5) -> None:
    with open(path, "w") as out:
        out.write("time,x,y,z\n")
        for i in range(int(seconds * 100) + 1):
            t = i / 100
            angle = 2 * math.pi * hz * t
            y = radius * math.sin(angle)
            z = radius * (math.cos(angle) - 1.0)
            out.write(f"{t},{HOME[0]},{HOME[1] + y},{HOME[2] + z}\n")


def _descent(path: str, seconds: float, depth: float, over: float = 1.5) -> None:
    """A path for the leader's hand: smoothly down by `depth` over `over` seconds (an
    operator pressing into the wall), then held there."""
    with open(path, "w") as out:
        out.write("time,x,y,z\n")
        for i in range(int(seconds * 100) + 1):
            t = i / 100
            u = min(t / over, 1.0)
            z = HOME[2] - depth * u * u * u * (10 - 15 * u + 6 * u * u)
            out.write(f"{t},{HOME[0]},{HOME[1]},{z}\n")


def _start(command: List[str], what: str) -> subprocess.Popen[str]:
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert process.stdout is not None
    line = process.stdout.readline()
    if not line:
        process.wait()
        raise RuntimeError(
            f"{what} did not start: {process.stderr.read() if process.stderr else ''}"
        )
    return process


def _end(process: subprocess.Popen[str], what: str, timeout: float = 60.0) -> str:
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
    out, err = process.communicate(timeout=timeout)
    if process.returncode != 0:
        raise RuntimeError(f"{what} exited {process.returncode}: {err.strip()}")
    return out


def tracking_rms(
    leader: List[List[float]], follower: List[List[float]], skip: float, lag: float = 0.0
) -> float:
    """The RMS distance (m) between the arms at the same wall-clock times, after `skip` s:
    the follower's trace interpolated at the leader's; with `lag`, the follower's position
    `lag` s after the leader's (what it was sent, once the network has carried it)."""
    if len(leader) < 2 or len(follower) < 2:
        return math.nan
    follower = [[row[0] - lag, *row[1:]] for row in follower]
    start = max(leader[0][0], follower[0][0]) + skip
    end = min(leader[-1][0], follower[-1][0])
    squares: List[float] = []
    j = 0
    for t, *x in leader:
        if not start <= t <= end:
            continue
        while j + 1 < len(follower) and follower[j + 1][0] < t:
            j += 1
        if j + 1 >= len(follower):
            break
        (t0, *a), (t1, *b) = follower[j], follower[j + 1]
        w = 0.0 if t1 <= t0 else min(max((t - t0) / (t1 - t0), 0.0), 1.0)
        y = [a[i] + w * (b[i] - a[i]) for i in range(3)]
        squares.append(sum((x[i] - y[i]) ** 2 for i in range(3)))
    return math.sqrt(sum(squares) / len(squares)) if squares else math.nan


def swing(trace: List[List[float]], seconds: float = 1.0) -> float:
    """Peak to peak (m) of the height over the trace's last `seconds`."""
    if not trace:
        return math.nan
    last = trace[-1][0]
    zs = [row[3] for row in trace if row[0] >= last - seconds]
    return max(zs) - min(zs)


def run(
    delay: float,
    loss: float,
    jitter: float,
    *,
    scenario: str = "wall",
    seconds: float = 4.0,
    passivity: bool = True,
    pings: int = 200,
    seed: int = 1,
    stiffness: float = 200.0,
    damping: float = 0.5,
) -> Dict[str, Any]:
    """Builds the rig, checks the relay, runs the ends for `seconds`, tears it all down, and
    returns the figures (see the module's docstring)."""
    from zelkor_sim import Simulator

    from .relay import measure

    if scenario not in ("free", "wall"):
        raise ValueError("scenario is free or wall")
    python = sys.executable
    folder = tempfile.mkdtemp(prefix="zrig")
    socket = {name: f"unixsock-stream/{folder}/{name}.sock" for name in ("l", "f", "a", "b")}
    figures: Dict[str, Any] = {
        "delay": delay,
        "loss": loss,
        "jitter": jitter,
        "scenario": scenario,
        "passivity": passivity,
    }
    try:
        with ExitStack() as stack:
            hand = os.path.join(folder, "hand.csv")
            if scenario == "free":
                _circle(hand, seconds + 30.0)
            else:
                _descent(hand, seconds + 30.0, WALL_BELOW + PRESS)
            lead = stack.enter_context(Simulator("arbelon", *ARM, hand=hand))
            follow = stack.enter_context(Simulator("arbelon", *ARM))
            processes: List[Any] = []

            def started(command: List[str], what: str) -> subprocess.Popen[str]:
                process = _start(command, what)
                processes.append((process, what))
                return process

            def stop_all() -> None:
                for process, _what in reversed(processes):
                    if process.poll() is None:
                        process.kill()
                    process.communicate()

            stack.callback(stop_all)
            for side, sim in (("l", lead), ("f", follow)):
                started(
                    [python, "-m", "zelkor", "serve", sim.port, "--key", f"rig/{side}"]
                    + ["--listen", socket[side]]
                    # However loaded the machine: the loops wait for late replies.
                    + ["--reply-timeout", "0.2", "--give-up-after", "30"],
                    f"the server of {side}",
                )
            relay = started(
                [python, "-m", "zelkor.remote.relay", "--key", "rig", "--a", socket["a"]]
                + ["--b", socket["b"], "--delay", str(delay), "--loss", str(loss)]
                + ["--jitter", str(jitter), "--seed", str(seed)],
                "the relay",
            )
            figures["measured"] = measure("rig/check", socket["a"], socket["b"], count=pings)
            common = ["--link", "rig/pair", "--seconds", str(seconds), "--json"]
            common += ["--stiffness", str(stiffness), "--damping", str(damping)]
            if not passivity:
                common.append("--no-passivity")
            ends: Dict[str, subprocess.Popen[str]] = {}
            for role, side, relay_side in (("leader", "l", "a"), ("follower", "f", "b")):
                extra = ["--wall", str(HOME[2] - WALL_BELOW), str(WALL_STIFFNESS)]
                ends[role] = subprocess.Popen(
                    [python, "-m", "zelkor", "teleop", role, "--arm", f"rig/{side}"]
                    + ["--connect", socket[side], "--connect", socket[relay_side]]
                    + common
                    + (extra if role == "follower" and scenario == "wall" else []),
                    stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE,
                    text=True,
                )
            results: Dict[str, Dict[str, Any]] = {}
            for role, process in ends.items():
                out, err = process.communicate(timeout=seconds + 120.0)
                if process.returncode != 0:
                    raise RuntimeError(f"the {role} exited {process.returncode}: {err.strip()}")
                results[role] = json.loads(out)
            figures["relayed"] = json.loads(_end(relay, "the relay").strip().splitlines()[-1])
            processes.remove((relay, "the relay"))
            for process, what in list(processes):
                _end(process, what)
                processes.remove((process, what))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    leader, follower = results["leader"], results["follower"]
    figures["tracking_rms"] = tracking_rms(leader["trace"], follower["trace"], skip=1.0)
    figures["tracking_rms_lagged"] = tracking_rms(
        leader["trace"], follower["trace"], skip=1.0, lag=figures["measured"]["one_way"]
    )
    figures["swing"] = swing(follower["trace"])
    figures["leader_end"] = leader["trace"][-1][1:] if leader["trace"] else None
    figures["follower_end"] = follower["trace"][-1][1:] if follower["trace"] else None
    figures["wall_z"] = HOME[2] - WALL_BELOW
    for role, result in results.items():
        figures[role] = {k: v for k, v in result.items() if k != "trace"}
    return figures


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m zelkor.remote.rig", description=__doc__)
    parser.add_argument("--delay", type=float, default=0.05, help="s, one way")
    parser.add_argument("--loss", type=float, default=0.01)
    parser.add_argument("--jitter", type=float, default=0.005, help="s")
    parser.add_argument("--scenario", choices=("free", "wall"), default="wall")
    parser.add_argument("--seconds", type=float, default=4.0)
    parser.add_argument("--no-passivity", action="store_true")
    args = parser.parse_args(argv)
    figures = run(
        args.delay,
        args.loss,
        args.jitter,
        scenario=args.scenario,
        seconds=args.seconds,
        passivity=not args.no_passivity,
    )
    print(json.dumps(figures, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
