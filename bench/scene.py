"""A MuJoCo scene in the servo (zh.MujocoScene) against its targets, on the simulator:

- a scene of 20 bodies with mesh geoms, one 1 ms step per cycle, stepped by a Servo at 1 kHz,
  beside the same scene stepped from a Python loop at 1 kHz (what a program does without the
  Servo's scene): rate and late cycles, quiet, each in a fresh host process (bench/scenehost.py);
- the instructions the scene adds to a servo cycle: the loop thread's user-space instructions
  per cycle under callgrind, with and without the scene (one step of the 20-body scene per
  cycle), the difference; callgrind runs the engine far too slowly for a 1 ms step each
  millisecond, so the count takes one 50 ms step a 50 ms cycle, which costs the engine more than
  a 1 ms step; beside it, what a 1 ms step of the scene takes on the machine (mj_step timed from
  Python, without callgrind);
- penetration into a fixed floor at coupling stiffness k: how far the arm goes below where the
  tool rests, against the hand's force over k (the simulator in its own time, one step per
  request);
- the 3x wall on a scene: a coupling three times stiffer than the loop renders stably, holding a
  tool against the floor, with and without the passivity controller: the swing over the last
  second.

    python bench/scene.py --bin DIR [--smoke] [--seconds S]
"""

import argparse
import json
import os
import subprocess
import sys
import time
import warnings

import mujoco
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sim"))
import ZelkorHardwareAPI as zh  # noqa: E402
from counting import loop_thread_instructions  # noqa: E402  (this folder: the script's own)
from targets import print_targets  # noqa: E402
from zelkor_sim import Simulator  # noqa: E402

HOST = os.path.join(HERE, "scenehost.py")
HOME = (0.28284271, 0.0, 0.0)
PERIOD = 0.001
STEP = ("--fixed-dt", str(PERIOD))
FLOOR = -0.01  # m, in the scene; the tool is a 5 mm sphere 1 cm above it at the start
RADIUS = 0.005


def host(how, amount, options=()):
    """A fresh host process against a fresh simulator whose hand presses the tool onto the
    floor."""
    hand = f"spring:200,1,{HOME[0]},{HOME[1]},{HOME[2] - 0.03}"
    with Simulator("arbelon", *options, hand=hand) as sim:
        done = subprocess.run(
            [sys.executable, HOST, how, str(amount), sim.port],
            capture_output=True,
            text=True,
            timeout=900,
        )
    if done.returncode != 0:
        raise SystemExit(f"scenehost {how} failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def instructions(bin_dir, mode, count):
    """The loop thread's instructions per cycle in scenehost's count mode `mode`, under
    callgrind: runs of `count` and 2 x `count` cycles against the benchmark peer, the
    difference over `count`."""
    return loop_thread_instructions(
        bin_dir,
        lambda n, port: [sys.executable, HOST, "count", mode, str(n), port],
        count,
        timeout=3600,
        env={**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"},
    )


def step_time(steps=2000, rounds=5):
    """The fastest of `rounds` means of `steps` 1 ms steps of the 20-body scene, at rest on its
    floor, s: mj_step called from Python, the binding's call included."""
    sys.path.insert(0, HERE)
    from scenehost import scene_xml

    model = mujoco.MjModel.from_xml_string(scene_xml())
    data = mujoco.MjData(model)
    for _ in range(1000):  # the bodies come to rest
        mujoco.mj_step(model, data)
    best = float("inf")
    for _ in range(rounds):
        begun = time.perf_counter()
        for _ in range(steps):
            mujoco.mj_step(model, data)
        best = min(best, (time.perf_counter() - begun) / steps)
    return best


def floor_scene(stiffness, damping=2.0):
    xml = f"""<mujoco><option timestep="{PERIOD}"/>
<default><geom solref="0.002 1"/></default>
<worldbody><geom type="plane" size="0.5 0.5 0.01" pos="0 0 {FLOOR}"/>
<body name="tool" gravcomp="1"><freejoint/><geom type="sphere" size="{RADIUS}" mass="0.02"/>
</body></worldbody></mujoco>"""
    model = mujoco.MjModel.from_xml_string(xml)
    return zh.MujocoScene(model, ["tool"], stiffness, damping, origin=HOME)


def run_servo(servo, cycles):
    end = time.monotonic() + 600.0  # however loaded the machine
    with servo:
        while servo.running and servo.state().cycle < cycles and time.monotonic() < end:
            time.sleep(0.05)


def penetration(stiffness, cycles):
    """(depth the arm went below where the tool rests, the hand's force over k), m."""
    scene = floor_scene(stiffness)
    hand_k, target = 200.0, HOME[2] - 0.03
    with Simulator("arbelon", *STEP, hand=f"spring:{hand_k},1,{HOME[0]},{HOME[1]},{target}") as sim:
        servo = zh.Servo(
            zh.Arbelon(zh.SerialStream(sim.port)), 1000.0, reply_timeout=1.0, give_up_after=5.0
        )
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the stiffest k is past the stability bound
            servo.scene = scene
        run_servo(servo, cycles)
    z = servo.state().position[2]
    rest = FLOOR + RADIUS  # where the tool's centre rests
    depth = rest - (z - HOME[2])
    hand_force = hand_k / 2 * (z - target)  # the grip and the pull in series
    return depth, hand_force / stiffness


def wall(passivity, cycles):
    """The 3x wall on a scene: the swing over the last second (m) and the energy (J)."""
    stable = 2 * (1.0 + 1.0) / (3 * PERIOD)  # the arm's 1 N s/m and the grip's
    scene = floor_scene(3 * stable, damping=0.0)
    options = (*STEP, "--arm-mass", "0.1", "--arm-damping", "1")
    hand = f"spring:200,1,{HOME[0]},{HOME[1]},{HOME[2] + FLOOR + RADIUS - 0.01}"
    with Simulator("arbelon", *options, hand=hand) as sim:
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
            warnings.simplefilter("ignore")  # the point is a coupling stiffer than stable
            servo.scene = scene
        run_servo(servo, cycles)
        run = servo.recording()
    z = run.position[:, 2]
    return float(np.ptp(z[-1000:])), float(run.energy[-1]), servo.stats().stop_reason


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bin", required=True, help="folder with zelkor-bench-peer")
    parser.add_argument("--smoke", action="store_true", help="short runs")
    parser.add_argument("--seconds", type=float, default=20.0, help="per loop measurement")
    args = parser.parse_args()
    seconds = 1.0 if args.smoke else args.seconds
    loops = {how: host(how, seconds) for how in ("servo", "python")}
    print("loops done", file=sys.stderr)
    counted = 100 if args.smoke else 500
    counts = {mode: instructions(args.bin, mode, counted) for mode in ("none", "scene")}
    step = step_time()
    print("instructions counted", file=sys.stderr)
    cycles = 1500 if args.smoke else 3000
    depths = {k: penetration(k, cycles) for k in (250.0, 500.0, 1000.0)}
    walls = {passivity: wall(passivity, 2000 if args.smoke else 5000) for passivity in (0, 1)}

    print(
        f"\nA scene of 20 bodies with mesh geoms, one 1 ms step a cycle, at 1 kHz on the "
        f"simulator, quiet, {seconds:g} s a row; a hand presses the tool onto the floor.\n"
    )
    print("| stepped by | achieved Hz | % of 1 kHz | late % | slots skipped | failed | steps |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for how, name in (("servo", "the Servo's thread"), ("python", "a Python loop")):
        r = loops[how]
        print(
            f"| {name} | {r['rate_hz']:,.1f} | {r['rate_hz'] / 10:.2f} | "
            f"{100 * r['late'] / max(1, r['cycles']):.2f} | {r['missed']} | {r['failed']} | "
            f"{r['steps']:,} |"
        )
    added = counts["scene"] - counts["none"]
    print(
        f"\nInstructions per servo cycle (the loop thread's, user space, under callgrind; runs of "
        f"{counted:,} and {2 * counted:,} cycles at 20 Hz against the benchmark peer, the "
        "difference over the cycles), a spring as the effect; the scene's 20 bodies stepped "
        "once a cycle, resting on the floor:\n"
    )
    print("| servo | instructions/cycle |\n|---|---:|")
    print(f"| without a scene | {counts['none']:,.0f} |")
    print(f"| with the 20-body scene (one 50 ms step a cycle) | {counts['scene']:,.0f} |")
    print(f"| added by the scene | {added:,.0f} |")
    print(
        f"\nA 1 ms step of the same scene at rest takes {step * 1e6:.1f} µs on this machine "
        f"(mj_step from Python, the fastest mean of 5 x 2,000): {step / PERIOD * 100:.1f} % of "
        "the 1 kHz period."
    )
    print(
        "\nPenetration into a fixed floor: the hand pulls 3 cm down (100 N/m); how far the arm "
        "goes below where the tool rests, against the hand's force over k.\n"
    )
    print("| k N/m | depth mm | hand's force / k mm | ratio |\n|---:|---:|---:|---:|")
    for k, (depth, predicted) in depths.items():
        print(f"| {k:g} | {depth * 1e3:.3f} | {predicted * 1e3:.3f} | {depth / predicted:.3f} |")
    print("\nThe 3x wall on a scene: a coupling of 4000 N/m holding a tool on the floor.\n")
    print("| passivity | swing over the last second | energy at the end | stopped |")
    print("|---|---:|---:|---|")
    for passivity, (swing, energy, reason) in walls.items():
        print(
            f"| {'on' if passivity else 'off'} | {swing * 1e3:.4f} mm | {energy * 1e3:+.3f} mJ | "
            f"{reason} |"
        )
    servo = loops["servo"]
    targets = [
        (
            "20 bodies: the Servo >= 98 % of 1 kHz, quiet",
            servo["rate_hz"] >= 980.0 and servo["stop_reason"] == "stopped",
        ),
        ("the Servo steps the scene once a cycle", servo["steps"] == servo["cycles"]),
    ]
    for k, (depth, predicted) in depths.items():
        targets.append(
            (
                f"penetration at {k:g} N/m within 20 % of force / k",
                abs(depth / predicted - 1) <= 0.2,
            )
        )
    targets.append(
        ("the 3x coupling without the controller rings (>= 0.5 mm)", walls[0][0] >= 5e-4)
    )
    targets.append(("with it the swing is under 0.05 mm", walls[1][0] < 5e-5))
    print_targets(targets, not args.smoke, exact=("the Servo steps the scene once a cycle",))


if __name__ == "__main__":
    main()
