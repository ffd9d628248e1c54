"""A MuJoCo scene felt through the simulated arm: the servo steps the scene in its own thread,
each arm holding a tool through a virtual coupling. The simulator runs one step per request
(--fixed-dt), so the arm's time and the scene's keep together however loaded the machine."""

# pyright: reportUnknownMemberType=false, reportUnknownVariableType=false
# pyright: reportUnknownArgumentType=false
# (mujoco and numpy are untyped here)
from __future__ import annotations

import os
import re
import subprocess
import sys
import threading
import time
import warnings
from pathlib import Path
from typing import Any, Callable, Iterator, Sequence

import numpy as np
import pytest
import ZelkorHardwareAPI as zh
from zelkor_sim import Simulator

HOME = (0.28284271, 0.0, 0.0)  # the end-effector in the home pose, m
PERIOD = 0.001
STEP = ("--fixed-dt", str(PERIOD))
FLOOR = -0.01  # the scene's floor, m; the tool is a 5 mm sphere that starts 1 cm above it


def scene_xml(timestep: float = PERIOD, box: bool = False, tools: Sequence[str] = ("tool",)) -> str:
    """A floor, a table top (a body without a free joint), weightless spherical tools side by
    side at y = 0, +0.05, -0.05 and, with `box`, a 0.2 kg box 4 cm tall 2.5 cm
    ahead of the first."""
    places = ("0 0 0", "0 0.05 0", "0 -0.05 0")
    bodies = "".join(
        f'<body name="{name}" pos="{place}" gravcomp="1"><freejoint/>'
        '<geom type="sphere" size="0.005" mass="0.02"/></body>'
        for name, place in zip(tools, places)
    )
    if box:
        bodies += (
            '<body name="box" pos="0.025 0 0.01"><freejoint/>'
            '<geom type="box" size="0.01 0.01 0.02" mass="0.2"/></body>'
        )
    return f"""<mujoco><option timestep="{timestep}"/>
<default><geom solref="0.002 1"/></default>
<worldbody>
<geom name="floor" type="plane" size="0.5 0.5 0.01" pos="0 0 {FLOOR}"/>
<body name="table" pos="0 0.3 -0.02"><geom type="box" size="0.1 0.1 0.005"/></body>
{bodies}
</worldbody></mujoco>"""


def hand(dx: float = 0.0, dy: float = 0.0, dz: float = 0.0, b: float = 1.0) -> str:
    """A hand of grip 200 N/m and b N s/m (100 N/m in series with the target's) that pulls the
    arm towards home plus (dx, dy, dz)."""
    return f"spring:200,{b},{HOME[0] + dx},{HOME[1] + dy},{HOME[2] + dz}"


@pytest.fixture
def mujoco() -> Iterator[Any]:
    # CI installs the mujoco extra (scripts/install-deps): there a missing engine is a failure,
    # not a reason to skip what these tests check.
    try:
        import mujoco
    except ImportError:
        if os.environ.get("CI"):
            pytest.fail("the mujoco extra is not installed: scripts/install-deps installs it")
        pytest.skip("the mujoco extra is not installed: pip install '.[mujoco]'")
    yield mujoco


def servo_for(*ports: str, rate: float | None = 1000.0, **keywords: Any) -> zh.Servo:
    arms = [zh.Arbelon(zh.SerialStream(port)) for port in ports]
    # A late reply is waited for: a failed exchange would send zero force and knock the arm.
    return zh.Servo(arms, rate, reply_timeout=1.0, give_up_after=5.0, **keywords)


def run_until(servo: zh.Servo, done: Callable[[], bool], limit: float = 120.0) -> None:
    end = time.monotonic() + limit  # however loaded the machine
    with servo:
        while servo.running and not done() and time.monotonic() < end:
            time.sleep(0.01)
    assert done(), servo.stats()


def test_a_floor_holds_the_arm_up(mujoco: Any) -> None:
    # The hand pulls 3 cm down (100 N/m); the floor holds the tool, and the arm stops where the
    # coupling's 400 N/m balances the hand: 5 mm below the tool, pushed up with 2 N.
    model = mujoco.MjModel.from_xml_string(scene_xml())
    scene = zh.MujocoScene(model, ["tool"], 400.0, damping=2.0, origin=HOME)
    with Simulator("arbelon", *STEP, hand=hand(dz=-0.03)) as sim:
        servo = servo_for(sim.port, record=5.0)
        servo.scene = scene
        run_until(servo, lambda: servo.state().cycle >= 2500)
    tool = scene.state().tool_positions[0]
    arm = servo.state()
    assert tool[2] == pytest.approx(FLOOR + 0.005, abs=0.0005), "the tool rests on the floor"
    assert arm.position[2] - HOME[2] > -0.015, "held well above where the hand pulls"
    depth = tool[2] - (arm.position[2] - HOME[2])
    assert arm.force[2] == pytest.approx(2.0, rel=0.2)
    assert depth == pytest.approx(arm.force[2] / 400.0, rel=0.2), "the coupling's spring"
    run = servo.recording()
    assert run.scene_force is not None and run.scene_force.shape == (len(run), 1, 3)
    assert run.scene_force[-1, 0, 2] == pytest.approx(arm.force[2], rel=0.05)


def test_a_free_box_moves_when_pushed_and_the_arm_feels_it(mujoco: Any, tmp_path: Any) -> None:
    # The hand leads the arm 5 cm forward at 2 cm/s; 1 cm on, the tool meets a 0.2 kg box and
    # pushes it along the floor, whose friction (about 2 N) the arm feels. The box sticks and
    # slips (the hand's spring and the coupling store what the friction holds back), so the
    # force felt rises to the friction and falls back as it slips: its peak is the friction.
    path = tmp_path / "forward.csv"
    path.write_text(
        "time,x,y,z\n"
        f"0.0,{HOME[0]},{HOME[1]},{HOME[2]}\n"
        f"0.5,{HOME[0]},{HOME[1]},{HOME[2]}\n"
        f"3.0,{HOME[0] + 0.05},{HOME[1]},{HOME[2]}\n"
    )
    model = mujoco.MjModel.from_xml_string(scene_xml(box=True))
    scene = zh.MujocoScene(model, ["tool"], 400.0, damping=2.0, origin=HOME)
    box = model.jnt_qposadr[model.body_jntadr[model.body("box").id]]
    start = float(scene.state().qpos[box])
    with Simulator("arbelon", *STEP, hand=str(path)) as sim:
        servo = servo_for(sim.port, record=5.0)
        servo.scene = scene
        run_until(servo, lambda: servo.state().cycle >= 3500)
    moved = float(scene.state().qpos[box]) - start
    assert moved == pytest.approx(0.05 - 0.01, abs=0.01), "pushed along, not knocked away"
    run = servo.recording()
    assert run.scene_force is not None
    t = run.cycle * PERIOD  # the simulator's time and the scene's: a step a cycle
    pushing = (t > 1.5) & (t < 3.5)
    felt = -run.scene_force[pushing, 0, 0]
    assert np.percentile(felt, 95) == pytest.approx(0.2 * 9.81, rel=0.2), "the floor's friction"
    assert felt.mean() > 0.5, "felt all along the push"
    free = (t > 0.3) & (t < 0.7)  # the tool not yet at the box
    assert abs(run.scene_force[free, 0, 0]).max() < 0.5


# rate None: the rate measured (the simulator's line holds 1 kHz) lowered to whole timesteps.
@pytest.mark.parametrize(
    "timestep,rate,steps",
    [(0.001, 1000.0, 1), (0.0005, 1000.0, 2), (0.00025, 1000.0, 4), (0.0003, None, 4)],
)
def test_the_scene_advances_exactly_a_period_each_cycle_while_python_spins(
    mujoco: Any, timestep: float, rate: float | None, steps: int
) -> None:
    model = mujoco.MjModel.from_xml_string(scene_xml(timestep))
    scene = zh.MujocoScene(model, ["tool"], 200.0, damping=1.0, origin=HOME)
    spinning = threading.Event()
    spins = [0]

    def spin() -> None:  # holds the interpreter lock but for its switches
        while not spinning.is_set():
            spins[0] += 1

    with Simulator("arbelon", *STEP, hand=hand(dy=0.01)) as sim:
        servo = servo_for(sim.port, rate=rate)
        servo.scene = scene
        spinner = threading.Thread(target=spin)
        spinner.start()
        try:
            run_until(servo, lambda: servo.stats().cycles >= 500)
        finally:
            spinning.set()
            spinner.join()
    state = scene.state()
    assert spins[0] > 0
    assert state.steps == steps * servo.stats().cycles
    assert servo.rate_hz == pytest.approx(1.0 / (steps * timestep), rel=1e-9)
    assert state.time == pytest.approx(state.steps * timestep, rel=1e-9)
    copy = scene.copy_data()
    assert copy.time == state.time and list(copy.qpos) == list(state.qpos)
    assert copy.xpos[model.body("tool").id][1] == pytest.approx(state.tool_positions[0][1])


def test_two_arms_hold_two_tools(mujoco: Any, tmp_path: Path) -> None:
    # Each arm's home maps to its own tool's place; one hand pulls 1 cm forward, the other
    # 1 cm to the right, and each tool follows its own arm.
    model = mujoco.MjModel.from_xml_string(scene_xml(tools=("left", "right")))
    origins = [(HOME[0], HOME[1] - 0.05, HOME[2]), (HOME[0], HOME[1] + 0.05, HOME[2])]
    scene = zh.MujocoScene(model, ["left", "right"], 300.0, damping=2.0, origin=origins)
    with Simulator("arbelon", *STEP, hand=hand(dx=0.01)) as a, Simulator(
        "arbelon", *STEP, hand=hand(dy=-0.01)
    ) as b:
        servo = servo_for(a.port, b.port, record=5.0)
        servo.record_to(tmp_path / "streamed.npz")
        servo.scene = scene
        run_until(servo, lambda: servo.stats().cycles >= 2000)
    left, right = scene.state().tool_positions
    assert left == pytest.approx((0.01, 0.05, 0.0), abs=0.001)
    assert right == pytest.approx((0.0, -0.06, 0.0), abs=0.001)
    for arm in (0, 1):
        assert max(abs(f) for f in servo.state(arm).force) < 0.3, "at rest, nothing to feel"
    run = servo.recording()
    assert run.scene_force is not None and run.scene_force.shape == (len(run), 2, 3)
    # Each arm's part kept, saved and loaded, and streamed to a file while the loop ran.
    run.save(tmp_path / "saved.npz")
    for name in ("saved.npz", "streamed.npz"):
        loaded = zh.Recording.load(tmp_path / name)
        assert loaded.scene_force is not None, name
        np.testing.assert_array_equal(loaded.scene_force[-len(run) :], run.scene_force)


def test_a_scene_that_goes_bad_stops_the_servo_limp(
    mujoco: Any, tmp_path: Any, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.chdir(tmp_path)  # the engine writes its warning to a log in the working folder
    model = mujoco.MjModel.from_xml_string(scene_xml())
    scene = zh.MujocoScene(model, ["tool"], 200.0, origin=HOME)
    scene.data.qvel[0] = float("inf")  # the engine resets such a state at its first step
    with Simulator("arbelon", *STEP) as sim:
        servo = servo_for(sim.port)
        servo.scene = scene
        servo.start()
        end = time.monotonic() + 60.0
        while servo.running and time.monotonic() < end:
            time.sleep(0.01)
    stats = servo.stats()
    assert stats.stop_reason == "scene failed" and stats.left_limp
    assert servo.state().force == (0.0, 0.0, 0.0)


def test_what_does_not_fit_is_refused(mujoco: Any) -> None:
    model = mujoco.MjModel.from_xml_string(scene_xml())
    scene = zh.MujocoScene(model, ["tool"], 200.0)
    # Nothing here opens a port: a servo is refused before it would.
    arm = zh.Arbelon(zh.SerialStream("/dev/zelkor-no-such-port"))
    servo = zh.Servo(arm, 1000.0)
    other = zh.Servo(zh.Arbelon(zh.SerialStream("/dev/zelkor-no-such-port-2")), 1000.0)
    uneven = mujoco.MjModel.from_xml_string(scene_xml(0.0003))

    def made(*args: Any, **keywords: Any) -> Callable[[], object]:
        return lambda: zh.MujocoScene(*args, **keywords)

    def set_scene(on: zh.Servo, value: Any) -> Callable[[], object]:
        return lambda: setattr(on, "scene", value)

    cases: list[tuple[Callable[[], object], type, str]] = [
        (made(model, "tool", 100.0), TypeError, "list of body names"),
        (made(model, ["tool", "nowhere"], 100.0), ValueError, "no body 'nowhere'"),
        (made(model, ["table"], 100.0), ValueError, "body 'table' has no free joint"),
        (made(model, [], 100.0), ValueError, "one tool per arm"),
        (made(model, ["tool"], -1.0), ValueError, "stiffness"),
        (made(model, ["tool"], 1.0, scale=0.0), ValueError, "scale"),
        (made(model, ["tool"], 1.0, origin=(0, 0)), ValueError, "three values"),
        (made(model, ["tool"], 1.0, origin=[(0, 0, 0)] * 2), ValueError, "2 points for 1"),
        (set_scene(servo, "scene"), TypeError, "MujocoScene or None, not str"),
        (set_scene(servo, zh.MujocoScene(uneven, ["tool"], 1.0)), ValueError, "0.0003"),
        (
            set_scene(servo, zh.MujocoScene(model, ["tool", "tool"], 1.0)),
            ValueError,
            "one tool per arm",
        ),
    ]
    for call, error, text in cases:
        with pytest.raises(error, match=text):
            call()
    assert servo.scene is None, "nothing refused was set"
    measured = zh.Servo(arm, None)
    measured.scene = zh.MujocoScene(uneven, ["tool"], 1.0)  # its rate is fitted to the scene
    measured.scene = None

    servo.scene = scene
    with pytest.raises(RuntimeError, match="another servo's"):
        other.scene = scene
    model.opt.timestep = 0.0003  # changed after the scene was set: start() finds it
    with pytest.raises(ValueError, match="0.0003"):
        servo.start()
    assert not servo.running
    model.opt.timestep = PERIOD
    servo.scene = None
    other.scene = scene  # free again

    stiff = zh.MujocoScene(mujoco.MjModel.from_xml_string(scene_xml()), ["tool"], 5000.0)
    with pytest.warns(RuntimeWarning, match="coupling of 5000.0 N/m is stiffer"):
        servo.scene = stiff
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        zh.Servo(arm, 1000.0, passivity=True).scene = zh.MujocoScene(
            mujoco.MjModel.from_xml_string(scene_xml()), ["tool"], 5000.0
        )


def test_a_model_is_refused_when_mujoco_is_missing_too() -> None:
    with pytest.raises(TypeError, match="must be a mujoco.MjModel, not str"):
        zh.MujocoScene("scene.xml", ["tool"], 100.0)


def test_the_example_runs_as_the_readme_says(mujoco: Any, tmp_path: Any) -> None:
    pytest.importorskip("matplotlib")
    example = Path(__file__).resolve().parents[2] / "examples" / "scene.py"
    figure = tmp_path / "scene.png"
    done = subprocess.run(
        [sys.executable, str(example), "--out", str(figure), "--frames", str(tmp_path / "views")],
        capture_output=True,
        text=True,
        timeout=900,
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-2000:]
    assert "stopped: stopped" in done.stdout and figure.stat().st_size > 0
    moved = re.search(r"the box moved ([0-9.]+) cm", done.stdout)
    assert moved and float(moved.group(1)) > 3.0, done.stdout
