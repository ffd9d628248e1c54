"""Teleoperation: two arms in one servo, coupled by a virtual spring-damper.

A hand moves the leader; the coupling pulls the follower after it, and whatever the follower
touches pushes back on the leader, so the hand feels it. The servo drives both arms in one
cycle, one exchange each, and with --passivity keeps each arm's force passive: a stiff wall
on the follower's side then stops it without the buzz a delayed loop otherwise gives it.

Without --leader and --follower it starts two simulators, each in its own time (one step per
request): a virtual hand carries the leader along a recorded path (--path FILE, CSV or .npz as
the simulator reads them; by default a circle 1 cm across, written for the run), and the
follower starts where the leader does. --wall puts a wall that much (m) below the follower's
start, stiffer than the loop renders stably, and pulls the leader's hand down through it.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import tempfile
import time
from contextlib import ExitStack
from dataclasses import dataclass

import ZelkorHardwareAPI as zh

try:
    from zelkor_sim import port_or_simulator
except ImportError:  # not installed: run it from the source tree
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
    from zelkor_sim import port_or_simulator

HOME = (0.28284271, 0.0, 0.0)  # the simulated end-effector at rest, m
PERIOD = 0.001  # s: the loop's, and the simulators' step


@dataclass
class Result:
    cycles: int
    tracking_rms: float  # m: follower from leader
    swing: float  # m: the follower's peak to peak over the last half second
    energy: float  # J: the follower's, as the passivity observer saw it
    stop_reason: str | None


def write_circle(path: str, seconds: float, radius: float = 0.005, hz: float = 0.5) -> None:
    """A path for the leader's hand: around a circle in the y-z plane, starting at home."""
    with open(path, "w") as out:
        out.write("time,x,y,z\n")
        for i in range(int(seconds * 100) + 1):
            t = i / 100
            angle = 2 * math.pi * hz * t
            y = radius * math.sin(angle)
            z = radius * (math.cos(angle) - 1.0)
            out.write(f"{t},{HOME[0]},{HOME[1] + y},{HOME[2] + z}\n")


def run(
    leader_port: str,
    follower_port: str,
    seconds: float,
    stiffness: float = 300.0,
    damping: float = 3.0,
    passivity: bool = False,
    wall: float | None = None,
) -> Result:
    leader = zh.Arbelon(zh.SerialStream(leader_port))
    follower = zh.Arbelon(zh.SerialStream(follower_port))
    servo = zh.Servo(
        [leader, follower],
        1000.0,
        max_force=10.0,
        reply_timeout=1.0,  # in the simulators' own time a late reply is waited for
        give_up_after=5.0,
        soft_start=0.0,
        passivity=passivity,
    )
    servo.couplings = [zh.Coupling(0, 1, stiffness, damping)]
    if wall is not None:
        stiff = 3.0 * servo.stable_stiffness()
        servo.set_effects([zh.Wall((0, 0, 1), HOME[2] - wall, stiff)], arm=1)
    squares, samples, last_cycle = 0.0, 0, -1
    zs: list[float] = []
    with servo:
        end = time.monotonic() + 60.0 * seconds  # however loaded the machine
        while servo.running and time.monotonic() < end:
            lead, follow = servo.state(0), servo.state(1)
            if lead.cycle >= seconds / PERIOD:
                break
            if lead.cycle != last_cycle and lead.cycle > 0 and follow.cycle > 0:
                last_cycle = lead.cycle
                squares += math.dist(lead.position, follow.position) ** 2
                samples += 1
                if lead.cycle > (seconds - 0.5) / PERIOD:
                    zs.append(follow.position[2])
            time.sleep(0.0005)
        energy = servo.state(1).energy
    stats = servo.stats()
    return Result(
        stats.cycles,
        math.sqrt(squares / max(samples, 1)),
        max(zs) - min(zs) if zs else math.nan,
        energy,
        stats.stop_reason,
    )


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--leader", help="the leader's port (default: a simulator)")
    parser.add_argument("--follower", help="the follower's port (default: a simulator)")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--path", help="the leader's hand's path (simulated; default a circle)")
    parser.add_argument("--stiffness", type=float, default=300.0, help="N/m (default 300)")
    parser.add_argument("--damping", type=float, default=3.0, help="N s/m (default 3)")
    parser.add_argument("--passivity", action="store_true", help="the passivity controller")
    parser.add_argument("--wall", type=float, help="m below the follower's start")
    args = parser.parse_args()
    step = ("--fixed-dt", str(PERIOD))
    with ExitStack() as stack:
        if args.wall is not None:  # pulled down, 2 cm past the wall
            target = f"{HOME[0]},{HOME[1]},{HOME[2] - args.wall - 0.02}"
            hand = ("--hand", f"spring:100,1,{target}")
        else:
            path = args.path
            if path is None:
                path = os.path.join(stack.enter_context(tempfile.TemporaryDirectory()), "path.csv")
                write_circle(path, args.seconds + 1.0)
            hand = ("--hand", path)
        lead = stack.enter_context(port_or_simulator(args.leader, "arbelon", *step, *hand))
        follow = stack.enter_context(port_or_simulator(args.follower, "arbelon", *step))
        result = run(
            lead, follow, args.seconds, args.stiffness, args.damping, args.passivity, args.wall
        )
    print(
        f"{result.cycles} cycles; follower from leader {result.tracking_rms * 1e3:.2f} mm RMS; "
        f"follower's swing over the last half second {result.swing * 1e3:.3f} mm; "
        f"stopped: {result.stop_reason}"
    )


if __name__ == "__main__":
    main()
