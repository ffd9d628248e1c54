"""Ctrl-C ends a call that waits for the port promptly, and the stream stays usable."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest
import ZelkorHardwareAPI as zh

PROBE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "signal_probe.py")


@pytest.mark.parametrize(
    "case", ["exchange", "legacy receive", "handle receive", "trickling drain"]
)
def test_sigint_raises_keyboard_interrupt_promptly(case):
    with subprocess.Popen(
        [sys.executable, PROBE, case], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    ) as probe:
        assert probe.stdout.readline().strip() == "waiting"
        time.sleep(0.3)
        sent = time.monotonic()
        probe.send_signal(signal.SIGINT)
        out, err = probe.communicate(timeout=60)
    assert probe.returncode == 0, err
    report = json.loads(out.splitlines()[-1])
    assert report["raised"] == "KeyboardInterrupt"
    # Left to the port's time-out the call would have gone on for 1 s (9 s for the drain);
    # the bound leaves room for a loaded machine.
    assert report["at"] - sent < 0.5
    assert report["later"] == [[1.5, -2.25, 3.0], [0.125, -0.5, 0.25]]


def test_a_handler_that_does_not_raise_lets_the_call_finish(device):
    arm = zh.Arbelon(zh.SerialStream(device.path))
    seen = []
    previous = signal.signal(signal.SIGUSR1, lambda *_: seen.append(time.monotonic()))
    # Another process plays the device: it signals this one while the exchange waits, then
    # answers.
    script = (
        "import os, signal, sys, time\n"
        "os.read(0, 13)\n"
        "os.kill(int(sys.argv[1]), signal.SIGUSR1)\n"
        "time.sleep(0.2)\n"
        "os.write(0, b'\\x2b' + bytes(24))\n"
    )
    device_side = subprocess.Popen(
        [sys.executable, "-c", script, str(os.getpid())], stdin=device.master
    )
    try:
        start = time.monotonic()
        assert arm.end_effector_force([1, 2, 3]) == ([0.0] * 3, [0.0] * 3)
        end = time.monotonic()
    finally:
        device_side.wait(10)
        signal.signal(signal.SIGUSR1, previous)
    assert arm.last_result == 24
    assert len(seen) == 1 and start < seen[0] < end, "the handler ran during the wait"
