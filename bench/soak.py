"""A long run as the force-law guide sets one up, watched for growth: a 1 kHz servo with a
Numba law against the simulator with its hand, recording on, its parameters set at 100 Hz and
its recording read every few seconds, for MINUTES. Prints the process's resident memory every
SAMPLE seconds and judges that it stays flat once warmed up (the first minute).

    python bench/soak.py [--minutes 10] [--smoke]
"""

import argparse
import math
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sim"))
import ZelkorHardwareAPI as zh  # noqa: E402
from targets import print_targets  # noqa: E402  (this folder: the script's own)
from zelkor_sim import Simulator  # noqa: E402


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--sample", type=float, default=10.0, help="seconds between samples")
    parser.add_argument("--smoke", action="store_true", help="20 s, sampled every 2 s")
    args = parser.parse_args()
    seconds, sample = (20.0, 2.0) if args.smoke else (args.minutes * 60, args.sample)
    warm = min(60.0, seconds / 4)

    @zh.force_law
    def sphere(t, position, velocity, previous_force, params, force):
        dx, dy, dz = position[0] - params[0], position[1] - params[1], position[2] - params[2]
        r = math.sqrt(dx * dx + dy * dy + dz * dz)
        depth = params[3] - r
        if depth > 0.0 and r > 0.0:
            for i, d in enumerate((dx, dy, dz)):
                force[i] = params[4] * depth * d / r

    samples = []
    with Simulator("arbelon", hand="spring:100,2,0.283,0,0.02") as sim:
        servo = zh.Servo(zh.Arbelon(zh.SerialStream(sim.port)), 1000.0, record=10.0)
        servo.force_law = sphere
        with servo:
            start = time.monotonic()
            next_sample = start
            k = 0
            while time.monotonic() - start < seconds:
                k += 1
                # The sphere breathes: new parameters every 10 ms.
                radius = 0.03 + 0.002 * math.sin(k / 100)
                servo.set_params([0.283, 0.0, 0.04, radius, 300.0])
                if k % 500 == 0:
                    servo.recording()
                now = time.monotonic()
                if now >= next_sample:
                    samples.append((now - start, rss_kib()))
                    print(f"{now - start:7.1f} s  RSS {samples[-1][1] / 1024:8.1f} MiB", flush=True)
                    next_sample += sample
                time.sleep(0.01)
        stats = servo.stats()
    warmed = [kib for t, kib in samples if t >= warm]
    growth = (warmed[-1] - warmed[0]) if len(warmed) > 1 else 0
    print(
        f"\n{stats.cycles} cycles at {stats.rate_hz:.1f} Hz, {stats.late_cycles} late, "
        f"{stats.failed_exchanges} failed; stop reason {stats.stop_reason}.\n"
        f"RSS after {warm:.0f} s: {warmed[0] / 1024:.1f} MiB, at the end {warmed[-1] / 1024:.1f} "
        f"MiB ({growth:+d} KiB), highest {max(warmed) / 1024:.1f} MiB"
    )
    print_targets(
        [
            ("the loop ran to the end", stats.stop_reason == "stopped"),
            ("RSS flat once warmed up (within 1 MiB)", abs(growth) <= 1024),
        ],
        not args.smoke,
    )


if __name__ == "__main__":
    main()
