"""A hand on the simulated arm: a wall rendered stiffer than the arm's damping allows rings,
one within it settles; a recorded hand leads the arm along its trajectory."""

# pyright: reportUnknownMemberType=false
# (numpy, imported only where present, has no annotations the checkers see here)
from __future__ import annotations

import math
import re
import time
from pathlib import Path
from typing import List, Sequence, Tuple

import pytest
import ZelkorHardwareAPI as zh
from zelkor_sim import Simulator

HOME = (0.28284271, 0.0, 0.0)  # the end-effector in the home pose, m
PERIOD = 0.001  # s: the servo's, and --fixed-dt: one step of simulated time per request

# The arm: 0.1 kg and 1 N s/m at the end-effector. The hand grips it with 200 N/m and 1 N s/m;
# at the wall's ringing the hand's mass hardly moves, so its damper adds to the arm's.
ARM = ("--arm-mass", "0.1", "--arm-damping", "1")
GRIP_K, GRIP_B = 200.0, 1.0
DAMPING = 1.0 + GRIP_B

# A reply shows the state before its request's force acts, so a force answers a state one
# period old and then holds for a period: the delay t_d is one period, and the stiffest wall
# the damping holds is K = 2 b / (T + 2 t_d).
STABLE_STIFFNESS = 2 * DAMPING / (PERIOD + 2 * PERIOD)  # 1333 N/m

WALL_Y = HOME[1] - 0.002  # the wall's surface, 2 mm to the arm's right (-y)
HAND_Y = HOME[1] - 0.012  # the hand pulls the end-effector 1 cm into it


def run_servo(sim: Simulator, stiffness: float, cycles: int) -> List[Tuple[int, float]]:
    """Renders the wall until the servo has run `cycles` cycles; the states seen, as (cycle,
    y position)."""
    arm = zh.Arbelon(zh.SerialStream(sim.port))
    # Replies the machine's load delays are waited for: a failed exchange would send a
    # zero force and knock a settled arm.
    servo = zh.Servo(arm, 1000.0, max_force=10.0, reply_timeout=1.0, give_up_after=5.0)
    servo.effects = [zh.Wall((0, 1, 0), WALL_Y, stiffness)]
    seen: dict[int, float] = {}
    end = time.monotonic() + 60.0 + cycles * PERIOD * 5  # however slow the machine
    with servo:
        while servo.running and time.monotonic() < end:
            state = servo.state()
            seen[state.cycle] = state.position[1]
            if state.cycle >= cycles:
                break
            time.sleep(0.0005)
    assert max(seen) >= cycles, f"the servo ran {max(seen)} cycles: {servo.stats()}"
    return sorted(seen.items())


def peak_to_peak(states: Sequence[Tuple[int, float]], last_cycles: int) -> Tuple[float, int]:
    final = states[-1][0]
    ys = [y for cycle, y in states if cycle > final - last_cycles]
    return max(ys) - min(ys), len(ys)


@pytest.mark.parametrize("factor", [3.0, 0.3])
def test_a_wall_stiffer_than_the_damping_allows_rings(factor: float) -> None:
    hand = f"spring:{GRIP_K},{GRIP_B},{HOME[0]},{HAND_Y},{HOME[2]}"
    with Simulator("arbelon", "--fixed-dt", str(PERIOD), *ARM, hand=hand) as sim:
        states = run_servo(sim, factor * STABLE_STIFFNESS, 4000)
    if factor > 1:
        # A limit cycle: pushed out, pulled back in, never still.
        swing, samples = peak_to_peak(states, 1000)
        assert samples >= 20
        assert swing >= 0.001, f"{swing * 1000:.3f} mm peak to peak over the last second"
    else:
        swing, samples = peak_to_peak(states, 500)
        assert samples >= 20
        assert swing < 0.0001, f"{swing * 1000:.3f} mm peak to peak over the last half second"
        # Held in the wall where its push balances the hand's pull.
        assert WALL_Y - 0.01 < states[-1][1] < WALL_Y


def path_at(t: float) -> Tuple[float, float, float]:
    """The recorded path: from the home pose 2 cm left in a second, then 1 cm back and 1.5 cm
    up in the next, each leg a smooth start and stop (at most 0.04 m/s); held after 2 s."""

    def smooth(s: float) -> float:
        s = min(max(s, 0.0), 1.0)
        return s * s * s * (10 - 15 * s + 6 * s * s)

    first, second = smooth(t), smooth(t - 1.0)
    return (HOME[0] - 0.01 * second, 0.02 * first, 0.015 * second)


# A recorded hand, with the default arm and the default grip (500 N/m, 10 N s/m), stays
# within this of the path it was recorded on at up to 0.04 m/s (docs/simulator.md).
REPLAY_TOLERANCE = 0.001  # m


def write_path(folder: Path, kind: str) -> Path:
    times = [i * 0.01 for i in range(251)]  # 100 samples a second to 2.5 s
    if kind == "csv":
        path = folder / "path.csv"
        # As a recording has it: a clock that started earlier, and more columns.
        lines = ["time,cycle,position_x,position_y,position_z,force_x"]
        for i, t in enumerate(times):
            x, y, z = path_at(t)
            lines.append(f"{100 + t},{i},{x},{y},{z},0")
        path.write_text("\n".join(lines) + "\n")
        return path
    np = pytest.importorskip("numpy")
    path = folder / "path.npz"
    np.savez(path, time=np.array(times), position=np.array([path_at(t) for t in times]))
    return path


@pytest.mark.parametrize("kind", ["csv", "npz"])
def test_a_recorded_hand_leads_the_arm_along_its_path(tmp_path: Path, kind: str) -> None:
    recording = write_path(tmp_path, kind)
    with Simulator("arbelon", "--fixed-dt", str(PERIOD), hand=recording) as sim:
        arm = zh.Arbelon(zh.SerialStream(sim.port))
        worst = 0.0
        for n in range(1, 3001):
            # No force from the host: only the hand moves the arm. Reply n shows the arm
            # after n steps.
            position, _ = arm.end_effector_force()
            assert arm.last_result == 24
            worst = max(worst, math.dist(position, path_at(n * PERIOD)))
        assert worst < REPLAY_TOLERANCE, f"{worst * 1000:.3f} mm off the path"
        position, _ = arm.end_effector_force()
        assert math.dist(position, path_at(3.0)) < 0.0001, "held at the end"


@pytest.mark.parametrize(
    "text,says",
    [
        (None, "No such file or directory"),
        ("time,x,y\n0,0.28,0\n", "line 1: the header must name the columns time, x, y, z"),
        ("time,x,y,z\n0,0.28,0,0\n1,0.28,0,nan\n", "line 3: a position is not a finite number"),
        ("time,x,y,z\n0,0.28,0,0\n0,0.28,0,0\n", "line 3: the time does not increase"),
    ],
)
def test_a_bad_recording_stops_the_simulator_with_the_reason(
    tmp_path: Path, text: str | None, says: str
) -> None:
    path = tmp_path / "path.csv"
    if text is not None:
        path.write_text(text)
    sim = Simulator("arbelon", hand=path)
    with pytest.raises(
        RuntimeError, match=f"did not start: zelkor-sim: --hand {re.escape(str(path))}: .*{says}"
    ):
        sim.start()
    assert sim.process.returncode == 2


def test_a_compressed_archive_is_refused_with_the_way_out(tmp_path: Path) -> None:
    np = pytest.importorskip("numpy")
    path = tmp_path / "path.npz"
    np.savez_compressed(path, time=np.arange(3.0), position=np.zeros((3, 3)))
    sim = Simulator("arbelon", hand=path)
    with pytest.raises(RuntimeError, match="save the arrays with numpy.savez, not numpy.savez_c"):
        sim.start()
