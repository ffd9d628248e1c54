"""The zelkor-sim process: its port, its link, how it ends, and what bad input does."""

# pyright: reportUnknownMemberType=false
# (pytest.approx has no annotations)
from __future__ import annotations

import os
import pathlib
import select
import signal
import struct
import subprocess
import time
from typing import TYPE_CHECKING

import pytest
import ZelkorHardwareAPI as zh
from recorder import Recorder
from zelkor_sim import LINES, Simulator, executable

if TYPE_CHECKING:
    from conftest import StartSimulator


def test_link_points_at_the_port_while_it_runs(
    simulator: StartSimulator, tmp_path: pathlib.Path
) -> None:
    link = tmp_path / "arbelon"
    sim = simulator("arbelon", "--link", str(link))
    assert sim.port.startswith("/dev/")
    assert os.readlink(link) == sim.port
    arm = zh.Arbelon(zh.SerialStream(str(link)))
    assert arm.device_wakeup()[0] == 0x0A01
    sim.stop()
    assert not os.path.lexists(link)


def test_a_link_never_replaces_a_file(tmp_path: pathlib.Path) -> None:
    precious = tmp_path / "precious"
    precious.write_text("keep")
    run = subprocess.run(
        [executable(), "arbelon", "--link", str(precious)],
        capture_output=True,
        text=True,
        timeout=10,
    )
    assert run.returncode == 1
    assert "is not a symbolic link" in run.stderr
    assert precious.read_text() == "keep"


@pytest.mark.parametrize("how", ["SIGTERM", "SIGINT", "stdin"])
def test_it_ends_cleanly_on_a_signal_or_the_end_of_its_input(how: str) -> None:
    sim = Simulator("handle")
    sim.start()
    if how == "stdin":
        assert sim.process.stdin is not None
        sim.process.stdin.close()
    else:
        sim.process.send_signal(getattr(signal, how))
    assert sim.process.wait(timeout=5) == 0
    sim.stop()


@pytest.mark.parametrize("signal_name", ["SIGTERM", "SIGINT"])
def test_a_signal_ends_it_while_its_input_never_runs_dry(signal_name: str) -> None:
    # Standard input from /dev/zero is always ready: the wait for the port and the input never
    # waits, which once kept the signal out for ever while the simulator spun.
    with open(os.devnull) as quiet, open("/dev/zero", "rb") as zeros, subprocess.Popen(
        [executable(), "arbelon", "--exit-on-stdin-eof"],
        stdin=zeros,
        stdout=subprocess.PIPE,
        stderr=quiet,
    ) as sim:
        assert sim.stdout is not None
        assert sim.stdout.readline().startswith(b"/dev/")  # serving
        sim.send_signal(getattr(signal, signal_name))
        try:
            assert sim.wait(timeout=10) == 0
        finally:
            sim.kill()


@pytest.mark.parametrize(
    "args,says",
    [
        ([], "which device"),
        (["arm"], "unknown device"),
        (["arbelon", "--drop", "2"], "chance"),
        (["arbelon", "--line", "rs232"], "'rs232' is not a line: give pty, uart"),
        (["handle", "--trace", "trace.csv"], "--trace applies to the arbelon only"),
        (["arbelon", "--trace", "/zelkor-no-such-folder/t.csv"], "No such file or directory"),
    ],
)
def test_bad_command_lines_are_refused_with_a_reason(args: list[str], says: str) -> None:
    run = subprocess.run([executable(), *args], capture_output=True, text=True, timeout=10)
    assert run.returncode == 2
    assert says in run.stderr
    assert run.stdout == ""


def test_a_trace_has_each_state_request_by_the_time_its_reply_comes(
    simulator: StartSimulator, tmp_path: pathlib.Path
) -> None:
    trace = tmp_path / "trace.csv"
    sim = simulator("arbelon", "--fixed-dt", "0.001", "--trace", str(trace))
    arm = zh.Arbelon(zh.SerialStream(sim.port))
    arm.device_wakeup()  # no state request: no row
    requests = [
        ("force", [0.0, 0.0, 0.5], arm.end_effector_force),
        ("position", [0.28, 0.0, 0.01], arm.end_effector_position),
        ("torques", [0.0, 0.01, 0.0], arm.joint_torques),
        ("angles", [0.0, 0.8, -1.5], arm.joint_angles),
        ("force", [0.0, 0.0, 0.0], arm.end_effector_force),
    ]
    for n, (name, values, call) in enumerate(requests, 1):
        state, velocity = call(values)
        rows = trace.read_text().splitlines()
        assert rows[0] == (
            "time,request,x,y,z,position_x,position_y,position_z,velocity_x,velocity_y,velocity_z"
        )
        assert len(rows) == 1 + n, rows
        row = rows[-1].split(",")
        # The arm's simulated time: a millisecond a state request here.
        assert float(row[0]) == pytest.approx(0.001 * n)
        assert row[1] == name
        assert [float(v) for v in row[2:5]] == pytest.approx(values)
        if name in ("force", "position"):  # an end-effector reply: the row's state
            assert [float(v) for v in row[5:8]] == pytest.approx(state, abs=1e-6)
            assert [float(v) for v in row[8:11]] == pytest.approx(velocity, abs=1e-6)


def test_its_port_and_process_are_there_once_it_has_started() -> None:
    sim = Simulator("handle")
    for read in (lambda: sim.port, lambda: sim.process):
        with pytest.raises(RuntimeError, match="has not been started"):
            read()
    assert not sim.running() and sim.stop() == ""
    with sim:
        assert sim.port.startswith("/dev/") and sim.process.poll() is None


def test_a_simulator_that_does_not_start_says_why() -> None:
    with pytest.raises(RuntimeError, match="unknown option '--bogus'"):
        Simulator("arbelon", "--bogus").start()
    with pytest.raises(RuntimeError, match="'serial' is not a line"):
        Simulator("arbelon", line="serial").start()


def test_the_launchers_lines_are_the_ones_the_simulator_lists() -> None:
    # LINES is a literal so that argparse can offer it at import; the simulator's table is
    # the one that counts.
    run = subprocess.run([executable(), "--lines"], capture_output=True, text=True, timeout=10)
    assert run.returncode == 0 and run.stderr == ""
    rows = [row.split(None, 3) for row in run.stdout.splitlines()]
    assert tuple(name for name, *_ in rows) == LINES
    for name, strict, pipelined, description in rows:
        if name == "pty":
            assert strict == pipelined == "-"  # no limit of the line's own
        else:
            assert 0 < float(strict) <= float(pipelined) <= 2 * float(strict), name
        assert description


# Milliseconds per strict exchange in a loop. The line never lets a byte through early, so the
# lower bounds hold however loaded the machine: 38 bytes of wire (3.3 ms) for the serial
# lines, 16 ms for the adapter's default timer (10 here), half a frame for USB. The upper
# bounds, for the lines the wire dominates, are ten times what the line itself takes.
BOUNDS: dict[str, tuple[float, float | None]] = {
    "pty": (0.0, None),
    "uart": (3.0, 33.0),
    "ftdi": (3.0, 60.0),
    "ftdi-16ms": (10.0, 160.0),
    "usb-fs": (0.5, None),
    "usb-hs": (0.06, None),
}


@pytest.mark.parametrize("line", LINES)
def test_each_line_answers_every_exchange_no_sooner_than_its_wire_allows(line: str) -> None:
    # Real-time where the machine allows it; served all the same where not.
    sim = Simulator("arbelon", "--verbose", line=line, realtime=True)
    sim.start()
    try:
        arm = zh.Arbelon(zh.SerialStream(sim.port))
        assert arm.device_wakeup()[0] == 0x0A01
        count = 0
        start = time.monotonic()
        while time.monotonic() - start < 0.5:
            arm.end_effector_force([0.0, 0.0, 0.0])
            assert arm.last_result == 24
            count += 1
        each = (time.monotonic() - start) / count * 1e3
    finally:
        log = sim.stop()
    assert sim.process.returncode == 0
    assert "running real-time: SCHED_FIFO" in log or "real-time scheduling refused" in log, log
    assert ("line: " in log) == (line != "pty")
    at_least, at_most = BOUNDS[line]
    assert each >= at_least, f"{count} exchanges, {each:.3f} ms each"
    assert at_most is None or each <= at_most, f"{count} exchanges, {each:.3f} ms each"


@pytest.mark.parametrize("line", ["pty", "uart"])
def test_a_late_reply_comes_after_its_hold_and_the_later_ones_behind_it_in_order(
    line: str,
) -> None:
    # Every 3rd state reply held 0.3 s; the arm echoes each force, so each reply names the
    # request it answers. Raw bytes on the port, as a host that pairs replies by count sees them.
    hold = 0.3
    sim = Simulator("arbelon", "--verbose", "--echo", "--late-reply", f"3:{hold}", line=line)
    sim.start()
    fd = os.open(sim.port, os.O_RDWR | os.O_NOCTTY)
    try:

        def request(tag: int) -> None:
            os.write(fd, b"\x2a" + struct.pack("<3f", tag, 0.0, 0.0))

        def replies(count: int) -> list[tuple[int, float]]:
            """The next `count` replies: the force each echoes, and when it was in."""
            got: list[tuple[int, float]] = []
            data = b""
            end = time.monotonic() + 10.0
            while (
                len(got) < count and select.select([fd], [], [], max(0, end - time.monotonic()))[0]
            ):
                data += os.read(fd, 25 * count - len(data))
                while len(data) >= 25 * (len(got) + 1):
                    reply = data[25 * len(got) : 25 * (len(got) + 1)]
                    assert reply[0] == 0x2B
                    got.append((int(struct.unpack_from("<f", reply, 1)[0]), time.monotonic()))
            return got

        for tag in (1, 2):
            request(tag)
            assert [t for t, _ in replies(1)] == [tag]
        # The 3rd is held; the arm reads the 4th and the 5th meanwhile and answers them after it.
        sent = time.monotonic()
        for tag in (3, 4, 5):
            request(tag)
        got = replies(3)
        assert [t for t, _ in got] == [3, 4, 5]
        # Never sooner than the hold, and on the wire the three replies cross after it: the
        # request's 13 bytes and three replies of 25 at 86.8 us a byte.
        wire = (13 + 3 * 25) * 10 / 115200 if line == "uart" else 0.0
        assert got[0][1] - sent >= hold
        assert got[2][1] - sent >= hold + wire
        sent = time.monotonic()
        request(6)
        assert [t for t, _ in replies(1)] == [6]
        assert time.monotonic() - sent >= hold
    finally:
        os.close(fd)
        log = sim.stop()
    assert sim.process.returncode == 0
    assert log.count("holding a 0x2B reply for 0.3 s") == 2, log


def test_bad_input_neither_crashes_nor_wedges_it(simulator: StartSimulator) -> None:
    sim = simulator("arbelon", "--fixed-dt", "0.001")
    # A second host beside the library, to write what the library never would.
    fd = os.open(sim.port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        arm = zh.Arbelon(zh.SerialStream(sim.port))
        for junk in [bytes(range(0x30, 0x90)), b"\xff\x2a\x00\x00", b"\x1c" * 12]:
            os.write(fd, junk)
            time.sleep(0.2)  # a request that stops short is dropped after 0.1 s of quiet
            assert arm.device_wakeup()[0] == 0x0A01
            assert arm.joint_torques([0, 0, 0])[0][1] == pytest.approx(0.785, abs=1e-3)
        del arm  # closes the library's port
    finally:
        os.close(fd)
    # Bytes a host leaves behind when it closes do not reach the next session.
    fd = os.open(sim.port, os.O_RDWR | os.O_NOCTTY)
    os.write(fd, b"\x2a\x00\x00")
    os.close(fd)
    time.sleep(0.05)
    assert zh.Arbelon(zh.SerialStream(sim.port)).device_wakeup()[0] == 0x0A01
    assert sim.running()


def test_the_program_is_found_beside_the_interpreter_or_where_told(
    monkeypatch: pytest.MonkeyPatch, tmp_path: pathlib.Path
) -> None:
    monkeypatch.delenv("ZELKOR_SIM", raising=False)
    monkeypatch.setenv("PATH", str(tmp_path))  # not on PATH: found among the scripts
    found = executable()
    assert os.path.basename(found) == "zelkor-sim" and os.access(found, os.X_OK)
    monkeypatch.setenv("ZELKOR_SIM", str(tmp_path / "missing"))
    with pytest.raises(FileNotFoundError, match="ZELKOR_SIM"):
        executable()


def test_a_handle_that_sends_more_than_the_wire_carries_loses_whole_messages() -> None:
    # 100 status messages a second of 1 + 21 + 255 bytes: 2.4 times what 115200 baud carries.
    sim = Simulator("handle", "--verbose", line="uart")
    sim.start()
    try:
        handle = Recorder(zh.SerialStream(sim.port))
        handle.SendDeviceWakeup()
        handle.until("info")
        data = bytes(range(255))
        handle.SendHandleState(0x0D01, len(data), data)
        handle.until("status", lambda values: bool(values[5] == list(data)))
        seen = len(handle.messages)
        start = time.monotonic()
        while time.monotonic() - start < 1.0:
            handle.Receive()
        elapsed = time.monotonic() - start
        got = handle.messages[seen:]
        del handle
    finally:
        log = sim.stop()
    # Never more than the wire carries (a few may have waited in the port already); every
    # one whole and intact.
    assert 5 <= len(got) <= elapsed * 11520 / 277 + 3, len(got)
    assert all(kind == "status" and values[5] == list(data) for kind, values in got)
    assert "the line is backed up: dropped a 0xDA message" in log
