"""A SerialStream says whether its port is open, why it failed, and can be opened strictly,
closed and reconnected."""

import errno
import os
import subprocess
import sys
import time

import pytest
import ZelkorHardwareAPI as zh

MISSING = "/dev/zelkor-no-such-port"
ZEROS = ([0.0] * 3, [0.0] * 3)


def test_a_stream_reports_its_port_and_status(device):
    stream = zh.SerialStream(device.path)
    assert (stream.port, stream.is_open, stream.open_result, stream.last_error) == (
        device.path,
        True,
        1,
        "",
    )
    assert repr(stream) == f"<ZelkorHardwareAPI.SerialStream port={device.path!r} open>"
    stream.close()
    stream.close()  # idempotent
    assert not stream.is_open
    assert repr(stream) == f"<ZelkorHardwareAPI.SerialStream port={device.path!r} closed>"


@pytest.mark.parametrize(
    "name,code,cause",
    [
        (MISSING, -1, "No such file or directory"),
        ("/tmp", -2, "Is a directory"),
        ("/dev/null", -2, "not a serial port"),
        ("urandom", -2, "not a serial port"),
    ],
    ids=["missing", "directory", "no terminal", "no terminal by bare name"],
)
def test_a_port_that_does_not_open_says_why(name, code, cause):
    stream = zh.SerialStream(name)
    assert (stream.is_open, stream.open_result) == (False, code)
    assert stream.last_error.startswith(f"{name}: open failed")
    assert cause in stream.last_error
    # Devices on it return at once and the cause stays.
    arm = zh.Arbelon(stream)
    start = time.monotonic()
    assert arm.end_effector_force() == ZEROS
    assert time.monotonic() - start < 0.5
    assert cause in stream.last_error
    assert arm.last_result == -1


@pytest.mark.parametrize(
    "name,error,number",
    [(MISSING, FileNotFoundError, errno.ENOENT), ("/dev/null", OSError, errno.ENOTTY)],
)
def test_open_raises_with_errno_and_port(name, error, number):
    with pytest.raises(error) as raised:
        zh.SerialStream.open(name)
    assert raised.value.errno == number
    assert raised.value.filename == name


def test_a_port_held_by_another_process(device):
    with subprocess.Popen(
        [
            sys.executable,
            "-c",
            "import sys, ZelkorHardwareAPI as zh; s = zh.SerialStream(sys.argv[1]); "
            "print(s.is_open, flush=True); sys.stdin.read()",
            device.path,
        ],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    ) as holder:
        assert holder.stdout.readline().strip() == "True"
        stream = zh.SerialStream(device.path)
        assert stream.open_result == -2
        assert "in use by another program" in stream.last_error
        with pytest.raises(OSError, match="in use by another program") as raised:
            zh.SerialStream.open(device.path)
        assert raised.value.errno == errno.EBUSY
        holder.stdin.close()
    # Once the holder has gone, the same stream can take the port.
    assert stream.connect(device.path) == 1
    assert stream.is_open and stream.last_error == ""


def test_transfers_record_their_failure_until_one_succeeds(device):
    stream = zh.SerialStream(device.path)
    arm = zh.Arbelon(stream)
    # A silent line.
    assert arm.joint_angles([0, 0, 0]) == ZEROS
    assert stream.last_error == f"{device.path}: read timed out"
    assert arm.last_result == -1
    # A short reply.
    device.drain()
    device.send(b"\x2b" + bytes(10))
    arm.end_effector_force()
    assert arm.last_result == 10
    assert stream.last_error.endswith("read timed out")
    # A whole reply clears it.
    device.drain()
    device.send(b"\x2b" + bytes(24))
    arm.end_effector_force()
    assert (arm.last_result, stream.last_error) == (24, "")


def test_a_closed_stream_returns_at_once_and_reconnects(device):
    stream = zh.SerialStream(device.path)
    handle = zh.Handle(stream)
    stream.close()
    start = time.monotonic()
    assert handle.Receive() == -1
    handle.SendHandleState(1, 0, b"")
    assert time.monotonic() - start < 0.5
    assert device.drain() == b""
    assert stream.last_error.endswith("the port is not open")
    assert handle.last_result == -1
    assert stream.connect(device.path) == 1
    device.send(bytes([0xDF, 0x01, 0x00, 0x07]))
    assert handle.Receive() == 3
    assert handle.last_result == 3


def test_a_hang_up_closes_the_port_and_ends_the_calls(device):
    stream = zh.SerialStream(device.path)
    handle = zh.Handle(stream)
    device.close()  # the device goes away
    start = time.monotonic()
    for _ in range(100):
        assert handle.Receive() == -1
    assert time.monotonic() - start < 0.5
    assert not stream.is_open
    assert "hung up" in stream.last_error


def test_a_context_manager_closes_the_port(device):
    with zh.SerialStream.open(device.path) as stream:
        assert stream.is_open
        with pytest.raises(OSError):
            zh.SerialStream.open(device.path)
    assert not stream.is_open
    zh.SerialStream.open(device.path).close()


@pytest.mark.parametrize("name", ["/dev/tty\0S0", b"/dev/tty\0S0", bytearray(b"\0")])
def test_a_name_with_a_nul_is_refused(name):
    for make in (zh.SerialStream, zh.SerialStream.open):
        with pytest.raises(ValueError, match="embedded null byte"):
            make(name)
    with pytest.raises(ValueError, match="embedded null byte"):
        zh.SerialStream(MISSING).connect(name)


def test_path_like_names(device, tmp_path):
    import pathlib

    stream = zh.SerialStream(pathlib.Path(device.path))
    assert stream.is_open and stream.port == device.path
    link = tmp_path / "arm"
    os.symlink(device.path, link)
    stream.close()
    assert stream.connect(link) == 1 and stream.port == str(link)
