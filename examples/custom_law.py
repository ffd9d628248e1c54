"""A force law of your own, written in Python, running in the servo's thread at 1 kHz.

The law renders a textured sphere: a stiff ball whose surface carries bumps along x, so the
end-effector feels ridges as it slides over it. It is compiled with Numba (pip install
"ZelkorHardwareAPI[jit]") by the @zh.force_law decorator into a C function, and the servo
calls it every cycle without the interpreter lock: this script is free to move the sphere
about, here at 100 Hz along a circle, through set_params(..., ramp=...), which the loop turns
into a smooth motion at its own rate.

Without --port it starts the device simulator, whose simulated hand holds the end-effector
on the sphere: a spring that pulls it down, 1 cm below where it rests, into the sphere's top
5 mm below.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from typing import MutableSequence, Sequence

import ZelkorHardwareAPI as zh

try:
    from zelkor_sim import port_or_simulator
except ImportError:  # not installed: run it from the source tree
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
    from zelkor_sim import port_or_simulator

# The law's parameters (Servo.params): where the sphere is and what it feels like.
CX, CY, CZ, RADIUS, STIFFNESS, RIDGES, BUMP, DAMPING = range(8)


@zh.force_law
def textured_sphere(
    t: float,
    position: Sequence[float],
    velocity: Sequence[float],
    previous_force: Sequence[float],
    params: Sequence[float],
    force: MutableSequence[float],
) -> None:
    """Pushes the end-effector out of a sphere, harder on the ridges (params, above)."""
    dx = position[0] - params[CX]
    dy = position[1] - params[CY]
    dz = position[2] - params[CZ]
    r = math.sqrt(dx * dx + dy * dy + dz * dz)
    depth = params[RADIUS] - r
    if depth <= 0.0 or r == 0.0:
        return
    texture = 1.0 + params[BUMP] * math.sin(params[RIDGES] * position[0])
    push = params[STIFFNESS] * depth * texture
    force[0] = push * dx / r - params[DAMPING] * velocity[0]
    force[1] = push * dy / r - params[DAMPING] * velocity[1]
    force[2] = push * dz / r - params[DAMPING] * velocity[2]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", help="a real device's port (default: the simulator)")
    parser.add_argument("--seconds", type=float, default=3.0)
    args = parser.parse_args()
    # The simulated arm rests at (0.283, 0, 0) m: the hand pulls it 1 cm down, at 200 N/m.
    hand = ["--hand", "spring:200,4,0.283,0,-0.01"]
    with port_or_simulator(args.port, "arbelon", *hand) as port:
        arm = zh.Arbelon(zh.SerialStream.open(port))
        (x0, y0, z0), _ = arm.end_effector_force([0.0, 0.0, 0.0])
        # The sphere's top 5 mm below the end-effector, never around it: a sphere the arm
        # starts inside throws it out at the servo's full force.
        centre = (x0, y0, z0 - 0.035)
        servo = zh.Servo(arm, 1000.0, max_force=5.0)
        servo.force_law = textured_sphere
        servo.params = [*centre, 0.03, 1500.0, 600.0, 0.3, 3.0]
        deepest = 0.0
        with servo:
            start = time.monotonic()
            while (t := time.monotonic() - start) < args.seconds and servo.running:
                # 100 Hz from Python: a new centre each 10 ms, reached smoothly in 10 ms.
                angle = 2 * math.pi * 0.5 * t
                moved = (centre[0] + 0.01 * math.cos(angle), centre[1] + 0.01 * math.sin(angle))
                servo.set_params([*moved, centre[2], 0.03, 1500.0, 600.0, 0.3, 3.0], ramp=0.01)
                p = servo.state().position
                r = math.dist(p, (*moved, centre[2]))
                deepest = max(deepest, 0.03 - r)
                time.sleep(0.01)
        stats = servo.stats()
    print(
        f"{stats.cycles} cycles at {stats.rate_hz:.0f} Hz, {stats.late_cycles} late; "
        f"deepest into the sphere {deepest * 1e3:.2f} mm; stopped: {stats.stop_reason}"
    )


if __name__ == "__main__":
    main()
