"""One host process of the scene benchmark (bench/scene.py starts it, once per measurement).

    scenehost.py servo SECONDS PORT     the 20-body scene stepped by a Servo at 1 kHz
    scenehost.py python SECONDS PORT    the same scene stepped from a Python loop at 1 kHz,
                                        as a program without the Servo's scene would
    scenehost.py count none|scene CYCLES PORT
                                        a Servo at 20 Hz with a spring, and with or without
                                        the scene (one 50 ms step a cycle), until it has run
                                        CYCLES cycles: for counting under callgrind, which runs
                                        a step some fifty times slower than the machine does,
                                        at a rate where it still fits the period

Prints one JSON line.
"""

import json
import sys
import time

import mujoco
import ZelkorHardwareAPI as zh

HOME = (0.28284271, 0.0, 0.0)
STIFFNESS = 300.0  # N/m, the coupling's
DAMPING = 2.0  # N s/m


def octahedron(size):
    """The vertices of a mesh: an octahedron `size` m from its centre to each corner."""
    corners = [
        (size, 0, 0),
        (-size, 0, 0),
        (0, size, 0),
        (0, -size, 0),
        (0, 0, size),
        (0, 0, -size),
    ]
    return " ".join(f"{x} {y} {z}" for x, y, z in corners)


def scene_xml(timestep=0.001, bodies=20):
    """A floor and `bodies` bodies, each with a mesh geom: the tool (held 1 cm over the floor at
    the scene's origin) and the rest lying on the floor around it."""
    others = []
    for i in range(bodies - 1):
        row, column = divmod(i, 5)
        x, y = 0.04 * (column - 2), 0.04 * (row + 1)
        others.append(
            f'<body pos="{x} {y} -0.005"><freejoint/>'
            f'<geom type="mesh" mesh="piece" mass="0.05"/></body>'
        )
    return f"""<mujoco><option timestep="{timestep}"/>
<default><geom solref="0.002 1"/></default>
<asset><mesh name="piece" vertex="{octahedron(0.012)}"/>
<mesh name="tool" vertex="{octahedron(0.006)}"/></asset>
<worldbody><geom type="plane" size="1 1 0.01" pos="0 0 -0.02"/>
<body name="tool" gravcomp="1"><freejoint/><geom type="mesh" mesh="tool" mass="0.02"/></body>
{"".join(others)}
</worldbody></mujoco>"""


def servo_run(seconds, port):
    model = mujoco.MjModel.from_xml_string(scene_xml())
    scene = zh.MujocoScene(model, ["tool"], STIFFNESS, DAMPING, origin=HOME)
    servo = zh.Servo(zh.Arbelon(zh.SerialStream(port)), 1000.0)
    servo.scene = scene
    with servo:
        time.sleep(seconds)
    stats = servo.stats()
    return {
        "cycles": stats.cycles,
        "rate_hz": stats.rate_hz,
        "late": stats.late_cycles,
        "missed": stats.missed,
        "failed": stats.failed_exchanges,
        "p50_us": stats.p50_us,
        "p99_us": stats.p99_us,
        "stop_reason": stats.stop_reason,
        "steps": scene.state().steps,
    }


def python_run(seconds, port):
    """What a program does without the Servo's scene: exchange, couple, step, sleep."""
    model = mujoco.MjModel.from_xml_string(scene_xml())
    data = mujoco.MjData(model)
    tool = model.body("tool").id
    address = model.jnt_qposadr[model.body_jntadr[tool]]
    dof = model.jnt_dofadr[model.body_jntadr[tool]]
    arm = zh.Arbelon(zh.SerialStream(port))
    period = 1.0 / 1000.0
    force = [0.0, 0.0, 0.0]
    cycles = late = missed = failed = 0
    clock = time.perf_counter
    start = clock()
    deadline = start
    end = start + seconds
    while clock() < end:
        position, velocity = arm.end_effector_force(force)
        cycles += 1
        if position == [0.0, 0.0, 0.0]:
            failed += 1
        else:
            x = data.qpos[address : address + 3]
            v = data.qvel[dof : dof + 3]
            pull = [
                STIFFNESS * (position[k] - HOME[k] - x[k]) + DAMPING * (velocity[k] - v[k])
                for k in range(3)
            ]
            data.xfrc_applied[tool, :3] = pull
            force = [-f for f in pull]
        mujoco.mj_step(model, data)
        deadline += period
        now = clock()
        if now > deadline:
            late += 1
            if now > deadline + period:
                lost = int((now - deadline) // period)
                missed += lost
                deadline += lost * period
        while True:
            left = deadline - clock()
            if left <= 0:
                break
            if left > 0.0003:
                time.sleep(left - 0.0002)  # sleep most of the wait, spin the rest
    elapsed = clock() - start
    arm.end_effector_force([0.0, 0.0, 0.0])
    return {
        "cycles": cycles,
        "rate_hz": cycles / elapsed,
        "late": late,
        "missed": missed,
        "failed": failed,
        "stop_reason": None,
        "steps": cycles,
    }


COUNT_RATE = 20.0  # Hz


def count_run(mode, cycles, port):
    """Runs until `cycles` cycles after the first 100; the main thread only sleeps and looks."""
    servo = zh.Servo(zh.Arbelon(zh.SerialStream(port)), COUNT_RATE, reply_timeout=1.0)
    servo.effects = [zh.Spring((0.1, 0.0, 0.0), 0.5)]
    if mode == "scene":
        model = mujoco.MjModel.from_xml_string(scene_xml(timestep=1.0 / COUNT_RATE))
        # The engine's code stepped once here first: callgrind translates code the first time
        # it runs, which would hold the loop's first steps up for longer than its stall time.
        scratch = mujoco.MjData(model)
        for _ in range(20):
            mujoco.mj_step(model, scratch)
        # A coupling of no stiffness: it is computed as any other, and the benchmark peer, which
        # echoes the force as the position, takes the same path with and without the scene.
        servo.scene = zh.MujocoScene(model, ["tool"], 0.0, 0.0, origin=HOME)
    with servo:
        while servo.running and servo.stats().cycles < 100 + cycles:
            time.sleep(0.05)
    stats = servo.stats()
    if stats.stop_reason != "stopped":
        raise SystemExit(f"the servo stopped by itself: {stats.stop_reason}")
    return {"cycles": stats.cycles}


def main():
    how = sys.argv[1]
    if how == "count":
        mode, cycles, port = sys.argv[2:5]
        result = count_run(mode, int(cycles), port)
    else:
        seconds, port = sys.argv[2:4]
        result = (servo_run if how == "servo" else python_run)(float(seconds), port)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
