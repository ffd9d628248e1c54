"""What the library tells through Python's logging, and a servo's on_stop."""

from __future__ import annotations

import logging
import os
import re
import signal
import subprocess
import threading
import time
from typing import Any, Callable, List, Tuple

import pytest
import ZelkorHardwareAPI as zh

StartSimulator = Callable[..., Any]
INFO, WARNING = logging.INFO, logging.WARNING


def wait_for(condition: Callable[[], bool], limit: float = 20.0) -> bool:
    end = time.monotonic() + limit
    while not condition() and time.monotonic() < end:
        time.sleep(0.01)
    return condition()


@pytest.mark.skipif(not hasattr(signal, "SIGSTOP"), reason="stops the process with SIGSTOP")
def test_failures_starts_stops_and_stalls_are_logged(
    simulator: StartSimulator, caplog: pytest.LogCaptureFixture
) -> None:
    caplog.set_level(INFO, logger="ZelkorHardwareAPI")
    zh.SerialStream("/dev/zelkor-no-such-port")
    arm_sim = simulator("arbelon")
    stream = zh.SerialStream(arm_sim.port)
    assert stream.connect("/dev/zelkor-no-such-port-2") == -1
    assert stream.connect(arm_sim.port) == 1
    stopped: List[Tuple[str, bool]] = []

    def on_stop(reason: str) -> None:
        stopped.append((reason, threading.current_thread() is threading.main_thread()))

    servo = zh.Servo(zh.Arbelon(stream), 500.0, on_stop=on_stop)
    with servo:
        time.sleep(0.1)
        # The whole process held up for 0.3 s, as a machine under load would hold it.
        waker = subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -CONT {os.getpid()}"])
        os.kill(os.getpid(), signal.SIGSTOP)
        waker.wait()
        time.sleep(0.2)
    servo.start()
    time.sleep(0.1)
    arm_sim.stop()
    assert wait_for(lambda: bool(stopped))

    handle_sim = simulator("handle")
    handle = zh.Handle(zh.SerialStream(handle_sim.port))
    handle.start_receiving()
    handle_sim.stop()
    assert wait_for(lambda: not handle.receiving)

    expected = [
        (WARNING, r"/dev/zelkor-no-such-port: open failed: No such file"),
        (WARNING, r"/dev/zelkor-no-such-port-2: open failed: No such file"),
        (INFO, r"connected to /dev/"),
        (INFO, r"the servo on /dev/\S+ started at 500.0 Hz"),
        (WARNING, r"the servo on /dev/\S+ stalled: a cycle ended \d+ ms after its deadline"),
        (INFO, r"the servo on /dev/\S+ stopped after \d+ cycles"),
        (INFO, r"the servo on /dev/\S+ started at 500.0 Hz"),
        (WARNING, r"the servo on /dev/\S+ stopped by itself: port closed"),
        (WARNING, r"the handle's reception on /dev/\S+ ended by itself: the port closed"),
    ]
    seen = [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "ZelkorHardwareAPI"]
    assert len(seen) == len(expected), seen
    for (level, pattern), (got_level, message) in zip(expected, seen):
        assert level == got_level and re.match(pattern, message), (pattern, message)
    assert stopped == [("port closed", False)], "once, for the end by itself, off the main thread"


def test_on_stop_must_be_callable() -> None:
    arm = zh.Arbelon(zh.SerialStream("/dev/zelkor-no-such-port"))
    with pytest.raises(TypeError, match="on_stop must be callable or None, not int"):
        zh.Servo(arm, on_stop=3)  # type: ignore[arg-type]
