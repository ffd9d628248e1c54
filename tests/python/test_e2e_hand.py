"""A hand on the simulated arm: a wall rendered stiffer than the damping allows rings, one
within it settles; a recorded hand leads the arm along its path."""

# pyright: reportUnknownMemberType=false, reportUnknownVariableType=false
# (numpy is imported only where present)
from __future__ import annotations

import math
import re
import time
from pathlib import Path
from typing import Tuple

import pytest
import ZelkorHardwareAPI as zh
from zelkor_sim import Simulator

HOME = (0.28284271, 0.0, 0.0)  # the end-effector in the home pose, m
PERIOD = 0.001  # s: the servo's, and --fixed-dt: simulated time runs one step per request

# b: the arm's 1 N s/m plus the grip's 1 N s/m (at the ringing the hand's mass hardly moves).
# A force answers a state one period old and holds for a period (t_d = T), so the stiffest
# wall that damping holds is 2 b / (T + 2 t_d).
STABLE_STIFFNESS = 2 * (1.0 + 1.0) / (3 * PERIOD)  # 1333 N/m
WALL_Y = HOME[1] - 0.002  # the wall 2 mm to the arm's right; the hand pulls 1 cm into it
HAND = f"spring:200,1,{HOME[0]},{HOME[1] - 0.012},{HOME[2]}"


@pytest.mark.parametrize(
    "factor,passivity", [(3.0, False), (0.3, False), (3.0, True)], ids=["rings", "settles", "kept"]
)
def test_a_wall_stiffer_than_the_damping_allows_rings(factor: float, passivity: bool) -> None:
    arm_options = ("--fixed-dt", str(PERIOD), "--arm-mass", "0.1", "--arm-damping", "1")
    with Simulator("arbelon", *arm_options, hand=HAND) as sim:
        # A late reply is waited for: a failed exchange would send zero force and knock the arm.
        servo = zh.Servo(
            zh.Arbelon(zh.SerialStream(sim.port)),
            1000.0,
            max_force=10.0,
            reply_timeout=1.0,
            give_up_after=5.0,
            soft_start=0.0,
            passivity=passivity,
        )
        wall = [zh.Wall((0, 1, 0), WALL_Y, factor * STABLE_STIFFNESS)]
        if factor > 1 and not passivity:
            with pytest.warns(RuntimeWarning, match="stiffer than"):
                servo.effects = wall
        else:
            servo.effects = wall
        seen: dict[int, float] = {}  # y by cycle
        end = time.monotonic() + 120.0  # however loaded the machine
        with servo:
            while servo.running and max(seen, default=0) < 4000 and time.monotonic() < end:
                state = servo.state()
                seen[state.cycle] = state.position[1]
                time.sleep(0.0005)
    last = max(seen)
    assert last >= 4000, servo.stats()
    window = 1000 if factor > 1 else 500  # cycles: 1 s, 0.5 s
    ys = [y for cycle, y in seen.items() if cycle > last - window]
    assert len(ys) >= 20
    swing = max(ys) - min(ys)
    if passivity:  # the controller took back what the wall gave out: still
        assert swing < 0.00005, f"{swing * 1000:.4f} mm peak to peak over the last second"
        # What the wall gave out in its last cycles in, at hardly any speed, waits for the arm
        # to move: a fraction of a millijoule, where a controller that itself gave out would
        # have run to joules.
        assert servo.state().energy > -0.001
    elif factor > 1:  # a limit cycle: pushed out, pulled back in, never still
        assert swing >= 0.001, f"{swing * 1000:.4f} mm peak to peak over the last second"
    else:  # at rest in the wall, where its push balances the hand's pull
        assert swing < 0.0001, f"{swing * 1000:.4f} mm peak to peak over the last half second"
        assert WALL_Y - 0.01 < seen[last] < WALL_Y


def path_at(t: float) -> Tuple[float, float, float]:
    """The recorded path: 2 cm left in the first second, then 1 cm back and 1.5 cm up, each
    leg starting and stopping smoothly (at most 0.04 m/s); held after 2 s."""

    def smooth(s: float) -> float:
        s = min(max(s, 0.0), 1.0)
        return s * s * s * (10 - 15 * s + 6 * s * s)

    return (HOME[0] - 0.01 * smooth(t - 1), 0.02 * smooth(t), 0.015 * smooth(t - 1))


@pytest.mark.parametrize("kind", ["csv", "npz"])
def test_a_recorded_hand_leads_the_arm_along_its_path(tmp_path: Path, kind: str) -> None:
    times = [i * 0.01 for i in range(251)]
    recording = tmp_path / f"path.{kind}"
    if kind == "csv":  # as a recording has it: a clock that started earlier, more columns
        rows = [f"{100 + t},{i},{','.join(map(str, path_at(t)))},0" for i, t in enumerate(times)]
        recording.write_text(
            "time,cycle,position_x,position_y,position_z,force_x\n" + "\n".join(rows)
        )
    else:
        np = pytest.importorskip("numpy")
        np.savez(recording, time=np.array(times), position=np.array([path_at(t) for t in times]))
    with Simulator("arbelon", "--fixed-dt", str(PERIOD), hand=recording) as sim:
        arm = zh.Arbelon(zh.SerialStream(sim.port))
        # No force from the host: only the hand moves the arm. Reply n shows it n steps on.
        worst = max(
            math.dist(arm.end_effector_force()[0], path_at(n * PERIOD)) for n in range(1, 3001)
        )
        assert worst < 0.001, f"{worst * 1000:.3f} mm off the path (docs/simulator.md: 1 mm)"
        assert math.dist(arm.end_effector_force()[0], path_at(3)) < 0.0001, "held at the end"


@pytest.mark.parametrize(
    "text,says",
    [
        (None, "No such file or directory"),
        ("time,x,y,z\n0,0.28,0,0\n0,0.28,0,0\n", "line 3: the time does not"),
    ],
)
def test_a_bad_recording_stops_the_simulator_with_the_reason(
    tmp_path: Path, text: str | None, says: str
) -> None:
    path = tmp_path / "path.csv"
    if text is not None:
        path.write_text(text)
    sim = Simulator("arbelon", hand=path)
    with pytest.raises(RuntimeError, match=f"--hand {re.escape(str(path))}: {says}"):
        sim.start()
    assert sim.process.returncode == 2
