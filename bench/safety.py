"""The servo's guards against their targets, in the simulator:

- a wall at 3 times the stable stiffness, with and without the passivity controller (the
  simulator in its own time, one step per request, so the figures do not depend on the load):
  the swing over the last second, when the swing first stays under 0.05 mm, and the energy the
  observer is left with;
- a 200 ms stall of the Python thread that refreshes a ttl=0.05 target: how long after the
  expiry the force is under 0.05 N (the servo's own clock);
- teleoperation at 1 kHz: the follower's distance from the leader on a recorded circle, and
  its swing against a stiff wall with and without the controller (examples/teleoperation.py).

    python bench/safety.py [--smoke]
"""

import argparse
import os
import sys
import tempfile
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sim"))
sys.path.insert(0, os.path.join(HERE, "..", "examples"))
import teleoperation  # noqa: E402
import ZelkorHardwareAPI as zh  # noqa: E402
from targets import print_targets  # noqa: E402  (this folder: the script's own)
from zelkor_sim import Simulator  # noqa: E402

HOME = teleoperation.HOME
PERIOD = 0.001
# The arm: 0.1 kg and 1 N s/m at the end-effector; the hand's grip adds 1 N s/m. A force answers
# a state a period old and holds for a period: the stiffest stable wall is 2 b / (3 T).
STABLE = 2 * (1.0 + 1.0) / (3 * PERIOD)
WALL_Y = HOME[1] - 0.002
HAND = f"spring:200,1,{HOME[0]},{HOME[1] - 0.012},{HOME[2]}"


def wall(passivity, cycles):
    """The 3x wall: (swing over the last second in m, seconds from contact until every 50-cycle
    window is under 0.05 mm, the observer's energy at the end in J)."""
    options = ("--fixed-dt", str(PERIOD), "--arm-mass", "0.1", "--arm-damping", "1")
    with Simulator("arbelon", *options, hand=HAND) as sim:
        servo = zh.Servo(
            zh.Arbelon(zh.SerialStream(sim.port)),
            1000.0,
            max_force=10.0,
            reply_timeout=1.0,
            give_up_after=5.0,
            soft_start=0.0,
            passivity=passivity,
            record=cycles / 1000.0 + 2.0,
        )
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the point is a wall stiffer than stable
            servo.effects = [zh.Wall((0, 1, 0), WALL_Y, 3 * STABLE)]
        end = time.monotonic() + 300
        with servo:
            while servo.state().cycle < cycles and time.monotonic() < end:
                time.sleep(0.05)
        run = servo.recording()
    y = run.position[:, 1]
    swing = float(np.ptp(y[-1000:]))
    contact = int(np.argmax(y < WALL_Y))
    windows = [np.ptp(y[s : s + 50]) for s in range(contact, len(y) - 50, 50)]
    settled = next((i for i in range(len(windows)) if all(w < 0.00005 for w in windows[i:])), None)
    settle = None if settled is None else settled * 50 * PERIOD
    return swing, settle, float(run.energy[-1])


def stall():
    """Seconds from a ttl=0.05 target's expiry, after a 200 ms stall, until the force is under
    0.05 N; the expiries counted."""
    with Simulator("arbelon") as sim:
        servo = zh.Servo(zh.Arbelon(zh.SerialStream(sim.port)), 1000.0, soft_start=0.0, record=5)
        push = [zh.ConstantForce((0.0, 0.0, 1.0))]
        with servo:
            for _ in range(50):
                servo.set_effects(push, ttl=0.05)
                time.sleep(0.01)
            last = servo.state().time  # the last refresh, on the servo's clock
            time.sleep(0.2)
        run = servo.recording()
    expiry = last + 0.05
    after = run.time >= expiry
    under = np.flatnonzero(after & (np.linalg.norm(run.force, axis=1) < 0.05))
    return (float(run.time[under[0]] - expiry) if under.size else None), servo.stats().expired


def teleop(seconds):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "path.csv")
        teleoperation.write_circle(path, seconds + 1.0)
        step = ("--fixed-dt", str(PERIOD))
        with Simulator("arbelon", *step, "--hand", path) as lead, Simulator(
            "arbelon", *step
        ) as follow:
            tracking = teleoperation.run(lead.port, follow.port, seconds)
    swings = []
    for passivity in (False, True):
        hand = f"spring:100,1,{HOME[0]},{HOME[1]},{HOME[2] - 0.022}"
        with Simulator("arbelon", *step, "--hand", hand) as lead, Simulator(
            "arbelon", *step
        ) as follow:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                swings.append(
                    teleoperation.run(
                        lead.port, follow.port, seconds, passivity=passivity, wall=0.002
                    ).swing
                )
    return tracking.tracking_rms, swings


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--smoke", action="store_true", help="short runs")
    args = parser.parse_args()
    cycles = 2000 if args.smoke else 5000
    ringing, _, _ = wall(False, cycles)
    kept, settle, energy = wall(True, cycles)
    late, expired = stall()
    rms, (free_swing, kept_swing) = teleop(1.5 if args.smoke else 3.0)
    mm = 1e3
    print("\nSafety (the simulator; the walls and teleoperation in its own time)\n")
    print("| figure | value |\n|---|---|")
    print(f"| 3x wall without the controller: swing over the last second | {ringing * mm:.3f} mm |")
    print(f"| 3x wall with it: swing over the last second | {kept * mm:.4f} mm |")
    print(
        "| with it: from contact until every 50-cycle window is under 0.05 mm | "
        + ("never" if settle is None else f"{settle:.2f} s")
        + " |"
    )
    print(f"| with it: the observer's energy at the end | {energy * 1e3:+.3f} mJ |")
    print(
        "| a 200 ms stall, ttl 0.05 s: from the expiry to a force under 0.05 N | "
        + ("never" if late is None else f"{late * 1e3:.0f} ms")
        + f" ({expired} expiries) |"
    )
    print(f"| teleoperation: follower from leader on a 1 cm circle | {rms * mm:.3f} mm RMS |")
    print(
        f"| teleoperation against a 3x wall: follower's swing without, with the controller | "
        f"{free_swing * mm:.3f}, {kept_swing * mm:.4f} mm |"
    )
    targets = [
        ("without the controller the 3x wall rings (>= 0.5 mm)", ringing >= 0.0005),
        (
            "with it the swing falls under 0.05 mm within 0.2 s",
            settle is not None and settle <= 0.2,
        ),
        ("with it the observer ends with nothing to take back (>= 0)", energy >= 0.0),
        (
            "the stalled target's force is under 0.05 N within 60 ms",
            late is not None and late <= 0.06,
        ),
        ("the follower tracks within 2 mm RMS", rms < 0.002),
        ("with the controller no oscillation at the follower's wall", kept_swing < 0.00005),
    ]
    print_targets(targets, not args.smoke)


if __name__ == "__main__":
    main()
