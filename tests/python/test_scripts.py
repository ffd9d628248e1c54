"""The helper scripts tests/run relies on: waiting for a lock another program holds, and the
interpreter binary the ThreadSanitizer step preloads into."""

from __future__ import annotations

import fcntl
import os
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(sys.platform != "linux", reason="the scripts read /proc")

SCRIPTS = Path(__file__).resolve().parents[2] / "scripts"


@pytest.mark.parametrize("held", [False, True])
def test_wait_for_lock_waits_while_another_process_holds_a_lock(held: bool, tmp_path: Path) -> None:
    lock = tmp_path / "lock"
    (tmp_path / "free").touch()
    # A file that does not exist is held by nobody.
    files = [str(tmp_path / name) for name in ("absent", "free", "lock")]
    # The holder is this process; apt and dpkg take the same kind of lock (fcntl).
    fd = os.open(lock, os.O_RDWR | os.O_CREAT)
    try:
        if held:
            fcntl.lockf(fd, fcntl.LOCK_EX)
        with subprocess.Popen(
            ["bash", str(SCRIPTS / "wait-for-lock"), *files], stderr=subprocess.PIPE, text=True
        ) as waiter:
            assert waiter.stderr is not None
            if held:
                me = Path(f"/proc/{os.getpid()}/comm").read_text().strip()
                said = waiter.stderr.readline()
                assert said == f"waiting for {lock}: {me} (pid {os.getpid()}) holds it\n"
                assert waiter.poll() is None, "it said it waits, so it must still be waiting"
                fcntl.lockf(fd, fcntl.LOCK_UN)
            assert waiter.wait(timeout=60) == 0
            assert waiter.stderr.read() == ""
    finally:
        os.close(fd)


def test_python_binary_is_the_interpreter_itself_with_its_environment(tmp_path: Path) -> None:
    # A virtual environment's python is a link to the base binary; started by its real path
    # the interpreter would not see the environment.
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    # A shell script in front of the interpreter, as pyenv's shims are: a preload would go into
    # the shell.
    shim = tmp_path / "python3"
    shim.write_text(f'#!/bin/sh\nexec "{venv}/bin/python" "$@"\n')
    shim.chmod(0o755)
    for python in (f"{venv}/bin/python", str(shim)):
        found = subprocess.run(
            ["bash", str(SCRIPTS / "python-binary"), python],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
        assert Path(found).read_bytes()[:4] == b"\x7fELF", found
        prefix = subprocess.run(
            [found, "-c", "import sys; print(sys.prefix)"], capture_output=True, text=True
        ).stdout.strip()
        assert Path(prefix) == venv, (python, found)
