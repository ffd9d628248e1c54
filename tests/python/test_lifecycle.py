"""Background threads that Python cannot break: each scenario runs in a fresh interpreter with a
time limit, so a hang or an abort fails its own case only. Every script prints "ok" at its end;
the device is a peer process on a pseudo-terminal (arm_peer.py) or the simulator."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

PEER = Path(__file__).with_name("arm_peer.py")

PRELUDE = """
import gc, json, os, signal, subprocess, sys, threading, time, weakref
import ZelkorHardwareAPI as zh

def arm_line(delay=0.0):
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    subprocess.Popen([sys.executable, {peer!r}, os.environ["REPORT"], str(delay)], stdin=master)
    os.close(master)
    return path

def handle_line(rate="500"):
    from zelkor_sim import Simulator
    sim = Simulator("handle", "--status-rate", rate)
    sim.start()
    return sim.port

def joined(threads, limit=10.0):
    for t in threads:
        t.start()
    for t in threads:
        t.join(limit)
    assert not any(t.is_alive() for t in threads), "a thread hangs"

class Counting(zh.Handle):
    def __init__(self, stream, pause=0.0):
        super().__init__(stream)
        self.statuses, self.entered, self.pause = 0, threading.Event(), pause
    def OnReceiveHandleInfo(self, *args):
        pass
    def OnReceiveHandleStatusMessage(self, *args):
        self.statuses += 1
        self.entered.set()
        time.sleep(self.pause)
    def OnReceiveHandleErrorResponse(self, *args):
        pass
"""

SCENARIOS = {
    "two threads stop one servo, slow and fast": """
        arm = zh.Arbelon(zh.SerialStream(arm_line(), release_gil=True))
        for rate in (10.0, 1000.0):
            for _ in range(5):
                servo = zh.Servo(arm, rate)
                servo.start()
                time.sleep(0.02)
                joined([threading.Thread(target=servo.stop) for _ in range(2)])
                assert not servo.running and servo.stats().stop_reason == "stopped"
    """,
    "a with block ends while another thread stops the servo": """
        arm = zh.Arbelon(zh.SerialStream(arm_line(), release_gil=True))
        for _ in range(10):
            servo = zh.Servo(arm, 500.0)
            with servo:
                joined([threading.Thread(target=servo.stop)])
            assert not servo.running
    """,
    "four threads start and stop one servo": """
        arm = zh.Arbelon(zh.SerialStream(arm_line(), release_gil=True))
        servo = zh.Servo(arm, 1000.0)
        def churn():
            for _ in range(40):
                try:
                    servo.start()
                except RuntimeError:
                    pass
                servo.stop()
        joined([threading.Thread(target=churn) for _ in range(4)], 60)
        assert not servo.running
        arm.end_effector_force()
        assert arm.last_result == 24, "the stream is free again"
    """,
    "two servos on one stream from two threads: one drives": """
        stream = zh.SerialStream(arm_line(), release_gil=True)
        arms = [zh.Arbelon(stream), zh.Arbelon(stream)]
        for _ in range(100):
            servos = [zh.Servo(a, 1000.0) for a in arms]
            barrier, started = threading.Barrier(2), []
            def race(servo):
                barrier.wait()
                try:
                    servo.start()
                    started.append(servo)
                except RuntimeError:
                    pass
            joined([threading.Thread(target=race, args=(s,)) for s in servos])
            assert len(started) == 1 and sum(s.running for s in servos) <= 1
            for s in servos:
                s.stop()
    """,
    "two threads stop one reception": """
        handle = Counting(zh.SerialStream(handle_line()))
        for _ in range(5):
            handle.start_receiving()
            handle.SendDeviceWakeup()
            time.sleep(0.05)
            joined([threading.Thread(target=handle.stop_receiving) for _ in range(2)])
            assert not handle.receiving
        assert handle.statuses > 0
    """,
    "a receiving handle dropped while its callback runs": """
        handle = Counting(zh.SerialStream(handle_line()), pause=0.05)
        handle.start_receiving()
        handle.SendDeviceWakeup()
        assert handle.entered.wait(10)
        alive = weakref.ref(handle)
        del handle
        gc.collect()
        time.sleep(0.2)
        assert alive() is not None and alive().receiving, "kept alive by its thread"
        alive().stop_receiving()
        gc.collect()
        assert alive() is None
    """,
    "a callback that drops the last reference and stops its reception": """
        holder = []
        class Dropping(Counting):
            def OnReceiveHandleStatusMessage(self, *args):
                holder.clear()
                self.stop_receiving()
        handle = Dropping(zh.SerialStream(handle_line()))
        holder.append(handle)
        alive = weakref.ref(handle)
        handle.start_receiving()
        handle.SendDeviceWakeup()
        del handle
        end = time.monotonic() + 10
        while alive() is not None and time.monotonic() < end:
            time.sleep(0.01)
        assert alive() is None, "freed on its own thread, which ended by itself"
    """,
    "a receiving handle in a reference cycle survives gc.collect": """
        handle = Counting(zh.SerialStream(handle_line()))
        handle.me = handle
        handle.start_receiving()
        handle.SendDeviceWakeup()
        alive = weakref.ref(handle)
        del handle
        for _ in range(3):
            gc.collect()
            time.sleep(0.05)
        assert alive().statuses > 0 and alive().receiving
        alive().stop_receiving()
        gc.collect()
        assert alive() is None
    """,
    "daemon threads start and drop servos at interpreter exit": """
        stream = zh.SerialStream(arm_line(), release_gil=True)
        arm = zh.Arbelon(stream)
        def churn():
            while True:
                servo = zh.Servo(arm, 1000.0)
                servo.effects = [zh.ConstantForce((0, 0, 1))]
                try:
                    servo.start()
                except RuntimeError:
                    pass
                time.sleep(0.002)
                del servo
        for _ in range(4):
            threading.Thread(target=churn, daemon=True).start()
        time.sleep(0.5)
    """,
    "a signal handler stops a reception while a call on its stream waits": """
        handle = Counting(zh.SerialStream(handle_line()))
        handle.start_receiving()
        handle.SendDeviceWakeup()
        assert handle.entered.wait(10)
        stopped = []
        def on_alarm(*_):
            handle.stop_receiving()
            stopped.append(handle.receiving)
        signal.signal(signal.SIGALRM, on_alarm)
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        end = time.monotonic() + 5
        while not stopped and time.monotonic() < end:
            handle.SendHandleState(1, 0, 0)
        assert stopped == [False]
    """,
    "a signal handler may not use a stream whose call waits": """
        stream = zh.SerialStream(arm_line(delay=0.3))
        arm, handle = zh.Arbelon(stream), zh.Handle(stream)
        refused = []
        def attempt(name, call):
            try:
                call()
                refused.append(name + " ran")
            except RuntimeError as e:
                refused.append(name if "reentrant call" in str(e) else str(e))
        def on_alarm(*_):
            attempt("servo", lambda: zh.Servo(zh.Arbelon(stream), 100.0).start())
            attempt("reception", handle.start_receiving)
            attempt("exchange", arm.end_effector_force)
            attempt("close", stream.close)
        signal.signal(signal.SIGALRM, on_alarm)
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        position, _ = arm.end_effector_force([0, 0, 1])
        assert refused == ["servo", "reception", "exchange", "close"], refused
        assert arm.last_result == 24 and stream.is_open, "the call itself went on"
        assert not handle.receiving
    """,
    "callbacks keep the interpreter lock after a sub-interpreter existed": """
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            import _interpreters as interpreters
        interpreters.destroy(interpreters.create())
        handle = Counting(zh.SerialStream(handle_line("1000")))
        handle.start_receiving()
        handle.SendDeviceWakeup()
        assert handle.entered.wait(10)
        end = time.monotonic() + 0.5
        while time.monotonic() < end:
            [str(x) for x in range(50)]
        handle.stop_receiving()
    """,
    "stopping a slow servo neither waits for its cycle nor freezes Python": """
        arm = zh.Arbelon(zh.SerialStream(arm_line(), release_gil=True))
        servo = zh.Servo(arm, 1.0)
        servo.start()
        time.sleep(0.2)
        turns, stop = [0], threading.Event()
        def count():
            while not stop.is_set():
                turns[0] += 1
        counter = threading.Thread(target=count)
        counter.start()
        time.sleep(0.05)
        before, start = turns[0], time.monotonic()
        del servo
        took = time.monotonic() - start
        after = turns[0]
        stop.set()
        counter.join()
        assert took < 0.4, took
        assert took < 0.01 or after > before, "other threads ran meanwhile"
    """,
    "on_stop may drop the servo and raise; stop() never calls it": """
        from zelkor_sim import Simulator
        sims = [Simulator("arbelon"), Simulator("arbelon")]
        calls, unraised, holder = [], [], []
        sys.unraisablehook = lambda u: unraised.append(type(u.exc_value).__name__)
        def on_stop(reason):
            calls.append((reason, threading.current_thread() is threading.main_thread()))
            holder.clear()  # the last reference to the servo, dropped in its own callback
            gc.collect()
            raise ValueError("from on_stop")
        holder.append(zh.Servo(zh.Arbelon(zh.SerialStream(sims[0].start())), 1000.0,
                               on_stop=on_stop))
        stopped = zh.Servo(zh.Arbelon(zh.SerialStream(sims[1].start())), 1000.0,
                           on_stop=on_stop)
        holder[0].start()
        stopped.start()
        time.sleep(0.2)
        stopped.stop()
        sims[0].stop()
        end = time.monotonic() + 20
        while not unraised and time.monotonic() < end:
            time.sleep(0.01)
        assert calls == [("port closed", False)] and unraised == ["ValueError"], (calls, unraised)
        sims[1].stop()
    """,
    "a servo that ends by itself as the interpreter exits": """
        from zelkor_sim import Simulator
        sim = Simulator("arbelon")
        servo = zh.Servo(zh.Arbelon(zh.SerialStream(sim.start())), 1000.0,
                         on_stop=lambda reason: print(reason, file=sys.stderr, flush=True))
        servo.start()
        time.sleep(0.2)
        sim.process.kill()  # the port hangs up as the script ends, before or after "ok"
    """,
    "a forked child has no servo or reception": """
        arm = zh.Arbelon(zh.SerialStream(arm_line(), release_gil=True))
        servo = zh.Servo(arm, 200.0, max_failures=1000000)  # a slow peer is no matter here
        handle = Counting(zh.SerialStream(handle_line()))
        servo.start()
        handle.start_receiving()
        time.sleep(0.1)
        pid = os.fork()
        if pid == 0:
            ok = (not servo.running and servo.stats().stop_reason == "forked"
                  and not handle.receiving)
            servo.stop()
            handle.stop_receiving()
            os._exit(0 if ok else 3)
        cycles = servo.stats().cycles
        _, status = os.waitpid(pid, 0)
        assert os.WEXITSTATUS(status) == 0, status
        time.sleep(0.1)
        assert servo.running and servo.stats().cycles > cycles, servo.stats()
        assert handle.receiving
        servo.stop()
        handle.stop_receiving()
    """,
    "forks while other threads set parameters and read the recording": """
        from zelkor_sim import Simulator
        sim = Simulator("arbelon")
        servo = zh.Servo(zh.Arbelon(zh.SerialStream(sim.start(), release_gil=True)), 1000.0,
                         record=1.0)
        servo.start()
        done = threading.Event()
        def params():
            while not done.is_set():
                servo.set_params([1.0, 2.0], ramp=0.01)
        def recordings():
            while not done.is_set():
                servo.recording()
        threads = [threading.Thread(target=params), threading.Thread(target=recordings)]
        for t in threads:
            t.start()
        # The first forks come while the reading thread may still be in its first recording.
        for pause in (0.0, 0.001, 0.01, 0.1):
            time.sleep(pause)
            pid = os.fork()
            if pid == 0:
                servo.set_params([0.5])
                servo.recording()
                os._exit(0)
            end = time.monotonic() + 20.0
            while os.waitpid(pid, os.WNOHANG) == (0, 0):
                if time.monotonic() > end:
                    os.kill(pid, signal.SIGKILL)
                    raise AssertionError("the child hangs")
                time.sleep(0.01)
        done.set()
        for t in threads:
            t.join()
        servo.stop()
        sim.stop()
    """,
}


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_scenario_ends_cleanly(name: str, tmp_path: Path) -> None:
    script = PRELUDE.format(peer=str(PEER)) + textwrap.dedent(SCENARIOS[name]) + 'print("ok")\n'
    report = tmp_path / "peer.json"
    env = dict(os.environ, REPORT=str(report))
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120, env=env
    )
    assert done.returncode == 0 and done.stdout.strip().endswith("ok"), done.stderr[-3000:]
    if name == "daemon threads start and drop servos at interpreter exit":
        # The peer writes its report once the port closes; the last request left the arm limp.
        for _ in range(100):
            if report.exists() and report.stat().st_size:
                break
            subprocess.run(["sleep", "0.05"])
        peer = json.loads(report.read_text())
        assert peer["requests"] > 0 and peer["last"] == [0.0, 0.0, 0.0], peer
