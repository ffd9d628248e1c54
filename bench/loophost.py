"""One host process of the loop benchmark (bench/loop.py starts it, once per measurement).

    loophost.py loop python|servo|servo-rt RATE SECONDS PORT [--load-thread]
        the demo's wall (examples/haptic_loop.py) in its Python loop or on the Servo
    loophost.py main idle|servo|handle|release-gil|default-stream|default-receive SECONDS PORT
        the main thread's busy-loop throughput and time.sleep(0.001) while something else
        uses the device
    loophost.py law spring|numba|ctypes RATE SECONDS PORT [--load-thread]
        a Servo rendering a spring: the built-in Spring, the same spring as a Numba law
        (zh.force_law) or as a ctypes law (a Python function, which takes the interpreter lock
        every cycle)
    loophost.py line strict|pipelined RATE SECONDS PORT
        what the line allows (measure_line), then a Servo (a spring and a damper) at RATE,
        strict or with one request in flight

Prints one JSON line.
"""

import argparse
import contextlib
import io
import json
import os
import sys
import threading
import time

import ZelkorHardwareAPI as zh

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
import haptic_loop  # noqa: E402  (the demo's loops, measured as they are)


class BusyThread:
    """A Python thread doing busy work in this process; reports its own CPU time."""

    def __init__(self):
        self.stop = threading.Event()
        self.cpu = 0.0
        self.thread = threading.Thread(target=self.spin, daemon=True)
        self.thread.start()

    def spin(self):
        start = time.thread_time()
        x = 0
        while not self.stop.is_set():
            for _ in range(1000):
                x += 1
        self.cpu = time.thread_time() - start

    def end(self):
        self.stop.set()
        self.thread.join()
        return self.cpu


def percentile(ordered, q):
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else 0.0


def run_loop(mode, rate, seconds, port, load_thread):
    args = argparse.Namespace(
        rate=rate,
        seconds=seconds,
        stiffness=2000.0,
        wall_damping=10.0,
        push=1.5,
        realtime=mode == "servo-rt",
        python_loop=mode == "python",
        pipeline=False,
    )
    arm = zh.Arbelon(zh.SerialStream(port))
    arm.device_wakeup()
    busy = BusyThread() if load_thread else None
    cpu_before, wall_before = time.process_time(), time.monotonic()
    with contextlib.redirect_stdout(io.StringIO()):
        if mode == "python":
            result = haptic_loop.run(arm, args)
        else:
            result = haptic_loop.run_servo(arm, args)
    cpu = time.process_time() - cpu_before
    wall = time.monotonic() - wall_before
    busy_cpu = busy.end() if busy else 0.0
    if mode == "python":
        ordered = sorted(result["latencies"])
        p999 = percentile(ordered, 0.999)
    else:
        p999 = result["p999"]
    print(
        json.dumps(
            {
                "mode": mode,
                "rate": rate,
                "cycles": result["cycles"],
                "elapsed": result["elapsed"],
                "late": result["late"],
                "missed": result["missed"],
                "stale_dropped": result.get("stale_dropped", 0),
                "stop_reason": result.get("stop_reason", ""),
                "failed": result["failed"],
                "p50_us": result["p50"] * 1e6,
                "p99_us": result["p99"] * 1e6,
                "p999_us": p999 * 1e6,
                "max_us": result["max"] * 1e6,
                "host_cpu": (cpu - busy_cpu) / wall,
                "realtime": result.get("realtime", False),
            }
        )
    )


def measure_main_thread(seconds):
    """Busy-loop turns per second and time.sleep(0.001) percentiles on this thread."""
    turns, end = 0, time.perf_counter() + seconds / 2
    while time.perf_counter() < end:
        turns += 1
    throughput = turns / (seconds / 2)
    sleeps = []
    end = time.perf_counter() + seconds / 2
    while time.perf_counter() < end:
        before = time.perf_counter()
        time.sleep(0.001)
        sleeps.append(time.perf_counter() - before)
    sleeps.sort()
    return {
        "throughput": throughput,
        "sleep_p50_ms": percentile(sleeps, 0.5) * 1e3,
        "sleep_p99_ms": percentile(sleeps, 0.99) * 1e3,
    }


class Counting(zh.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.messages = 0

    def OnReceiveHandleInfo(self, *args):
        self.messages += 1

    def OnReceiveHandleStatusMessage(self, *args):
        self.messages += 1

    def OnReceiveHandleErrorResponse(self, *args):
        self.messages += 1


def run_main(scenario, seconds, port):
    stop = threading.Event()
    worker = None
    background = {}
    if scenario in ("servo", "servo-numba"):
        arm = zh.Arbelon(zh.SerialStream(port))
        servo = zh.Servo(arm, 1000.0)
        if scenario == "servo":
            servo.effects = [zh.Damper(1.0)]
        else:
            servo.force_law = spring_law("numba")
            servo.params = [0.0, 0.0, 0.0, 0.0, 1.0]
        servo.start()
    elif scenario == "handle":
        handle = Counting(zh.SerialStream(port))
        handle.start_receiving()
        handle.SendDeviceWakeup()
    elif scenario in ("release-gil", "default-stream"):
        arm = zh.Arbelon(zh.SerialStream(port, release_gil=scenario == "release-gil"))

        def exchanges():
            n = 0
            while not stop.is_set():
                arm.end_effector_force([0.0, 0.0, 0.0])
                n += 1
            background["exchanges"] = n

        worker = threading.Thread(target=exchanges)
    elif scenario == "default-receive":
        handle = Counting(zh.SerialStream(port))
        handle.SendDeviceWakeup()

        def receive():
            while not stop.is_set():
                handle.Receive()

        worker = threading.Thread(target=receive)
    if worker:
        worker.start()
    time.sleep(0.2)
    figures = measure_main_thread(seconds)
    stop.set()
    if worker:
        worker.join()
    if scenario in ("servo", "servo-numba"):
        servo.stop()
        background["cycles"] = servo.stats().cycles
    elif scenario == "handle":
        handle.stop_receiving()
    if scenario in ("handle", "default-receive"):
        background["messages"] = handle.messages
    print(json.dumps({"scenario": scenario, **figures, **background}))


def spring_numba(t, position, velocity, previous_force, params, force):
    for i in range(3):
        force[i] = -params[3] * (position[i] - params[i]) - params[4] * velocity[i]


def spring_ctypes(inputs, params, force):
    for i in range(3):
        force[i] = -params[3] * (inputs[2 + i] - params[i]) - params[4] * inputs[5 + i]


def spring_law(kind):
    if kind == "numba":
        return zh.force_law(spring_numba)
    import ctypes

    doubles = ctypes.POINTER(ctypes.c_double)
    return ctypes.CFUNCTYPE(None, doubles, doubles, doubles)(spring_ctypes)


def run_law(kind, rate, seconds, port, load_thread):
    arm = zh.Arbelon(zh.SerialStream(port))
    anchor, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    servo = zh.Servo(arm, rate)
    if kind == "spring":
        servo.effects = [zh.Spring(anchor, 200.0, 2.0)]
    else:
        servo.force_law = spring_law(kind)
        servo.params = [*anchor, 200.0, 2.0]
    busy = BusyThread() if load_thread else None
    cpu_before, wall_before = time.process_time(), time.monotonic()
    with servo:
        time.sleep(seconds)
    cpu = time.process_time() - cpu_before
    wall = time.monotonic() - wall_before
    busy_cpu = busy.end() if busy else 0.0
    stats = servo.stats()
    print(
        json.dumps(
            {
                "kind": kind,
                "rate": rate,
                "cycles": stats.cycles,
                "elapsed": stats.cycles / stats.rate_hz if stats.rate_hz else 0.0,
                "late": stats.late_cycles,
                "missed": stats.missed,
                "failed": stats.failed_exchanges,
                "p50_us": stats.p50_us,
                "p99_us": stats.p99_us,
                "host_cpu": (cpu - busy_cpu) / wall,
                "stop_reason": stats.stop_reason,
            }
        )
    )


def run_line(mode, rate, seconds, port):
    """Against a simulator that echoes each force as the position: a state is stale when its
    position is not the force of its own request. The force changes at every sample."""
    arm = zh.Arbelon(zh.SerialStream(port))
    arm.device_wakeup()
    line = zh.measure_line(arm, 1.0)
    # auto: the rate and the loop the servo chooses from its own measurement of the line
    servo = zh.Servo(arm, None if mode == "auto" else rate, pipeline=mode == "pipelined")
    samples = stale = 0
    with servo:
        # The run counts from the first cycle: a servo that measures its line first starts later.
        begun = time.monotonic() + 30.0
        while servo.state().cycle == 0 and servo.running and time.monotonic() < begun:
            time.sleep(0.001)
        end = time.monotonic() + seconds
        k = 0
        while time.monotonic() < end:
            k += 1
            servo.effects = [zh.ConstantForce((1e-3 * (k % 997), 0.0, 0.0))]
            state = servo.state()
            if state.cycle:
                samples += 1
                stale += state.position != state.force
            time.sleep(0.0005)
    stats = servo.stats()
    print(
        json.dumps(
            {
                "mode": mode,
                "rate": rate,
                "measured_strict_hz": line.strict_hz,
                "measured_pipelined_hz": line.pipelined_hz,
                "exchange_p50_us": line.exchange_p50_us,
                "achieved_hz": stats.rate_hz,
                "chosen_hz": servo.rate_hz,
                "chose_pipelined": servo.pipelined,
                "cycles": stats.cycles,
                "late": stats.late_cycles,
                "missed": stats.missed,
                "failed": stats.failed_exchanges,
                "stale_dropped": stats.stale_dropped,
                "samples": samples,
                "stale_states": stale,
                "stop_reason": stats.stop_reason,
            }
        )
    )


def main():
    what = sys.argv[1]
    if what == "line":
        run_line(sys.argv[2], float(sys.argv[3]), float(sys.argv[4]), sys.argv[5])
    elif what == "law":
        run_law(
            sys.argv[2],
            float(sys.argv[3]),
            float(sys.argv[4]),
            sys.argv[5],
            "--load-thread" in sys.argv[6:],
        )
    elif what == "loop":
        mode, rate, seconds, port = sys.argv[2], float(sys.argv[3]), float(sys.argv[4]), sys.argv[5]
        run_loop(mode, rate, seconds, port, "--load-thread" in sys.argv[6:])
    else:
        run_main(sys.argv[2], float(sys.argv[3]), sys.argv[4])


if __name__ == "__main__":
    main()
