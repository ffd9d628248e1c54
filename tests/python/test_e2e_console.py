"""zelkor-console, the first check of a device, against the simulator."""

from __future__ import annotations

import os
import shutil
import subprocess
from typing import TYPE_CHECKING

from zelkor_sim import executable

if TYPE_CHECKING:
    from conftest import StartSimulator

NAME = "zelkor-console"


def console() -> str:
    """ZELKOR_CONSOLE, else beside the simulator in use (pip installs the two together; a
    build folder has it in tools/ beside sim/), else on PATH."""
    sim = os.path.dirname(executable())
    for candidate in (
        os.environ.get("ZELKOR_CONSOLE", ""),
        os.path.join(sim, NAME),
        os.path.join(sim, os.pardir, "tools", NAME),
    ):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    found = shutil.which(NAME)
    assert found, f"{NAME} is not installed (pip install . puts it beside zelkor-sim)"
    return found


def run(*arguments: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [console(), *arguments], capture_output=True, text=True, timeout=60, check=False
    )


def test_wakes_the_arm_and_exchanges_a_force(simulator: StartSimulator) -> None:
    sim = simulator("arbelon", "--fixed-dt", "0.001")
    result = run("arbelon", sim.port, "wakeup", "force", "0", "0", "0.5")
    assert (result.returncode, result.stderr) == (0, "")
    wakeup, force = result.stdout.splitlines()
    assert wakeup == (
        "wakeup: device_id 2561 model 1 hardware 2 firmware 6 uuid 5a656c6b6f722073696d756c61746f72"
    )
    # The reply shows the arm where it was: at home.
    assert force.startswith("force: position 0.28284") and force.endswith(" velocity 0 0 0")

    found = run("find", sim.port)
    assert (found.returncode, found.stdout) == (
        0,
        f"{sim.port}: Arbelon device_id 2561 model 1 hardware 2 firmware 6\n",
    )
    assert run("ports").returncode == 0
