"""The ends of the teleoperator, step by step, without a network: the passivity controller
moves an anchor only as far as the energy received allows and catches up once energy comes,
the energy a spring gives back is counted in, the leader renders the follower's force, and
the other end's samples are taken in order, with lost, late and malformed ones counted."""

# pyright: reportUnknownMemberType=false, reportUnknownVariableType=false, reportUnknownArgumentType=false
from __future__ import annotations

import math
import time
from typing import Any, Dict, List, Tuple

import pytest

pytest.importorskip("zenoh")

from zelkor.remote import wire  # noqa: E402
from zelkor.remote.teleop import LEADER_STIFFNESS, START_CREDIT, Follower, Leader  # noqa: E402

K = 200.0
HOME = (0.28, 0.0, 0.0)


def at(position: Tuple[float, float, float], cycle: int = 1) -> List[wire.State]:
    return [wire.State(cycle, cycle * 0.001, position)]


def leader_says(x: Tuple[float, float, float], energy: float, seq: int = 1) -> Dict[str, Any]:
    return {"seq": seq, "x": list(x), "e": energy}


def test_the_follower_moves_only_as_far_as_the_energy_received_allows() -> None:
    end = Follower("follower", True, K, 0.5, [])
    end.step(at(HOME), None, 0.0)  # at rest where it is
    target = (HOME[0], HOME[1], HOME[2] - 0.01)
    effects, sample = end.step(at(HOME, 2), leader_says(target, 0.0), time.monotonic())
    # Nothing came in: the start credit alone stretches the spring, 1/2 K d^2 = 2 mJ.
    reach = math.sqrt(2 * START_CREDIT / K)
    anchor = effects[0].anchor
    assert anchor[2] == pytest.approx(HOME[2] - reach, rel=1e-9)
    assert end.result.energy_out == pytest.approx(START_CREDIT)
    assert end.result.observer == pytest.approx(0.0, abs=1e-15) and end.result.held_back == 1
    assert end.result.drift == pytest.approx(0.01 - reach)
    assert sample["f"] == pytest.approx([0.0, 0.0, -K * reach])
    # Held back while nothing comes in, however often asked.
    for cycle in range(3, 10):
        effects, _ = end.step(at(HOME, cycle), leader_says(target, 0.0), time.monotonic())
    assert effects[0].anchor[2] == pytest.approx(HOME[2] - reach)
    assert end.result.min_observer >= -1e-15
    # Energy arrives: the anchor catches up with the leader at once.
    effects, _ = end.step(at(HOME, 10), leader_says(target, 0.05), time.monotonic())
    assert effects[0].anchor == pytest.approx(target)
    assert end.result.drift == 0.0
    assert end.result.energy_out == pytest.approx(0.5 * K * 0.01**2)
    # The leader comes back: the spring gives its energy back into the channel.
    effects, sample = end.step(at(HOME, 11), leader_says(HOME, 0.05), time.monotonic())
    assert effects[0].anchor == pytest.approx(HOME)
    assert end.result.energy_in == pytest.approx(0.5 * K * 0.01**2)
    assert sample["e"] == end.result.energy_in and sample["f"] == pytest.approx([0.0, 0.0, 0.0])


def test_without_the_controller_the_anchor_goes_all_the_way() -> None:
    end = Follower("follower", False, K, 0.5, [])
    end.step(at(HOME), None, 0.0)
    target = (HOME[0], HOME[1] + 0.02, HOME[2])
    effects, _ = end.step(at(HOME, 2), leader_says(target, 0.0), time.monotonic())
    assert effects[0].anchor == pytest.approx(target)
    assert end.result.observer < 0  # what the controller is there to prevent
    assert end.result.held_back == 0


def test_the_leader_renders_the_followers_force_reversed() -> None:
    end = Leader("leader", True, LEADER_STIFFNESS, 0.5, [])
    end.step(at(HOME), None, 0.0)
    force = [0.0, 0.3, -0.4]  # the follower's spring pulls its arm so
    effects, sample = end.step(at(HOME, 2), {"seq": 1, "f": force, "e": 0.0}, time.monotonic())
    rendered = effects[0].force_at(HOME)
    assert rendered == pytest.approx([0.0, -0.3, 0.4], abs=1e-12)
    # Placing the anchor took 1/2 |f|^2 / K out of the start credit.
    assert end.result.energy_out == pytest.approx(0.5 * 0.25 / LEADER_STIFFNESS)
    assert sample["x"] == list(HOME)
    # A stale follower: no force.
    effects, _ = end.step(at(HOME, 3), {"seq": 1, "f": force, "e": 0.0}, time.monotonic() - 10)
    assert effects[0].force_at(HOME) == pytest.approx([0.0, 0.0, 0.0], abs=1e-12)


def test_samples_are_taken_in_order_and_the_bad_ones_counted() -> None:
    end = Follower("follower", True, K, 0.5, [])
    good = [wire.encode(leader_says(HOME, 0.001 * seq, seq)) for seq in range(1, 8)]
    bad = [
        b"garbage",
        wire.encode({"seq": 9}),  # no position, no energy
        wire.encode({"seq": "9", "x": [0, 0, 0], "e": 0}),
        wire.encode({"seq": 9, "x": [0, 0], "e": 0}),
        wire.encode({"seq": 9, "x": [0, 0, 0], "e": "much"}),
        wire.encode({"seq": 9, "f": [0, 0, 0], "e": 0}),  # the leader's kind of sample
    ]
    for payload in (good[0], good[1], good[4], good[3], good[6], *bad):
        end.on_sample(payload)
    result = end.result
    assert (result.samples_received, result.samples_late, result.samples_lost) == (5, 1, 3)
    assert result.samples_dropped == len(bad)
    _, peer, _, _ = end.take()
    assert peer is not None and peer["seq"] == 7 and peer["e"] == pytest.approx(0.007)
