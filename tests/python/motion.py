"""How far an example moved a simulated arm, from the simulator's own record of it.

zelkor-sim --trace writes a row per state request: the request, and the end-effector's position
and velocity after it. tracing() makes a stand-in for zelkor-sim that gives every simulated arm
a trace; with ZELKOR_SIM set to it, the arms a test starts and those an example starts itself
(zelkor_sim.Simulator finds the program through ZELKOR_SIM) alike leave one.
"""

from __future__ import annotations

import math
import os
from pathlib import Path
from typing import List, Tuple

# Further than this from where an example found it, the example threw the arm: a shape that
# the arm rests inside, or a hard push let go, flings the end-effector several centimetres
# in a fraction of a second (a sphere of 1500 N/m around the arm's rest, 1 cm deep: 7 cm in
# the first 0.3 s, with the servo's soft start). What examples do on purpose, such as a
# spring or a simulated hand pulling the arm 2 cm, stays well within it.
THROWN = 0.03  # m

STAND_IN = """#!/bin/sh
if [ "$1" = arbelon ]; then exec "{program}" "$@" --trace "{traces}/$$.csv"; fi
exec "{program}" "$@"
"""


def tracing(folder: Path, program: str) -> Path:
    """Writes a stand-in for the zelkor-sim `program` into `folder` and returns its path; the
    arms it simulates write their traces into `folder`/traces."""
    (folder / "traces").mkdir()
    stand_in = folder / "zelkor-sim"
    stand_in.write_text(STAND_IN.format(program=program, traces=folder / "traces"))
    stand_in.chmod(0o755)
    return stand_in


class Traces:
    """The traces in a folder, read a piece at a time."""

    def __init__(self, folder: str | os.PathLike[str]) -> None:
        self.folder = Path(folder)
        self.seen: dict[Path, int] = {}

    def moved(self) -> List[Tuple[float, float]]:
        """For each arm with rows since the last call: how far the end-effector got from where
        the first of them found it (m), and its top speed (m/s)."""
        found = []
        for path in sorted(self.folder.glob("*.csv")):
            # Past the header; the last piece is a row still being written, or nothing.
            rows = path.read_text().split("\n")[1:-1]
            new, self.seen[path] = rows[self.seen.get(path, 0) :], len(rows)
            states = [[float(v) for v in row.split(",")[5:11]] for row in new]
            if states:
                far = max(math.dist(state[:3], states[0][:3]) for state in states)
                fast = max(math.hypot(*state[3:]) for state in states)
                found.append((far, fast))
        return found

    def thrown(self) -> str:
        """What threw an arm since the last call ("" when nothing did)."""
        return "; ".join(
            f"it threw the arm {far * 100:.1f} cm, at up to {fast:.2f} m/s"
            for far, fast in self.moved()
            if far > THROWN
        )
