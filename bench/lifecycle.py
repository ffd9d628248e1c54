"""How promptly the library's calls and threads answer to Python: stopping a Servo, an
exchange on the main thread while another Python thread is busy, and Ctrl-C during a wait.
Timed figures: they depend on the scheduler; compare them within one run.

    python bench/lifecycle.py [--smoke]

Prints a Markdown table.
"""

import argparse
import os
import signal
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sim"))
import ZelkorHardwareAPI as zh  # noqa: E402
from zelkor_sim import Simulator  # noqa: E402

# A child that waits in an exchange on a silent line until SIGINT, then reports when the
# KeyboardInterrupt came, on the monotonic clock it shares with this process.
INTERRUPTED = """
import os, sys, time
import ZelkorHardwareAPI as zh
master, slave = os.openpty()
path = os.ttyname(slave)
os.close(slave)
arm = zh.Arbelon(zh.SerialStream(path))
print("waiting", flush=True)
try:
    arm.end_effector_force([0, 0, 1])
    print("no-interrupt", flush=True)
except KeyboardInterrupt:
    print(time.monotonic(), flush=True)
"""


def stop_times(port, rate, trials):
    arm = zh.Arbelon(zh.SerialStream(port, release_gil=True))
    times = []
    for _ in range(trials):
        servo = zh.Servo(arm, rate)
        servo.start()
        time.sleep(0.05)
        start = time.perf_counter()
        servo.stop()
        times.append(time.perf_counter() - start)
    return times


def exchange_times(port, count, on_main):
    arm = zh.Arbelon(zh.SerialStream(port, release_gil=True))
    stop = threading.Event()

    def busy():
        while not stop.is_set():
            sum(range(100))

    times = []

    def exchanges():
        for _ in range(count):
            start = time.perf_counter()
            arm.end_effector_force([0, 0, 0])
            times.append(time.perf_counter() - start)

    spinner = threading.Thread(target=busy)
    spinner.start()
    try:
        if on_main:
            exchanges()
        else:
            worker = threading.Thread(target=exchanges)
            worker.start()
            worker.join()
    finally:
        stop.set()
        spinner.join()
    return times


def interrupt_times(trials):
    times = []
    for _ in range(trials):
        with subprocess.Popen(
            [sys.executable, "-c", INTERRUPTED], stdout=subprocess.PIPE, text=True
        ) as child:
            assert child.stdout is not None
            child.stdout.readline()
            time.sleep(0.1)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            line = child.stdout.readline().strip()
            child.wait(30)
        times.append(float(line) - sent)
    return times


def row(name, times):
    ordered = sorted(times)
    p99 = ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))]
    return (
        f"| {name} | {len(times)} | {1e3 * statistics.median(times):.3f} | "
        f"{1e3 * p99:.3f} | {1e3 * ordered[-1]:.3f} |"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--smoke", action="store_true", help="a few trials of each")
    args = parser.parse_args()
    trials = 3 if args.smoke else 20
    rows = []
    with Simulator("arbelon") as sim:
        rows.append(row("Servo.stop(), 1 kHz loop", stop_times(sim.port, 1000.0, trials)))
        rows.append(row("Servo.stop(), 1 Hz loop", stop_times(sim.port, 1.0, trials)))
        count = 50 if args.smoke else 1000
        rows.append(
            row(
                "exchange, main thread, busy Python thread (release_gil)",
                exchange_times(sim.port, count, True),
            )
        )
        rows.append(
            row(
                "exchange, other thread, busy Python thread (release_gil)",
                exchange_times(sim.port, count, False),
            )
        )
    rows.append(row("Ctrl-C during an exchange on a silent line", interrupt_times(trials)))
    print("\nPromptness (ms; timed figures, scheduler-dependent)\n")
    print("| what | trials | p50 ms | p99 ms | max ms |")
    print("|---|---:|---:|---:|---:|")
    for r in rows:
        print(r)


if __name__ == "__main__":
    main()
