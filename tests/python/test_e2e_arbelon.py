"""The Arbelon simulator driven through the library: identity, motion, kinematics."""

# pyright: reportUnknownMemberType=false
# (pytest.approx has no annotations)
from __future__ import annotations

import math
import time
from typing import TYPE_CHECKING, Any, Sequence

import pytest
import ZelkorHardwareAPI as zh

if TYPE_CHECKING:
    from conftest import StartSimulator
    from zelkor_sim import Simulator

UPPER_ARM = FOREARM = 0.20  # m, the simulator's documented arm


def forward_kinematics(q: Sequence[float]) -> list[float]:
    reach = UPPER_ARM * math.cos(q[1]) + FOREARM * math.cos(q[1] + q[2])
    height = UPPER_ARM * math.sin(q[1]) + FOREARM * math.sin(q[1] + q[2])
    return [reach * math.cos(q[0]), reach * math.sin(q[0]), height]


def jacobian_times(q: Sequence[float], qd: Sequence[float], h: float = 1e-6) -> list[float]:
    """d(position)/dt for joint velocities qd, by central differences."""
    ahead = forward_kinematics([a + h * v for a, v in zip(q, qd)])
    behind = forward_kinematics([a - h * v for a, v in zip(q, qd)])
    return [(a - b) / (2 * h) for a, b in zip(ahead, behind)]


def arm_on(sim: Simulator) -> zh.Arbelon:
    stream = zh.SerialStream(sim.port)
    return zh.Arbelon(stream)


@pytest.mark.parametrize(
    "options,identity",
    [
        ((), (0x0A01, 1, 2, 6, list(b"Zelkor simulator"))),
        (
            (
                "--device-id",
                "0x1234",
                "--model",
                "7",
                "--hardware-version",
                "2",
                "--firmware-version",
                "5",
                "--uuid",
                "101112131415161718191a1b1c1d1e1f",
            ),
            (4660, 7, 2, 5, list(range(16, 32))),
        ),
    ],
    ids=["default", "configured"],
)
def test_identity_round_trip(
    simulator: StartSimulator,
    options: tuple[str, ...],
    identity: tuple[int, int, int, int, list[int]],
) -> None:
    arm = arm_on(simulator("arbelon", *options))
    assert arm.device_wakeup() == identity
    info = arm.device_wakeup_dict()
    assert list(info.values())[:4] == list(identity[:4])
    assert info["device_id_ext"].bytes == bytes(identity[4])


@pytest.mark.parametrize(
    "force", [(2, 0, 0), (-2, 0, 0), (0, 2, 0), (0, -2, 0), (0, 0, 2), (0, 0, -2), (1, -1, 1)]
)
def test_a_constant_force_moves_the_end_effector_its_way(
    simulator: StartSimulator, force: tuple[int, int, int]
) -> None:
    arm = arm_on(simulator("arbelon", "--fixed-dt", "0.001"))
    start, _ = arm.end_effector_force([0, 0, 0])
    position, velocity = start, [0.0] * 3
    for _ in range(40):
        position, velocity = arm.end_effector_force(force)
    moved = [p - s for p, s in zip(position, start)]
    distance = math.sqrt(sum(m * m for m in moved))
    along = sum(m * f for m, f in zip(moved, force)) / math.sqrt(sum(f * f for f in force))
    assert distance > 1e-3
    assert along > 0.5 * distance  # within 60 degrees of the force
    assert sum(v * f for v, f in zip(velocity, force)) > 0


@pytest.mark.parametrize(
    "method,target",
    [
        ("joint_angles", [0.3, 0.5, -1.0]),
        ("joint_angles", [-0.5, 1.1, -2.0]),
        ("end_effector_position", [0.25, 0.05, 0.05]),
        ("end_effector_position", [0.2, -0.1, -0.08]),
    ],
)
def test_position_and_angle_requests_converge(
    simulator: StartSimulator, method: str, target: list[float]
) -> None:
    arm = arm_on(simulator("arbelon", "--fixed-dt", "0.002"))
    request: Any = getattr(arm, method)
    reached: list[float] = []
    speed: list[float] = []
    for _ in range(1000):  # two simulated seconds
        reached, speed = request(target)
    assert reached == pytest.approx(target, abs=1e-3)
    assert max(abs(v) for v in speed) < 1e-2


@pytest.mark.parametrize("pose", [[0.4, 0.9, -1.0], [0.6, 0.3, -1.2], [-0.8, 1.2, -0.6]])
def test_end_effector_and_joint_states_agree_through_the_kinematics(
    simulator: StartSimulator, pose: list[float]
) -> None:
    arm = arm_on(simulator("arbelon", "--fixed-dt", "0.001"))
    for _ in range(300):  # swing towards the pose without settling: the arm still moves
        arm.joint_angles(pose)
    # Limp from here on, whichever request: the end-effector state lies between the joint
    # states one step before and one step after it.
    q0, qd0 = arm.joint_torques([0, 0, 0])
    position, velocity = arm.end_effector_force([0, 0, 0])
    q2, qd2 = arm.joint_torques([0, 0, 0])
    q = [(a + b) / 2 for a, b in zip(q0, q2)]
    qd = [(a + b) / 2 for a, b in zip(qd0, qd2)]
    assert max(abs(v) for v in qd) > 0.01
    assert position == pytest.approx(forward_kinematics(q), abs=2e-5)
    assert velocity == pytest.approx(jacobian_times(q, qd), abs=2e-4)


def test_each_open_of_the_port_is_a_fresh_session(simulator: StartSimulator) -> None:
    sim = simulator("arbelon", "--fixed-dt", "0.001")
    for _ in range(3):
        arm = arm_on(sim)
        assert arm.device_wakeup()[0] == 0x0A01
        # The second request runs the arm a step under the first one's torque, which would
        # keep turning it.
        arm.joint_torques([0.2, 0, 0])
        arm.joint_torques([0.2, 0, 0])
        del arm  # closes the port
        # The simulator learns of the close from the line's hang-up; a reopen within the same
        # instant could not be told apart from the session going on.
        time.sleep(0.05)
    # A new session finds the motors limp: the base slows down instead of speeding up.
    arm = arm_on(sim)
    _, first = arm.joint_torques([0, 0, 0])
    _, later = arm.joint_torques([0, 0, 0])
    assert 0 < later[0] < first[0]


@pytest.mark.parametrize(
    "torque,current",
    [([0.2, -0.3, 0.1], [0.4, -0.6, 0.2]), ([5, -5, 0], [3.0, -3.0, 0.0])],
    ids=["proportional", "saturated"],
)
def test_motor_currents_follow_the_commanded_torque(
    simulator: StartSimulator, torque: list[float], current: list[float]
) -> None:
    arm = arm_on(simulator("arbelon", "--fixed-dt", "0.001"))
    arm.joint_torques(torque)
    arm.RequestCurrent()
    assert arm.ReceiveCurrent() == pytest.approx(current, abs=1e-6)
