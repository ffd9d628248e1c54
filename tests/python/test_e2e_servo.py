"""The servo loop driving the simulated arm."""

# pyright: reportUnknownMemberType=false
# (pytest.approx has no annotations)
from __future__ import annotations

import threading
import time
from typing import TYPE_CHECKING, Callable

import pytest
import ZelkorHardwareAPI as zh

if TYPE_CHECKING:
    from conftest import StartSimulator


def wait_for(condition: Callable[[], bool], limit: float = 5.0) -> bool:
    end = time.monotonic() + limit
    while not condition() and time.monotonic() < end:
        time.sleep(0.01)
    return condition()


def test_the_servo_holds_the_arm_against_a_wall(simulator: StartSimulator) -> None:
    arm = zh.Arbelon(zh.SerialStream(simulator("arbelon").port))
    x0, y0, z0 = arm.end_effector_force()[0]
    wall = z0 - 0.01
    servo = zh.Servo(arm, 1000.0, max_force=8.0)
    # A hand keeps the end-effector over its start and presses it down with 1.5 N onto a
    # 2000 N/m wall: it settles 0.75 mm deep.
    servo.effects = [
        zh.Wall((0, 0, 1), wall, 2000.0, 10.0),
        zh.ConstantForce((0, 0, -1.5)),
        zh.Spring((x0, y0, wall), 0.0),
        zh.Damper(4.0),
    ]
    with servo:
        time.sleep(2.0)
        state = servo.state()
    assert wall - state.position[2] == pytest.approx(0.00075, abs=0.0003)
    assert state.force[2] == pytest.approx(0.0, abs=0.3), "wall and push balance"
    stats = servo.stats()
    assert stats.cycles > 500 and stats.stop_reason == "stopped"


@pytest.mark.parametrize(
    "option,reason", [("--silent-after", "device not answering"), ("--hangup-after", "port closed")]
)
def test_a_device_that_goes_away_stops_the_servo(
    simulator: StartSimulator, option: str, reason: str
) -> None:
    sim = simulator("arbelon", option, "200")
    stream = zh.SerialStream(sim.port)
    servo = zh.Servo(zh.Arbelon(stream), 1000.0)
    servo.effects = [zh.Damper(1.0)]
    start = time.monotonic()
    servo.start()
    assert wait_for(lambda: not servo.running)
    assert time.monotonic() - start < 3.0
    assert servo.stats().stop_reason == reason
    assert stream.is_open == (reason != "port closed")
    if reason == "port closed":
        assert "hung up" in stream.last_error
        sim.process.wait(timeout=5)


def test_effects_swapped_from_another_thread(simulator: StartSimulator) -> None:
    arm = zh.Arbelon(zh.SerialStream(simulator("arbelon").port))
    servo = zh.Servo(arm, 1000.0, max_force=3.0)
    stop = threading.Event()

    def swap() -> None:
        i = 0
        while not stop.is_set():
            i += 1
            servo.effects = [zh.ConstantForce((0, 0, 0.5 if i % 2 else -0.5)), zh.Damper(5.0)]

    with servo:
        swapper = threading.Thread(target=swap)
        swapper.start()
        time.sleep(0.5)
        stop.set()
        swapper.join()
        servo.effects = [zh.ConstantForce((0, 0, 2.0))]
        assert wait_for(lambda: servo.state().force[2] == 2.0)
    # A loaded machine makes some replies late; the loop goes on regardless.
    assert servo.stats().failed_exchanges < servo.stats().cycles // 2
