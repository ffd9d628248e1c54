"""zelkor doctor against made-up sysfs and /dev trees, a chosen user and real-time answer, and
the simulator as the device."""

from __future__ import annotations

import io
import os
import re
import stat
import subprocess
import sys
import types
from pathlib import Path
from typing import TYPE_CHECKING, cast

import pytest
import ZelkorHardwareAPI as zh
from zelkor import doctor

if TYPE_CHECKING:
    from conftest import Device, StartSimulator

USB = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0"


def ftdi_tree(root: Path, latency_ms: int | None, governors: tuple[str, ...] = ()) -> Path:
    """An FTDI adapter on ttyUSB0 as the kernel lays it out, its latency timer, and CPUs with
    the given governors."""

    def link(path: str, target: Path) -> None:
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).symlink_to(target)

    (root / USB / "tty/ttyUSB0").mkdir(parents=True)
    link(f"{USB}/tty/ttyUSB0/device", root / USB)
    link(f"{USB}/subsystem", root / "sys/bus/usb-serial")
    link(f"{USB}/driver", root / "sys/bus/usb-serial/drivers/ftdi_sio")
    link("sys/class/tty/ttyUSB0", root / USB / "tty/ttyUSB0")
    timer = root / "sys/bus/usb-serial/devices/ttyUSB0"
    timer.mkdir(parents=True)
    if latency_ms is not None:
        (timer / "latency_timer").write_text(f"{latency_ms}\n")
    (root / "dev").mkdir()
    (root / "dev/ttyUSB0").touch()
    for n, governor in enumerate(governors):
        cpufreq = root / f"sys/devices/system/cpu/cpu{n}/cpufreq"
        cpufreq.mkdir(parents=True)
        (cpufreq / "scaling_governor").write_text(governor + "\n")
    return root


def checks(
    root: Path, port: str | None = None, realtime: doctor.Realtime | None = None
) -> dict[str, doctor.Finding]:
    machine = doctor.Machine(str(root), doctor.User(0, [0], "root"))
    machine.realtime = lambda: realtime or doctor.realtime_as_limited(95)
    return {f.check: f for f in doctor.examine(port, machine, 0.2)}


@pytest.mark.parametrize(
    "latency_ms, verdict, said",
    [
        (16, doctor.PROBLEM, "ttyUSB0 (ftdi_sio): 16 ms"),
        (2, doctor.PROBLEM, "ttyUSB0 (ftdi_sio): 2 ms"),
        (1, doctor.OK, "ttyUSB0 (ftdi_sio): 1 ms"),
        (None, doctor.NOTE, "shows no latency timer"),
    ],
)
def test_the_latency_timer_of_an_ftdi_adapter(
    tmp_path: Path, latency_ms: int | None, verdict: str, said: str
) -> None:
    root = ftdi_tree(tmp_path, latency_ms)
    found = checks(root)["latency timer"]
    assert (found.verdict, said in found.summary) == (verdict, True), found
    commands = [line.strip() for line in found.details if line.startswith("    ")]
    if verdict == doctor.PROBLEM:
        timer = root / "sys/bus/usb-serial/devices/ttyUSB0/latency_timer"
        assert commands == [f"echo 1 | sudo tee {timer}", doctor.LATENCY_RULE]
    else:
        assert commands == []


def test_the_command_judges_the_whole_machine(tmp_path: Path) -> None:
    """The command as a user runs it: each check's verdict, the overall one, the exit
    status; the real-time answer comes from ZELKOR_DOCTOR_RTPRIO."""

    def run(root: Path, rtprio: str, *args: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run(
            [sys.executable, "-m", "zelkor", "doctor", "--root", str(root), *args],
            capture_output=True,
            text=True,
            timeout=60,
            env={**os.environ, "ZELKOR_DOCTOR_RTPRIO": rtprio},
        )

    fine = run(ftdi_tree(tmp_path / "fine", 1, ("performance",) * 2), "95")
    assert fine.returncode == 0, fine.stdout + fine.stderr
    assert re.search(r"^latency timer +\[ok\] +ttyUSB0 \(ftdi_sio\): 1 ms", fine.stdout, re.M)
    assert re.search(r"^CPU governor +\[ok\] +performance on 2 CPUs", fine.stdout, re.M)
    # The made-up port is a file, so nothing answers there: a note, not a problem.
    assert re.search(r"^device line +\[note\] +no device answered on ", fine.stdout, re.M)
    assert re.search(r"\n\noverall +\[ok\] +ready, 1 note above\n$", fine.stdout)

    slow = run(ftdi_tree(tmp_path / "slow", 16, ("powersave", "performance")), "0")
    assert slow.returncode == 1, slow.stdout + slow.stderr
    assert re.search(r"^latency timer +\[problem\] +ttyUSB0 \(ftdi_sio\): 16 ms", slow.stdout, re.M)
    assert re.search(r"^real-time +\[problem\] +SCHED_FIFO refused", slow.stdout, re.M)
    assert re.search(r"^ +\S+ +- +rtprio +95$", slow.stdout, re.M)
    assert re.search(r"\[note\] +powersave on 1 CPU, performance on 1 CPU", slow.stdout)
    assert re.search(r"\n\noverall +\[problem\] +2 problems: ", slow.stdout)


@pytest.mark.parametrize(
    "arguments, env, error",
    [
        ([], {}, "a command is needed"),
        (["doctor", "--seconds", "0"], {}, "--seconds must be"),
        (["doctor", "--root", "/no/such/folder"], {}, "no such folder"),
        (["doctor"], {"ZELKOR_DOCTOR_RTPRIO": "lots"}, "ZELKOR_DOCTOR_RTPRIO must be"),
    ],
)
def test_the_command_refuses_bad_usage(
    arguments: list[str], env: dict[str, str], error: str
) -> None:
    run = subprocess.run(
        [sys.executable, "-m", "zelkor", *arguments],
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, **env},
    )
    assert (run.returncode, run.stdout) == (2, ""), run.stderr
    assert error in run.stderr


@pytest.mark.parametrize(
    "realtime, verdict, said",
    [
        (doctor.realtime_as_limited(95), doctor.OK, "granted"),
        (doctor.realtime_as_limited(0), doctor.PROBLEM, "/etc/security/limits.d/"),
        # The Servo asks for priority 80: a limit of 50 still gets it refused.
        (doctor.realtime_as_limited(50), doctor.PROBLEM, "rtprio  95"),
        (doctor.Realtime(99, 99, False, "Operation not permitted"), doctor.PROBLEM, "cgroup"),
    ],
)
def test_real_time_priority(
    tmp_path: Path, realtime: doctor.Realtime, verdict: str, said: str
) -> None:
    found = checks(ftdi_tree(tmp_path, 1), realtime=realtime)["real-time"]
    assert found.verdict == verdict
    assert said in found.summary + "\n".join(found.details)


RW_GROUP = stat.S_IRUSR | stat.S_IWUSR | stat.S_IRGRP | stat.S_IWGRP


@pytest.mark.parametrize(
    "user, mode, verdict, said",
    [
        (doctor.User(0, [0], "root"), RW_GROUP, doctor.OK, "run zelkor doctor as that user"),
        (doctor.User(4242, [4243], "owner"), RW_GROUP, doctor.OK, "as owner"),
        (doctor.User(4000, [4000, 4243], "member"), RW_GROUP, doctor.OK, "as member"),
        (doctor.User(4000, [4000], "stranger"), RW_GROUP, doctor.PROBLEM, "sudo usermod -aG"),
        # Added to the group since logging in: the session's groups do not have it yet.
        (doctor.User(4000, [4000], "newcomer", [4243]), RW_GROUP, doctor.PROBLEM, "log out and in"),
        # The group may not use it: joining it would not help.
        (doctor.User(4000, [4000, 4243], "member"), 0o600, doctor.PROBLEM, "Only its owner"),
    ],
)
def test_port_access(tmp_path: Path, user: doctor.User, mode: int, verdict: str, said: str) -> None:
    root = ftdi_tree(tmp_path, 1)
    port = root / "dev/ttyUSB0"
    os.chown(port, 4242, 4243)
    port.chmod(mode)
    machine = doctor.Machine(str(root), user)
    found = doctor.check_access("ttyUSB0", machine)
    assert found.verdict == verdict
    text = found.summary + "\n".join(found.details)
    assert said in text
    if verdict == doctor.PROBLEM:
        assert "udev" in text and 'MODE="0660"' in text


def line(strict: float, pipelined: float, failed: int = 0) -> zh.LineMeasurement:
    figures = types.SimpleNamespace(
        exchange_p50_us=1e6 / strict if strict else 0.0,
        exchange_p99_us=1e6 / strict if strict else 0.0,
        strict_hz=strict,
        pipelined_hz=pipelined,
        exchanges=100,
        failed=failed,
    )
    return cast(zh.LineMeasurement, figures)


@pytest.mark.parametrize(
    "measured, verdict, said",
    [
        (line(7000, 9000), doctor.OK, "A 1 kHz loop holds"),
        (line(400, 1200), doctor.NOTE, "pipeline=True"),
        (line(217, 446), doctor.NOTE, "Servo(arm, None)"),
        (line(62, 62), doctor.PROBLEM, "latency timer"),
        (line(500, 900, failed=50), doctor.PROBLEM, "50 of 100 exchanges"),
        (line(0, 0, failed=100), doctor.PROBLEM, "no whole reply"),
    ],
)
def test_what_the_line_means_for_a_1_khz_loop(
    measured: zh.LineMeasurement, verdict: str, said: str
) -> None:
    found = doctor.describe_line("/dev/ttyUSB0", measured)
    assert found.verdict == verdict
    assert said in "\n".join(found.details)


def test_the_simulator_as_the_device(simulator: StartSimulator, device: Device) -> None:
    arm = simulator("arbelon")
    run = subprocess.run(
        [sys.executable, "-m", "zelkor", "doctor", arm.port, "--seconds", "0.5"],
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, "ZELKOR_DOCTOR_RTPRIO": "95"},
    )
    assert re.search(
        r"^device line +\[(ok|note)\] +Arbelon 0x0a01 on \S+: exchange p50 \d+ µs, p99 \d+ µs; "
        r"it holds [\d,]+ Hz strict, [\d,]+ Hz pipelined$",
        run.stdout,
        re.M,
    ), run.stdout + run.stderr
    assert "a pseudo-terminal" in run.stdout
    assert run.returncode == 0, run.stdout

    # A port that opens but where nothing answers, and one that does not exist.
    out = io.StringIO()
    assert doctor.main(device.path, seconds=0.2, rtprio=95, out=out) == 1
    assert "opens, but no device answered its wake-up" in out.getvalue()
    out = io.StringIO()
    assert doctor.main("/dev/zelkor-no-such-port", rtprio=95, out=out) == 1
    assert "does not open: No such file or directory (errno 2)" in out.getvalue()
