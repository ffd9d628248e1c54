"""Renders a virtual wall on an Arbelon in a 1 kHz haptic control loop.

Without --port it starts the device simulator zelkor-sim and drives that, so it runs on any
machine. The wall is horizontal, 2 cm below where the end-effector starts, and is rendered as
a stiff spring. With the simulator a virtual hand presses the end-effector down onto it and
lifts it off again; on a real device your hand does that.

By default the loop is the library's Servo: a thread of its own that sends a force every
cycle, computed from effects (the wall, and the hand's hold and push), while this script only
swaps the hand's push between pressing and lifting and samples the state. --python-loop runs
the same wall as a loop written in Python, calling end_effector_force itself, for comparison;
both print their figures the same way.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from typing import TYPE_CHECKING, Any, List, Tuple, TypedDict

import numpy as np
import ZelkorHardwareAPI as zh

try:
    from zelkor_sim import LINES, port_or_simulator
except ImportError:  # not installed: run it from the source tree
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
    from zelkor_sim import LINES, port_or_simulator

HOLD_STIFFNESS = 150.0  # N/m: the hand keeps the end-effector over its start in x and y
HAND_DAMPING = 8.0  # N s/m: a relaxed hand slows every motion
MAX_FORCE = 8.0  # N: never ask for more, whatever the numbers say
PRESS, LIFT = 1.4, 0.6  # s: the hand presses for PRESS, then lifts for LIFT, and again
IDENTITY_BYTES = 21  # arm.last_result after a whole identity reply to the wake-up
STATE_BYTES = 24  # arm.last_result after a whole state reply


class _Figures(TypedDict):
    times: List[float]  # s
    heights: List[float]  # m over the wall
    forces: List[float]  # N, z
    wall: float  # m, z
    cycles: int
    elapsed: float  # s
    failed: int
    late: int  # cycles that ended after their own deadline
    missed: int  # whole periods skipped after a cycle that ran over by more than a period
    p50: float  # s
    p99: float  # s
    max: float  # s


class Result(_Figures, total=False):
    """What a loop measured; the Servo's loop and the Python loop each add their own."""

    trace: Trace  # every cycle, for the plot
    recording: zh.Recording  # (Servo)
    p999: float  # s (Servo)
    realtime: bool  # (Servo)
    stale_dropped: int  # (Servo)
    stop_reason: str  # (Servo)
    histogram: List[Tuple[float, float, int]]  # µs, µs, exchanges (Servo)
    latencies: List[float]  # s, each exchange (Python loop)
    interrupted: bool  # Ctrl-C ended the loop: the figures are those until then
    left_limp: bool  # the device answered the last request, a zero force


if TYPE_CHECKING:
    from typing_extensions import TypeAlias

    Floats: TypeAlias = "np.ndarray[Any, np.dtype[np.float64]]"
    Bools: TypeAlias = "np.ndarray[Any, np.dtype[np.bool_]]"


class Trace(TypedDict):
    """Every cycle of a run, as arrays of one length."""

    time: Floats  # s
    z: Floats  # m
    vz: Floats  # m/s
    force_z: Floats  # N: the net force sent
    exchange_us: Floats  # µs
    late: Bools  # the cycle ended after its deadline
    failed: Bools  # no valid reply


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--port", help="serial port of a real device (default: start the simulator)"
    )
    parser.add_argument("--seconds", type=float, default=3.0, help="how long to run (default 3)")
    parser.add_argument("--rate", type=float, default=1000.0, help="loop rate in Hz (default 1000)")
    parser.add_argument(
        "--stiffness",
        type=float,
        default=1000.0,
        help="wall stiffness in N/m (default 1000: what a 1 kHz loop renders stably on a "
        "device with 1 N s/m of damping, with half a millisecond to spare; see "
        "Servo.stable_stiffness)",
    )
    parser.add_argument(
        "--wall-damping",
        type=float,
        default=10.0,
        help="wall damping in N s/m, while in contact (default 10)",
    )
    parser.add_argument(
        "--push",
        type=float,
        default=None,
        help="the virtual hand's downward force in N "
        "(default 1.5 with the simulator, 0 with --port)",
    )
    parser.add_argument(
        "--python-loop",
        action="store_true",
        help="run the loop in Python instead of the library's Servo",
    )
    parser.add_argument(
        "--realtime", action="store_true", help="ask for real-time priority for the Servo's thread"
    )
    parser.add_argument(
        "--line",
        choices=LINES,
        help="the simulator's line (default pty: no wire; zelkor-sim --lines says what each "
        "models); the demo says what the line allows before it runs",
    )
    parser.add_argument(
        "--pipeline",
        action="store_true",
        help="keep one request in flight (Servo(..., pipeline=True)): for slow lines",
    )
    parser.add_argument(
        "--plot",
        metavar="FILE.png",
        help="save a figure of every cycle: the end-effector against the wall, the wall's "
        "force and the net command, and the exchange times (needs matplotlib)",
    )
    parser.add_argument(
        "--save",
        metavar="FILE.npz",
        help="keep the Servo's recording of every cycle (zh.Recording.load reads it back)",
    )
    args = parser.parse_args()
    if not 0 < args.seconds <= 3600:
        parser.error("--seconds must be more than 0 and at most 3600")
    if not 1 <= args.rate <= 10000:
        parser.error("--rate must be from 1 to 10000 Hz")
    if args.stiffness < 0 or args.wall_damping < 0:
        parser.error("--stiffness and --wall-damping must not be negative")
    if args.push is None:
        args.push = 0.0 if args.port else 1.5
    if args.line and args.port:
        parser.error("--line chooses the simulator's line; a real device has its own")
    if args.save and args.python_loop:
        parser.error("--save keeps the Servo's recording; the Python loop makes none")
    return args


def percentile(ordered: list[float], p: float) -> float:
    """The p-th percentile (0-100) of an ordered list, nearest rank."""
    index = max(0, math.ceil(p / 100.0 * len(ordered)) - 1)
    return ordered[index]


def micros(seconds: float) -> str:
    return f"{seconds * 1e3:.2f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:.0f} µs"


class Progress:
    """A live status line: rewritten in place on a terminal, a line a second otherwise."""

    def __init__(self) -> None:
        self.tty = sys.stdout.isatty()
        self.every = 0.1 if self.tty else 1.0
        self.next = 0.0

    def show(self, t: float, text: str) -> None:
        if t < self.next:
            return
        self.next = t + self.every
        if self.tty:
            print("\r" + text, end="", flush=True)
        else:
            print(text, flush=True)

    def done(self) -> None:
        if self.tty:
            print()


def rate_text(t: float, rate_hz: float) -> str:
    """The loop rate for the status line, once a full second of cycles gives it meaning: the
    first few cycles come in a burst and would read as a rate well over the target."""
    return f"{rate_hz:6.0f} Hz" if t >= 1.0 else "     - Hz"


def pressing(t: float) -> bool:
    """Whether the virtual hand presses (else it lifts) at `t` seconds."""
    return (t % (PRESS + LIFT)) < PRESS


def start_position(arm: zh.Arbelon) -> list[float]:
    position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    if position == [0.0, 0.0, 0.0]:
        sys.exit("the device does not answer with its state")
    return position


def run_servo(arm: zh.Arbelon, args: argparse.Namespace) -> Result:
    """The wall and the hand as the Servo's effects; this thread swaps the hand's push and
    samples the state."""
    x0, y0, z0 = start_position(arm)
    wall = z0 - 0.02
    # The hand holds the end-effector over its start in x and y: two walls facing each other
    # along each axis make a spring in that axis alone.
    hold = [
        zh.Wall(normal, offset, HOLD_STIFFNESS)
        for normal, offset in [
            ((1, 0, 0), x0),
            ((-1, 0, 0), -x0),
            ((0, 1, 0), y0),
            ((0, -1, 0), -y0),
        ]
    ]
    surface = zh.Wall((0, 0, 1), wall, args.stiffness, args.wall_damping)

    def effects(press: bool) -> list[zh.Effect]:
        push = -args.push if press else 0.25 * args.push
        return [surface, *hold, zh.Damper(HAND_DAMPING), zh.ConstantForce((0, 0, push))]

    # Every cycle recorded, for --plot and --save.
    servo = zh.Servo(
        arm,
        args.rate,
        max_force=MAX_FORCE,
        realtime=args.realtime,
        pipeline=args.pipeline,
        record=args.seconds + 1.0,
    )
    servo.effects = effects(True)
    times: list[float] = []
    heights: list[float] = []
    forces: list[float] = []
    progress = Progress()
    was_pressing = True
    interrupted = False
    with servo:
        start = time.perf_counter()
        try:
            while servo.running:
                t = time.perf_counter() - start
                if t >= args.seconds:
                    break
                if pressing(t) != was_pressing:
                    was_pressing = not was_pressing
                    servo.effects = effects(was_pressing)
                state = servo.state()
                if state.cycle:
                    z = state.position[2]
                    times.append(state.time)
                    heights.append(z - wall)
                    forces.append(state.force[2])
                    progress.show(
                        t,
                        f"  t {t:5.2f}/{args.seconds:.2f} s | height over wall "
                        f"{(z - wall) * 1e3:+7.2f} mm | force z {state.force[2]:+6.2f} N"
                        f" | {rate_text(t, servo.stats().rate_hz)}",
                    )
                time.sleep(0.002)
        except KeyboardInterrupt:
            # Ctrl-C: the end of the block stops the servo, which leaves the arm limp, and
            # main() says what was measured until then.
            interrupted = True
    progress.done()
    stats = servo.stats()
    # After Ctrl-C, main() says it all in one line.
    if stats.stop_reason != "stopped" and not interrupted:
        print(f"the servo stopped by itself: {stats.stop_reason}")
    if args.realtime and not servo.realtime:
        print("real-time priority was refused; the loop ran at normal priority")
    recording = servo.recording()
    return {
        "times": times,
        "heights": heights,
        "forces": forces,
        "trace": {
            "time": recording.time,
            "z": recording.position[:, 2],
            "vz": recording.velocity[:, 2],
            "force_z": recording.force[:, 2],
            "exchange_us": recording.exchange_us,
            "late": recording.late,
            "failed": recording.failed,
        },
        "recording": recording,
        "wall": wall,
        "cycles": stats.cycles,
        "elapsed": stats.cycles / stats.rate_hz if stats.rate_hz else 0,
        "failed": stats.failed_exchanges,
        "late": stats.late_cycles,
        "missed": stats.missed,
        "stale_dropped": stats.stale_dropped,
        "stop_reason": stats.stop_reason or "",
        "p50": stats.p50_us * 1e-6,
        "p99": stats.p99_us * 1e-6,
        "p999": stats.p999_us * 1e-6,
        "max": stats.max_us * 1e-6,
        "realtime": servo.realtime,
        "histogram": servo.exchange_time_histogram(),
        "interrupted": interrupted,
        "left_limp": stats.left_limp,
    }


def run(arm: zh.Arbelon, args: argparse.Namespace) -> Result:
    """The same wall in a loop written in Python."""
    x0, y0, z0 = start_position(arm)
    wall = z0 - 0.02
    period = 1.0 / args.rate

    times: list[float] = []
    heights: list[float] = []
    forces: list[float] = []
    latencies: list[float] = []
    # Every cycle, for the plot: time, z, vz, force z, whether it failed, whether it was late.
    cycles: list[tuple[float, float, float, float, bool, bool]] = []
    failed = late = missed = 0
    force = [0.0, 0.0, 0.0]
    progress = Progress()
    clock = time.perf_counter
    start = clock()
    deadline = start
    end = start + args.seconds
    interrupted = False
    try:
        while True:
            now = clock()
            if now >= end:
                break
            t = now - start

            before = clock()
            position, velocity = arm.end_effector_force(force)
            latencies.append(clock() - before)
            if position == [0.0, 0.0, 0.0]:
                failed += 1  # no valid reply; keep the last force
                cycles.append((t, math.nan, math.nan, force[2], True, False))
            else:
                x, y, z = position
                vx, vy, vz = velocity
                hand_z = -args.push if pressing(t) else 0.25 * args.push
                f = [
                    -HOLD_STIFFNESS * (x - x0) - HAND_DAMPING * vx,
                    -HOLD_STIFFNESS * (y - y0) - HAND_DAMPING * vy,
                    hand_z - HAND_DAMPING * vz,
                ]
                depth = wall - z
                if depth > 0:
                    # A wall pushes, it never pulls.
                    f[2] += max(0.0, args.stiffness * depth - args.wall_damping * vz)
                norm = math.sqrt(sum(c * c for c in f))
                force = [c * MAX_FORCE / norm for c in f] if norm > MAX_FORCE else f
                times.append(t)
                heights.append(z - wall)
                forces.append(force[2])
                cycles.append((t, z, vz, force[2], False, False))
                progress.show(
                    t,
                    f"  t {t:5.2f}/{args.seconds:.2f} s | height over wall "
                    f"{(z - wall) * 1e3:+7.2f} mm | force z {force[2]:+6.2f} N | "
                    f"{rate_text(t, len(latencies) / t if t > 0 else 0.0)}",
                )

            # Absolute deadlines keep the average rate, as the Servo's do: a cycle that ends
            # after its deadline is late and the next starts at once; whole periods lost are
            # missed.
            deadline += period
            now = clock()
            if now > deadline:
                late += 1
                cycles[-1] = (*cycles[-1][:5], True)
                if now > deadline + period:
                    lost = int((now - deadline) // period)
                    missed += lost
                    deadline += lost * period
            while True:
                left = deadline - clock()
                if left <= 0:
                    break
                if left > 0.0003:
                    time.sleep(left - 0.0002)  # sleep most of the wait, spin the rest
    except KeyboardInterrupt:
        # Ctrl-C: an exchange it interrupted leaves the stream usable (the next one drops what
        # was left of its reply), so the arm is still left limp below.
        interrupted = True
    elapsed = clock() - start
    progress.done()
    arm.end_effector_force([0.0, 0.0, 0.0])  # leave the arm limp
    left_limp = arm.last_result == STATE_BYTES
    ordered = sorted(latencies)
    columns: Floats = np.zeros((len(cycles), 6))
    if cycles:
        columns[:] = cycles
    return {
        "times": times,
        "heights": heights,
        "forces": forces,
        "trace": {
            "time": columns[:, 0],
            "z": columns[:, 1],
            "vz": columns[:, 2],
            "force_z": columns[:, 3],
            "exchange_us": np.array(latencies) * 1e6,
            "late": columns[:, 5] != 0,
            "failed": columns[:, 4] != 0,
        },
        "wall": wall,
        "cycles": len(latencies),
        "elapsed": elapsed,
        "failed": failed,
        "late": late,
        "missed": missed,
        "p50": percentile(ordered, 50) if ordered else 0.0,
        "p99": percentile(ordered, 99) if ordered else 0.0,
        "max": ordered[-1] if ordered else 0.0,
        "latencies": latencies,
        "interrupted": interrupted,
        "left_limp": left_limp,
    }


def interrupted(result: Result) -> str:
    """One line for a run that Ctrl-C ended: what it measured until then."""
    n = result["cycles"]
    rate = n / result["elapsed"] if result["elapsed"] else 0.0
    depths = [-h for h in result["heights"] if h < 0]
    return (
        f"interrupted after {result['elapsed']:.1f} s: {n} exchanges at {rate:.1f} Hz, "
        f"{result['failed']} failed, "
        + (f"at most {max(depths) * 1e3:.2f} mm into the wall" if depths else "never in the wall")
        + (
            "; the arm is left limp"
            if result.get("left_limp")
            else "; the last request, a zero force, got no answer: the arm may still push"
        )
    )


def summarize(result: Result, args: argparse.Namespace) -> None:
    n = result["cycles"]
    rate = n / result["elapsed"] if result["elapsed"] else 0.0
    depths = [-h for h in result["heights"] if h < 0]
    print(
        f"loop rate     {rate:7.1f} Hz  (target {args.rate:.0f} Hz, {n} exchanges in "
        f"{result['elapsed']:.2f} s)"
    )
    print(
        f"schedule      {result['late']} cycles missed the cycle's deadline, "
        f"{result['missed']} slots skipped"
        + (f", {dropped} late replies dropped" if (dropped := result.get("stale_dropped")) else "")
    )
    if n:
        print(
            f"exchange      p50 {micros(result['p50'])}   p99 {micros(result['p99'])}"
            f"   max {micros(result['max'])}"
        )
    if result["failed"]:
        print(f"failed        {result['failed']} exchanges got no valid reply")
    if depths:
        expected = args.push / args.stiffness if args.stiffness else float("inf")
        print(
            f"penetration   max {max(depths) * 1e3:.2f} mm, mean in contact "
            f"{sum(depths) / len(depths) * 1e3:.2f} mm (a {args.push:g} N push on a "
            f"{args.stiffness:g} N/m wall settles at {expected * 1e3:.2f} mm)"
        )
    else:
        print("penetration   none: the end-effector never reached the wall")


# The exchange-time bins of both loops' histograms: log-spaced from 10 µs to 100 ms, so that
# a plot of the Servo and one of the Python loop compare bar for bar.
LATENCY_BINS = np.logspace(1, 5, 81)


def plot(result: Result, args: argparse.Namespace, filename: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    trace = result.get("trace")
    if trace is None:
        return
    t, height = trace["time"], (trace["z"] - result["wall"]) * 1e3
    # The wall's own force, from the state each cycle saw: a push, never a pull.
    depth = result["wall"] - trace["z"]
    wall_force = np.where(
        depth > 0, np.maximum(0.0, args.stiffness * depth - args.wall_damping * trace["vz"]), 0.0
    )
    loop = "Python loop" if args.python_loop else "Servo"

    fig = plt.figure(figsize=(9, 8), constrained_layout=True)
    top, middle, bottom = fig.subplots(3, 1, gridspec_kw={"height_ratios": [3, 2, 2]})
    top.plot(t, height, color="tab:blue", linewidth=1, label="end-effector height")
    top.axhline(0.0, color="0.3", linestyle="--", linewidth=1, label="wall surface")
    top.set_ylabel("height over the wall (mm)")
    top.set_title(
        f"A {args.stiffness:g} N/m wall at {args.rate:g} Hz ({loop}), pressed with {args.push:g} N"
    )
    # Cycles that ran late or got no reply, as ticks along the bottom of the axis.
    for mask, colour, name in (
        (trace["late"], "tab:orange", "late"),
        (trace["failed"], "k", "failed"),
    ):
        if mask.any():
            top.plot(
                t[mask],
                np.full(mask.sum(), 0.0),
                "|",
                color=colour,
                markersize=8,
                transform=top.get_xaxis_transform(),
                label=f"{name} cycles ({mask.sum()})",
            )
    top.legend(loc="upper right", fontsize="small")
    # The penetration is under a millimetre on a scale of centimetres: zoom on it.
    inside = depth > 0
    if inside.any():
        inset = top.inset_axes((0.14, 0.3, 0.28, 0.5))  # over the flat of the first press
        inset.plot(t, height, color="tab:blue", linewidth=1)
        inset.axhline(0.0, color="0.3", linestyle="--", linewidth=1)
        deepest = float(np.nanmin(height))
        inset.set_ylim(1.4 * deepest, -0.6 * deepest)
        first = float(t[inside][0])
        inset.set_xlim(first - 0.05, min(first + PRESS, float(t[-1])))
        inset.set_title("in the wall (mm)", fontsize="small")
        inset.tick_params(labelsize="small")
        top.indicate_inset_zoom(inset, edgecolor="0.5")

    middle.plot(t, wall_force, color="tab:red", linewidth=1, label="the wall's own force")
    middle.plot(t, trace["force_z"], color="tab:purple", linewidth=1, label="net force sent")
    middle.axhline(0.0, color="0.3", linewidth=0.5)
    middle.set_xlabel("time (s)")
    middle.set_ylabel("force z (N)")
    middle.sharex(top)
    middle.legend(loc="upper right", fontsize="small")

    exchange = trace["exchange_us"][~trace["failed"]]
    bottom.hist(exchange.clip(10.0, 1e5), bins=LATENCY_BINS, color="tab:blue", log=True)
    bottom.set_xscale("log")
    marks = [("p50", np.percentile(exchange, 50), "tab:green")] if exchange.size else []
    if exchange.size:
        marks.append(("p99", np.percentile(exchange, 99), "tab:orange"))
    marks.append(("period", 1e6 / args.rate, "k"))
    for name, value, colour in marks:
        bottom.axvline(value, color=colour, linestyle="--", linewidth=1)
        bottom.text(
            value,
            0.95,
            f" {name} {value:,.0f} µs",
            color=colour,
            rotation=90,
            va="top",
            fontsize="small",
            transform=bottom.get_xaxis_transform(),
        )
    bottom.set_xlabel("exchange time, request to reply (µs)")
    bottom.set_ylabel("cycles")
    bottom.set_title(f"end_effector_force round trip ({loop}; the same bins for both loops)")
    fig.savefig(filename, dpi=150)
    print(f"saved {filename}")


def main() -> None:
    args = parse_args()
    if args.plot:
        try:
            import matplotlib  # noqa: F401  # pyright: ignore[reportUnusedImport]
        except ImportError:
            sys.exit("--plot needs matplotlib: pip install matplotlib")

    options = ["--line", args.line] if args.line else []
    with port_or_simulator(args.port, "arbelon", *options) as port:
        if not args.port:
            print(f"started the simulator on {port}")
        try:
            stream = zh.SerialStream.open(port)
        except OSError as error:
            # Such as errno 13, Permission denied: the user is not in the port's group
            # (zelkor doctor says what to change).
            sys.exit(f"cannot open {port}: {error.strerror} (errno {error.errno})")
        arm = zh.Arbelon(stream)
        info = arm.device_wakeup_dict()
        if arm.last_result != IDENTITY_BYTES:
            sys.exit(f"no device answered the wake-up on {port}: {stream.last_error}")
        print(
            "Arbelon {device_id:#06x}, model {device_model_number}, hardware "
            "{hardware_version}, firmware {firmware_version}, id {device_id_ext}".format(**info)
        )
        if args.line:
            line = zh.measure_line(arm, 1.0)
            held = line.pipelined_hz if args.pipeline else line.strict_hz
            print(
                f"line {args.line}: exchange p50 {micros(line.exchange_p50_us * 1e-6)}, p99 "
                f"{micros(line.exchange_p99_us * 1e-6)}; it holds {line.strict_hz:.0f} Hz strict, "
                f"{line.pipelined_hz:.0f} Hz with one request in flight (--pipeline)"
            )
            if args.rate > held:
                print(
                    f"  {args.rate:g} Hz is more than it holds: the loop runs at the line's "
                    "pace, and the slots it cannot keep are counted as missed"
                )
        how = "a loop in Python" if args.python_loop else "the library's Servo"
        print(
            f"rendering a wall of {args.stiffness:g} N/m for {args.seconds:g} s at "
            f"{args.rate:g} Hz with {how}"
        )
        result = run(arm, args) if args.python_loop else run_servo(arm, args)
    if result.get("interrupted"):
        print(interrupted(result))
        sys.exit(130)
    summarize(result, args)
    if args.save and "recording" in result:
        result["recording"].save(args.save)
        print(f"saved the recording of every cycle to {args.save}")
    if args.plot:
        plot(result, args, args.plot)


if __name__ == "__main__":
    begun = time.monotonic()
    try:
        main()
    except KeyboardInterrupt:
        # Ctrl-C outside the loop, which says what it measured itself: while the simulator
        # starts or the device wakes, or while the figures are saved. One line, no traceback.
        print(f"interrupted after {time.monotonic() - begun:.1f} s: outside the loop")
        sys.exit(130)  # as a shell reports a program that SIGINT ended
