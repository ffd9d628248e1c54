"""The README's main command, examples/haptic_loop.py, run to its summary in a short mode."""

from __future__ import annotations

import os
import pathlib
import re
import signal
import subprocess
import sys
from typing import TYPE_CHECKING

import pytest
import ZelkorHardwareAPI as zh

if TYPE_CHECKING:
    from conftest import Device, StartSimulator

DEMO = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "haptic_loop.py")


def run_demo(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, DEMO, "--seconds", "0.5", *args],
        capture_output=True,
        text=True,
        timeout=60,
    )


def test_the_demo_runs_to_its_summary() -> None:
    run = run_demo()
    assert run.returncode == 0, run.stderr
    out = run.stdout
    assert re.search(r"Arbelon 0x0a01, model 1, hardware 2, firmware 6, id 5a656c6b-", out)
    assert re.search(r"loop rate +\d+\.\d Hz", out)
    assert re.search(r"exchange +p50 \d.* p99 \d.* max \d", out)
    # The virtual hand presses 1.5 N onto a 1000 N/m wall: about 1.5 mm deep.
    depth = re.search(r"penetration +max ([\d.]+) mm, mean in contact ([\d.]+) mm", out)
    assert depth, out
    assert 0.7 < float(depth.group(2)) < 2.5
    assert float(depth.group(1)) < 8.0
    assert "RuntimeWarning" not in run.stderr, "the demo's wall is one the loop renders stably"
    # The servo gives an exchange up at the end of its cycle: on a busy machine some are.
    loop = re.search(r"Hz, (\d+) exchanges in", out)
    assert loop, out
    exchanges = int(loop.group(1))
    failed = re.search(r"failed +(\d+) exchanges", out)
    assert failed is None or int(failed.group(1)) < exchanges // 2, out


def test_the_demo_saves_a_plot_and_its_recording(tmp_path: pathlib.Path) -> None:
    pytest.importorskip("matplotlib")
    figure, saved = tmp_path / "wall.png", tmp_path / "run.npz"
    run = run_demo("--plot", str(figure), "--save", str(saved))
    assert run.returncode == 0, run.stderr
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    # Every cycle the summary counts is in the recording, in order.
    recording = zh.Recording.load(saved)
    loop = re.search(r"Hz, (\d+) exchanges in", run.stdout)
    assert loop and len(recording) == int(loop.group(1)), run.stdout
    assert (recording.cycle == range(1, len(recording) + 1)).all()


@pytest.mark.parametrize("args", [("--seconds", "0"), ("--rate", "0"), ("--stiffness", "-1")])
def test_the_demo_refuses_bad_settings(args: tuple[str, ...]) -> None:
    run = subprocess.run([sys.executable, DEMO, *args], capture_output=True, text=True, timeout=60)
    assert run.returncode == 2
    assert "must" in run.stderr


def test_the_python_loop_runs_to_the_same_summary() -> None:
    run = run_demo("--python-loop")
    assert run.returncode == 0, run.stderr
    assert "with a loop in Python" in run.stdout
    assert re.search(r"loop rate +\d+\.\d Hz", run.stdout)
    assert re.search(r"penetration +max [\d.]+ mm", run.stdout)


def test_the_demo_drives_a_given_port(simulator: StartSimulator) -> None:
    sim = simulator("arbelon")
    run = run_demo("--port", sim.port, "--push", "1.5")
    assert run.returncode == 0, run.stderr
    assert "started the simulator" not in run.stdout
    assert "penetration   max" in run.stdout


@pytest.mark.parametrize(
    "port, said",
    [
        ("/dev/zelkor-no-such-port", "No such file or directory (errno 2)"),
        ("silent", "no device answered the wake-up on "),
    ],
)
def test_the_demo_stops_on_a_port_without_a_device(port: str, said: str, device: Device) -> None:
    # "silent": a terminal that opens, where nothing answers.
    run = run_demo("--port", device.path if port == "silent" else port)
    assert run.returncode == 1
    assert said in run.stderr
    assert "rendering" not in run.stdout and "Arbelon" not in run.stdout


@pytest.mark.parametrize("loop", [(), ("--python-loop",)])
def test_the_status_line_gives_no_rate_before_a_full_second(loop: tuple[str, ...]) -> None:
    # Not a terminal: a status line a second, the first at the start.
    run = run_demo("--seconds", "1.5", *loop)
    assert run.returncode == 0, run.stderr
    status = re.findall(r"^  t +([\d.]+)/.* \| +(\S+) Hz$", run.stdout, re.M)
    assert status, run.stdout
    for t, rate in status:
        assert (rate == "-") == (float(t) < 1.0), run.stdout


@pytest.mark.parametrize("loop", [(), ("--python-loop",)])
def test_ctrl_c_ends_the_demo_with_one_line(loop: tuple[str, ...]) -> None:
    # As a terminal does it: SIGINT to the whole foreground process group, the demo and the
    # simulator it started alike. The simulator must not take it: the servo would see its port
    # close, and blame the device.
    with subprocess.Popen(
        [sys.executable, DEMO, "--seconds", "600", *loop],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    ) as demo:
        assert demo.stdout is not None and demo.stderr is not None
        shown = ""
        while "  t " not in shown:  # the loop runs
            line = demo.stdout.readline()
            assert line, shown + demo.stderr.read()
            shown += line
        os.killpg(demo.pid, signal.SIGINT)
        out, err = demo.communicate(timeout=60)
    assert demo.returncode == 130, err
    last = out.splitlines()[-1]
    assert re.fullmatch(
        r"interrupted after [\d.]+ s: \d+ exchanges at [\d.]+ Hz, \d+ failed, .*"
        r"; the arm is left limp",
        last,
    ), out + err
    assert "Traceback" not in err and "stopped by itself" not in out + err, out + err
