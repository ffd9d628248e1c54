"""Feeling a MuJoCo scene: the servo steps a table-top scene (examples/scene.xml) in its own
thread, and the arm holds the scene's tool through a virtual coupling, so the hand feels the
table, a box it pushes and a dome it traces, at the servo's rate with Python out of the loop.

Without --port it starts the simulator, in its own time (one step per request), with a virtual
hand that carries the arm along a path written for the run: down onto the table, forward to
push the box, up and over to the dome, and across it. With --port it drives that arm and you
move it. Meanwhile this script copies the scene at display rate to render it.

It saves a figure (--out, default scene.png): three views rendered with mujoco.Renderer where
offscreen rendering works (MUJOCO_GL=egl or osmesa; a display), and the tool's and the box's
paths with the force the arm felt from the scene. --frames DIR also saves the rendered views as
a numbered PNG sequence. Needs mujoco and matplotlib: pip install 'ZelkorHardwareAPI[mujoco,plot]'.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from typing import Any, List, Sequence, Tuple

import ZelkorHardwareAPI as zh

try:
    from zelkor_sim import port_or_simulator
except ImportError:  # not installed: run it from the source tree
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
    from zelkor_sim import port_or_simulator

HERE = os.path.dirname(os.path.abspath(__file__))
HOME = (0.28284271, 0.0, 0.0)  # the simulated end-effector at rest, m
PERIOD = 0.001  # s: the loop's, and the simulator's step
SCALE = 2.0  # scene metres per metre of the arm: the table is larger than the arm's reach
TOOL_START = (-0.08, 0.0, 0.05)  # where the tool starts in the scene, m
# The arm's home maps to the tool's start.
ORIGIN = tuple(h - t / SCALE for h, t in zip(HOME, TOOL_START))

# The hand's path, as (time s, where the tool should be in the scene): down onto the table and
# 2 cm into it (the hand presses), forward through the box, up, over to the dome and across it,
# 2 cm under its top, so the tool rides over it.
WAYPOINTS = [
    (0.0, (-0.08, 0.0, 0.05)),
    (0.5, (-0.08, 0.0, 0.05)),
    (1.5, (-0.08, 0.0, -0.01)),
    (4.0, (0.06, 0.0, -0.01)),
    (4.5, (0.06, 0.0, 0.06)),
    (5.5, (-0.04, 0.08, 0.06)),
    (6.0, (-0.04, 0.08, 0.02)),
    (9.0, (0.12, 0.08, 0.02)),
    (9.5, (0.12, 0.08, 0.06)),
]


def arm_point(scene_point: Sequence[float]) -> Tuple[float, float, float]:
    """Where the arm is when the tool is at `scene_point` with the coupling at rest."""
    x, y, z = (o + p / SCALE for o, p in zip(ORIGIN, scene_point))
    return x, y, z


def write_path(path: str) -> None:
    """The hand's path as the simulator reads it (--hand FILE), in the arm's frame."""
    with open(path, "w") as out:
        out.write("time,x,y,z\n")
        for t, point in WAYPOINTS:
            out.write("{},{},{},{}\n".format(t, *arm_point(point)))


class Run:
    """What a run leaves: the scene sampled at display rate, the views rendered, the stats."""

    def __init__(self) -> None:
        self.times: List[float] = []  # s, scene time
        self.tool: List[Tuple[float, float, float]] = []  # m, in the scene
        self.box: List[Tuple[float, float, float]] = []
        self.felt: List[float] = []  # N: the coupling's force on the arm
        self.frames: List[Tuple[float, Any]] = []  # (s, an RGB image)
        self.stats: zh.ServoStats | None = None


def renderer_for(model: Any) -> Any:
    """A mujoco.Renderer, or None where offscreen rendering does not work here."""
    import mujoco

    try:
        return mujoco.Renderer(model, 240, 320)
    except Exception as e:  # no display, no EGL, no OSMesa: the figure has the plots alone
        print(f"no rendering ({type(e).__name__}: {e}); the figure has the plots alone")
        return None


def run(port: str, seconds: float, stiffness: float, passivity: bool) -> Run:
    import mujoco

    model = mujoco.MjModel.from_xml_path(os.path.join(HERE, "scene.xml"))
    scene = zh.MujocoScene(model, ["tool"], stiffness, damping=2.0, origin=ORIGIN, scale=SCALE)
    box = model.jnt_qposadr[model.body_jntadr[model.body("box").id]]
    servo = zh.Servo(
        zh.Arbelon(zh.SerialStream(port)),
        1000.0,
        max_force=5.0,
        reply_timeout=1.0,  # in the simulator's own time a late reply is waited for
        give_up_after=5.0,
        passivity=passivity,
    )
    servo.scene = scene
    renderer = renderer_for(model)
    out = Run()
    next_frame = 0.0
    with servo:
        end = time.monotonic() + 60.0 * seconds  # however loaded the machine
        while servo.running and time.monotonic() < end:
            state = scene.state()
            if state.time >= seconds:
                break
            if not out.times or state.time > out.times[-1]:
                out.times.append(state.time)
                out.tool.append(state.tool_positions[0])
                x, y, z = (float(v) for v in state.qpos[box : box + 3])
                out.box.append((x, y, z))
                force = state.coupling_forces[0]
                out.felt.append(sum(f * f for f in force) ** 0.5 / SCALE)
            if renderer is not None and state.time >= next_frame:
                # A copy at display rate: the loop goes on stepping the scene's own data.
                renderer.update_scene(scene.copy_data(), camera="overview")
                out.frames.append((state.time, renderer.render()))
                next_frame = state.time + 0.25
            time.sleep(0.01)
    out.stats = servo.stats()
    return out


def save_figure(run: Run, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shown = _nearest(run.frames, (3.0, 7.5, run.times[-1] if run.times else 0.0))
    rows = 2 if shown else 1
    figure = plt.figure(figsize=(12, 4.2 * rows))
    for i, (t, image) in enumerate(shown):
        axes = figure.add_subplot(rows, 3, i + 1)
        axes.imshow(image)
        axes.set_title(f"t = {t:.2f} s")
        axes.axis("off")
    first = 3 * (rows - 1)
    top = figure.add_subplot(rows, 3, first + 1)
    top.plot([p[0] for p in run.tool], [p[1] for p in run.tool], label="tool")
    top.plot([p[0] for p in run.box], [p[1] for p in run.box], label="box")
    dome = plt.Circle((0.04, 0.08), 0.05, fill=False, linestyle="--", label="dome")
    top.add_patch(dome)
    top.set_aspect("equal")
    top.set_xlabel("x, m (scene)")
    top.set_ylabel("y, m")
    top.set_title("from above")
    top.legend(loc="upper left", fontsize="small")
    side = figure.add_subplot(rows, 3, first + 2)
    side.plot(run.times, [p[2] for p in run.tool], label="tool")
    side.axhline(0.01, color="grey", linestyle=":", label="tool on the table")
    side.set_xlabel("time, s")
    side.set_ylabel("height, m (scene)")
    side.set_title("the tool's height")
    side.legend(loc="upper left", fontsize="small")
    felt = figure.add_subplot(rows, 3, first + 3)
    felt.plot(run.times, run.felt)
    felt.set_xlabel("time, s")
    felt.set_ylabel("N")
    felt.set_title("the force the arm feels from the scene")
    figure.tight_layout()
    figure.savefig(path, dpi=80)
    print(f"figure saved to {path}")


def save_frames(run: Run, folder: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    os.makedirs(folder, exist_ok=True)
    for i, (_, image) in enumerate(run.frames):
        plt.imsave(os.path.join(folder, f"frame{i:04d}.png"), image)
    print(f"{len(run.frames)} frames saved to {folder}")


def _nearest(frames: List[Tuple[float, Any]], times: Sequence[float]) -> List[Tuple[float, Any]]:
    """The frame nearest each of `times`: pushing the box, on the dome, at the end."""
    if not frames:
        return []
    return [min(frames, key=lambda frame: abs(frame[0] - t)) for t in times]


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--port", help="an Arbelon's port (default: a simulator with a hand)")
    parser.add_argument("--seconds", type=float, default=WAYPOINTS[-1][0], help="of scene time")
    parser.add_argument("--stiffness", type=float, default=400.0, help="N/m (default 400)")
    parser.add_argument("--passivity", action="store_true", help="the passivity controller")
    parser.add_argument("--out", default="scene.png", help="the figure (default scene.png)")
    parser.add_argument("--frames", help="a folder for the rendered views, as PNG files")
    args = parser.parse_args()
    if "MUJOCO_GL" not in os.environ and not os.environ.get("DISPLAY"):
        os.environ["MUJOCO_GL"] = "egl"  # offscreen; set MUJOCO_GL=osmesa where EGL is missing
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "path.csv")
        write_path(path)
        simulated = ("--fixed-dt", str(PERIOD), "--hand", path)
        with port_or_simulator(args.port, "arbelon", *simulated) as port:
            result = run(port, args.seconds, args.stiffness, args.passivity)
    stats = result.stats
    assert stats is not None
    print(
        f"{stats.cycles} cycles at {stats.rate_hz:.0f} Hz, {stats.late_cycles} late; "
        f"stopped: {stats.stop_reason}; the box moved "
        f"{(result.box[-1][0] - result.box[0][0]) * 100:.1f} cm"
    )
    save_figure(result, args.out)
    if args.frames:
        save_frames(result, args.frames)


if __name__ == "__main__":
    main()
