"""Runs the exchange benchmark and prints Markdown tables.

Every host talks to the same peer (zelkor-bench-peer) on a fresh pseudo-terminal per run.

Counted figures come out the same whatever else the machine does: the user-space instructions
of the host alone (the peer runs natively and is not counted), its system calls, and the heap
allocations of the C++ hosts. Instructions are counted with perf where the machine has the
instruction counter, else under callgrind. Instructions and system calls are each the
difference of a run of N and one of 2N exchanges or messages, divided by N, so start-up and
shut-down cancel out, less the same figure for the host's loop around a no-op call in place of
the exchange, so what remains is the exchange (or Receive, with its callback) alone.

Timed figures (rates, latencies, CPU time, their ratios to the floor) depend on the scheduler as
much as on the hosts: whether the host and the peer share a CPU moves every median by tens of
µs. Hosts run in alternation, round after round (A B C D A B C D ...), so drift of the machine
hits them all alike; each figure is the median over the rounds. Every round runs the hosts once
more with host and peer pinned to one CPU (taskset), which gives a CPU ratio to the floor free
of cross-CPU wake-ups.

    python bench/bench.py --bin DIR [--smoke] [--rounds R] [--count N] [--counted-count N]
"""

import argparse
import concurrent.futures
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from targets import verdict  # this folder: the script's own

HERE = os.path.dirname(os.path.abspath(__file__))
PYHOST = os.path.join(HERE, "pyhost.py")
HANDLE_REPLY = 37  # payload bytes of a status message with 16 bytes of user data

CPP_HOSTS = {"floor", "cpp", "cpp-noop", "handle-cpp", "handle-cpp-noop"}
EXCHANGE_HOSTS = ["floor", "cpp", "python", "legacy", "pyserial", "python-os"]
HANDLE_HOSTS = ["handle-python", "handle-pyserial", "handle-cpp"]
# The loop whose instructions each host's count loses: its own loop around a no-op call.
NOOP = {
    "floor": "cpp-noop",
    "cpp": "cpp-noop",
    "python": "python-noop",
    "legacy": "python-noop",
    "pyserial": "python-noop",
    "python-os": "python-noop",
    "handle-cpp": "handle-cpp-noop",
    "handle-python": "handle-python-noop",
    "handle-pyserial": "handle-python-noop",
}


def peer_args(host, count):
    if host.endswith("-noop") and host.startswith("handle-"):
        return ("handle", "0")  # woken, sends nothing
    if host.startswith("handle-"):
        return ("handle", str(count))
    return ("arbelon",)


class Bench:
    def __init__(self, bin_dir):
        self.peer = os.path.join(bin_dir, "zelkor-bench-peer")
        self.host = os.path.join(bin_dir, "zelkor-bench-host")
        # Counted Python hosts start without the site module: site's start-up hooks may import
        # anything, which costs the instruction counter's runs seconds each (it cancels out of
        # the difference anyway). The module search path is this interpreter's, so the same
        # packages load; a fixed hash seed makes the runs repeatable.
        self.counted_env = dict(
            os.environ, PYTHONHASHSEED="0", PYTHONPATH=os.pathsep.join(p for p in sys.path if p)
        )

    def command(self, host, port, counts, counted=False):
        counts = [str(c) for c in counts]
        tail = ["--counted"] if counted else []
        if host in CPP_HOSTS:
            return [self.host, host, port, *counts, *tail]
        return [sys.executable, *(["-S"] if counted else []), PYHOST, host, port, *counts, *tail]

    def run(self, host, counts, wrap=(), cpu=None, counted=False):
        """Starts a peer, runs one host against it, returns the host's JSON report. cpu pins
        both to that CPU; counted runs leave out what would not cancel out of a difference of
        two counts (see the hosts)."""
        pin = ("taskset", "-c", str(cpu)) if cpu is not None else ()
        peer = subprocess.Popen(
            [*pin, self.peer, *peer_args(host, counts[0])], stdout=subprocess.PIPE, text=True
        )
        try:
            port = peer.stdout.readline().strip()
            if not port:
                raise SystemExit(f"the peer for {host} did not start")
            done = subprocess.run(
                [*pin, *wrap, *self.command(host, port, counts, counted)],
                capture_output=True,
                text=True,
                timeout=600,
                env=self.counted_env if counted else None,
            )
            if done.returncode != 0:
                raise SystemExit(f"{host} failed:\n{done.stderr}")
            return json.loads(done.stdout.strip().splitlines()[-1])
        finally:
            try:
                peer.wait(timeout=10)
            except subprocess.TimeoutExpired:
                peer.kill()
                peer.wait()

    def syscalls(self, host, count, tool):
        """System calls per exchange of one host: the difference of a counted run of 2N
        exchanges and one of N, divided by N, so start-up and shutdown cancel out. perf counts
        them at the kernel's tracepoint without slowing the host; strace, the fallback, stops
        the host at every call, which lets replies arrive before reads that would otherwise
        have waited."""
        totals = []
        for n in (count, 2 * count):
            with tempfile.NamedTemporaryFile("r", suffix=".count") as out:
                if tool == "perf":
                    wrap = (
                        "perf",
                        "stat",
                        "-x",
                        ",",
                        "-e",
                        "raw_syscalls:sys_enter",
                        "-o",
                        out.name,
                        "--",
                    )
                else:
                    wrap = ("strace", "-f", "-c", "-o", out.name)
                self.run(host, [n], wrap=wrap, counted=True)
                text = out.read()
            if tool == "perf":
                match = re.search(r"^(\d+),,raw_syscalls:sys_enter", text, re.M)
            else:
                match = re.search(r"^\s*100\.00\s+\S+\s+\S+\s+(\d+)", text, re.M)
            if not match:
                raise SystemExit(f"cannot read the system call count of {tool}:\n{text}")
            totals.append(int(match.group(1)))
        return (totals[1] - totals[0]) / count

    def instructions(self, host, count, tool):
        """User-space instructions of one whole run of the host (start-up included)."""
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "count")
            if tool == "perf":
                wrap = ("perf", "stat", "-x", ",", "-e", "instructions:u", "-o", out, "--")
            else:
                wrap = ("valgrind", "--tool=callgrind", f"--callgrind-out-file={out}")
            self.run(host, [count], wrap=wrap, counted=True)
            with open(out) as f:
                text = f.read()
        if tool == "perf":
            total = perf_instructions(text)
        else:
            match = re.search(r"^summary:\s*(\d+)", text, re.M)
            total = int(match.group(1)) if match else None
        if total is None:
            raise SystemExit(
                f"cannot read the instruction count of {tool} for {host}:\n{text[:2000]}"
            )
        return total


def perf_instructions(text):
    """The user-space instructions in perf stat's CSV output, or None. A machine with two kinds
    of core reports one line per kind (cpu_core/instructions:u/, cpu_atom/...), and a process
    may run on both: the count is their sum. A counter the machine lacks reads
    "<not supported>"."""
    counts = [
        int(m.group(1)) for m in re.finditer(r"^(\d+),[^,]*,[^,]*instructions:u[^,]*,", text, re.M)
    ]
    return sum(counts) if counts else None


def syscall_counter():
    """perf when it can count system calls here, else strace, else None."""
    if shutil.which("perf"):
        probe = subprocess.run(
            ["perf", "stat", "-e", "raw_syscalls:sys_enter", "--", "true"], capture_output=True
        )
        if probe.returncode == 0:
            return "perf"
    return "strace" if shutil.which("strace") else None


def instruction_counter():
    """perf when the machine counts user-space instructions, else callgrind, else None. perf
    succeeds even without the counter (it prints "<not supported>" instead of a number), so the
    probe looks for the number."""
    if shutil.which("perf"):
        probe = subprocess.run(
            ["perf", "stat", "-x", ",", "-e", "instructions:u", "--", "true"],
            capture_output=True,
            text=True,
        )
        if probe.returncode == 0 and perf_instructions(probe.stderr):
            return "perf"
    return "callgrind" if shutil.which("valgrind") else None


def count_instructions(bench, tool, n):
    """Instructions per exchange or message of every host, less its loop around a no-op, and
    the loops' own figures. Every mode runs N and 2N times; the figure is the difference / N.
    Under callgrind the runs go two at a time (the count is the same however busy the machine
    is, and each run takes seconds); perf counts hosts running at full speed, one at a time."""
    modes = list(NOOP) + sorted(set(NOOP.values()))
    jobs = [(mode, count) for mode in modes for count in (n, 2 * n)]
    workers = min(2, os.cpu_count() or 1) if tool == "callgrind" else 1
    print(
        f"counting instructions with {tool}: {len(jobs)} runs of {n:,} or {2 * n:,}",
        file=sys.stderr,
    )
    start = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        counts = dict(zip(jobs, pool.map(lambda job: bench.instructions(*job, tool), jobs)))
    print(f"counted in {time.monotonic() - start:.0f} s", file=sys.stderr)
    totals = {mode: (counts[mode, n], counts[mode, 2 * n]) for mode in modes}
    per = {m: (t2 - t1) / n for m, (t1, t2) in totals.items()}
    figures = {h: per[h] - per[loop] for h, loop in NOOP.items()}
    return totals, per, figures


def check_counts(totals, figures):
    """What every run asserts of the counts: that counting works, never how fast anything is.
    Every run counts something, a longer run counts more, every exchange or message costs more
    than the no-op in its place, and the floor costs less than the library, which costs less
    than the module."""
    problems = []
    for mode, (t1, t2) in totals.items():
        if t1 <= 0 or t2 <= 0:
            problems.append(f"{mode}: a run counted {t1} and {t2} instructions")
        elif t2 <= t1:
            problems.append(
                f"{mode}: the run twice as long counted {t2:,} instructions, not more than {t1:,}"
            )
    for host, figure in figures.items():
        if figure <= 0:
            problems.append(f"{host}: {figure:,.0f} instructions per exchange beyond its loop")
    if not figures["floor"] < figures["cpp"] < figures["python"]:
        problems.append(
            "instructions per exchange not floor < cpp < python: "
            f"{figures['floor']:,.0f}, {figures['cpp']:,.0f}, "
            f"{figures['python']:,.0f}"
        )
    if problems:
        raise SystemExit("instruction counting failed:\n  " + "\n  ".join(problems))


def summarise(reports):
    """Medians over the rounds: exchanges per second, CPU µs per exchange, and the latency
    and allocation figures the host reported."""
    out = {
        "rate": statistics.median(r["count"] / r["wall_s"] for r in reports),
        "cpu_us": statistics.median(r["cpu_s"] / r["count"] * 1e6 for r in reports),
        "count": reports[0]["count"],
    }
    for key in ("p50_ns", "p99_ns", "max_ns", "allocations"):
        if key in reports[0]:
            out[key] = statistics.median(r[key] for r in reports)
    return out


def machine():
    cpu = "unknown cpu"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(ln.split(":", 1)[1].strip() for ln in f if ln.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return (
        f"{platform.system()} {platform.release()}, {cpu}, {os.cpu_count()} cpus, "
        f"Python {platform.python_version()}"
    )


def pinning_cpu():
    """The CPU both host and peer run on in the pinned rounds: the first this process may use,
    or None without taskset."""
    if not shutil.which("taskset"):
        return None
    return min(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bin", required=True, help="folder with zelkor-bench-peer and -host")
    parser.add_argument("--smoke", action="store_true", help="a few hundred exchanges, one round")
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--count", type=int, default=5000, help="exchanges per host and round")
    parser.add_argument(
        "--counted-count",
        type=int,
        default=2000,
        help="N for the instruction counts: runs of N and 2N per host",
    )
    args = parser.parse_args()
    if args.smoke:
        args.rounds, args.count, args.counted_count = 1, 300, 100
    bench = Bench(args.bin)
    cpu = pinning_cpu()

    hosts = EXCHANGE_HOSTS
    runs = {h: [] for h in hosts}
    pinned_runs = {h: [] for h in hosts}
    for r in range(args.rounds):
        for h in hosts:
            runs[h].append(bench.run(h, [args.count]))
        if cpu is not None:
            for h in hosts:
                pinned_runs[h].append(bench.run(h, [args.count], cpu=cpu))
        print(f"round {r + 1}/{args.rounds} done", file=sys.stderr)
    stats = {h: summarise(runs[h]) for h in hosts}
    pinned = {h: summarise(pinned_runs[h]) for h in hosts} if cpu is not None else None

    handle_count = args.count * 2
    handle_hosts = HANDLE_HOSTS
    handle_runs = {h: [] for h in handle_hosts}
    for _ in range(args.rounds):
        for h in handle_hosts:
            handle_runs[h].append(bench.run(h, [handle_count]))
    handle = {h: summarise(handle_runs[h]) for h in handle_hosts}

    counter = syscall_counter()
    syscall_count = 200 if args.smoke else 2000
    syscalls = {}
    if counter:
        # Less the loop's own calls, as for the instructions: a longer run needs more memory
        # for its latencies, and the calls that grow the heap for it would otherwise count as
        # a fraction of a call per exchange.
        loops = {
            loop: bench.syscalls(loop, syscall_count, counter)
            for loop in ("cpp-noop", "python-noop")
        }
        syscalls = {
            h: bench.syscalls(h, syscall_count, counter) - loops[NOOP[h]]
            for h in ("floor", "cpp", "python")
        }

    tool = instruction_counter()
    n = args.counted_count
    if tool:
        totals, loop_per, instr = count_instructions(bench, tool, n)
    elif args.smoke:
        raise SystemExit("no instruction counter: install valgrind (scripts/install-deps does)")
    else:
        totals, loop_per, instr = {}, {}, {}

    rss_counts = [1000, 10000] if args.smoke else [10000, 1000000]
    rss = bench.run("rss", rss_counts)["rss_kib"]

    def count_cell(value):
        return "-" if value is None else f"{value:,.0f}"

    floor = stats["floor"]
    print(f"\nMachine: {machine()}")

    print("\n### Counted: the same on every run, whatever the machine is doing\n")
    if tool:
        where = (
            "perf stat -e instructions:u"
            if tool == "perf"
            else "callgrind (host alone; the peer runs natively)"
        )
        print(
            f"Instructions: user-space instructions counted with {where}, runs of {n:,} and "
            f"{2 * n:,} exchanges, difference / {n:,}, less the same figure for the host's "
            "loop with a no-op call in place of the exchange (the C++ loop for floor and cpp, "
            'the Python loop for the Python hosts; column "loop subtracted").'
        )
    else:
        print("Instructions: not counted (neither perf's instruction counter nor valgrind).")
    print(
        f"System calls: counted with {counter or 'nothing (neither perf nor strace found)'}, "
        f"runs of {syscall_count:,} and {2 * syscall_count:,} exchanges, difference / "
        f"{syscall_count:,}, less the same figure for the loop around a no-op. "
        f"Heap allocations: counted by the C++ host over {args.count:,} exchanges.\n"
    )
    print(
        "| host | instructions/exchange | loop subtracted | beyond the floor "
        "| syscalls/exchange | allocations |"
    )
    print("|---|---:|---:|---:|---:|---:|")
    for h in hosts:
        sc = syscalls.get(h)
        allocs = stats[h].get("allocations")
        beyond = f"{instr[h] - instr['floor']:+,.0f}" if instr and h != "floor" else "-"
        print(
            f"| {h} | {count_cell(instr.get(h))} | {count_cell(loop_per.get(NOOP[h]))} | "
            f"{beyond} | {'-' if sc is None else f'{sc:.2f}'} | "
            f"{'-' if allocs is None else int(allocs)} |"
        )

    print("\n### Timed: scheduler-dependent\n")
    print(
        f"{args.rounds} rounds x {args.count:,} exchanges per host; medians over the rounds. "
        "Rates, latencies and CPU time, and their ratios to the floor, measure this machine's "
        "scheduler as much as the hosts.",
        end=" ",
    )
    if pinned:
        print(f"Pinned: host and peer both on CPU {cpu} (taskset -c {cpu}), in the same rounds.\n")
    else:
        print("No pinned rounds (taskset not found).\n")
    print(
        "| host | exchanges/s | p50 µs | p99 µs | max µs | CPU µs/exchange | time vs floor "
        "| CPU vs floor | pinned CPU µs/exchange | pinned CPU vs floor |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for h in hosts:
        s = stats[h]
        if pinned:
            p = pinned[h]
            pin_cells = f"{p['cpu_us']:.2f} | {p['cpu_us'] / pinned['floor']['cpu_us']:.3f}"
        else:
            pin_cells = "- | -"
        print(
            f"| {h} | {s['rate']:,.0f} | {s['p50_ns'] / 1e3:.1f} | {s['p99_ns'] / 1e3:.1f} | "
            f"{s['max_ns'] / 1e3:.0f} | {s['cpu_us']:.2f} | {floor['rate'] / s['rate']:.3f} | "
            f"{s['cpu_us'] / floor['cpu_us']:.3f} | {pin_cells} |"
        )

    pos = stats["python-os"]
    print(
        f"\nFor scale: a host with no cost beyond the floor's would run at "
        f"{floor['rate'] / stats['pyserial']['rate']:.2f}x pyserial's rate; the floor's own "
        f"system calls made from a Python loop (python-os) take {floor['rate'] / pos['rate']:.3f}x "
        f"its time and {pos['cpu_us'] / floor['cpu_us']:.3f}x its CPU."
    )

    hp, hs = handle["handle-python"], handle["handle-pyserial"]
    print(
        f"\n### Handle stream\n\n{handle_count:,} status messages with 16 bytes of user data, "
        "each into a callback that checks it (Python readers: a method of a Python class). "
        "Instructions per message are counted as for the exchanges, the callback included, "
        "less the reader's loop around a no-op call in place of Receive (or of pyserial's "
        "reads and the call of the callback); messages/s, CPU and the rate ratio are "
        "scheduler-dependent.\n"
    )
    print(
        "| reader | instructions/message | loop subtracted | messages/s | CPU µs/message "
        "| rate vs pyserial | allocations |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|")
    for h in handle_hosts:
        s = handle[h]
        allocs = s.get("allocations")
        print(
            f"| {h} | {count_cell(instr.get(h))} | {count_cell(loop_per.get(NOOP[h]))} | "
            f"{s['rate']:,.0f} | {s['cpu_us']:.2f} | {s['rate'] / hs['rate']:.2f} | "
            f"{'-' if allocs is None else int(allocs)} |"
        )

    first, last = (str(c) for c in rss_counts)
    growth = rss[last] - rss[first]
    print(
        f"\nPython resident memory: {rss[first]} KiB after {int(first):,} exchanges, "
        f"{rss[last]} KiB after {int(last):,} ({growth:+d} KiB).\n"
    )

    cpp = stats["cpp"]

    judged = not args.smoke  # a smoke run's figures come from a few hundred exchanges

    def counted(name, value, met):
        """A target on a counted figure: 'not counted' when the counter was missing."""
        if value is None:
            return (name, "-", "not counted")
        return (name, value, verdict(met, judged))

    targets = []
    if instr:
        targets += [
            counted(
                "C++ exchange <= floor + 350 instructions",
                f"floor + {instr['cpp'] - instr['floor']:,.0f}",
                instr["cpp"] <= instr["floor"] + 350,
            ),
            counted(
                "Python exchange <= 1,900 instructions",
                f"{instr['python']:,.0f}",
                instr["python"] <= 1900,
            ),
            counted(
                "deprecated SendForce + ReceiveState pair <= 17,000 instructions",
                f"{instr['legacy']:,.0f}",
                instr["legacy"] <= 17000,
            ),
            (
                "Python Receive with a subclass callback: instructions per message reported",
                f"{instr['handle-python']:,.0f}",
                verdict(True, judged),
            ),
        ]
    else:
        targets += [
            counted("C++ exchange <= floor + 350 instructions", None, False),
            counted("Python exchange <= 1,900 instructions", None, False),
            counted("deprecated SendForce + ReceiveState pair <= 17,000 instructions", None, False),
            counted(
                "Python Receive with a subclass callback: instructions per message reported",
                None,
                False,
            ),
        ]
    if counter:
        most = max(syscalls["cpp"], syscalls["python"])
        targets.append(
            (
                "no more than 4 system calls per exchange (C++, Python)",
                f"{syscalls['cpp']:.2f}, {syscalls['python']:.2f}",
                verdict(most <= 4.0, judged),
            )
        )
    else:
        targets.append(
            counted("no more than 4 system calls per exchange (C++, Python)", None, False)
        )
    targets += [
        (
            "no heap allocation per C++ exchange",
            f"{int(cpp['allocations'])}",
            verdict(cpp["allocations"] == 0, judged),
        ),
        (
            "no heap allocation per Receive",
            f"{int(handle['handle-cpp']['allocations'])}",
            verdict(handle["handle-cpp"]["allocations"] == 0, judged),
        ),
        ("Python RSS growth <= 1 MiB", f"{growth:+d} KiB", verdict(growth <= 1024, judged)),
        (
            "Handle stream >= 2x pyserial (scheduler-dependent)",
            f"{hp['rate'] / hs['rate']:.2f}x",
            verdict(hp["rate"] / hs["rate"] >= 2.0, judged),
        ),
    ]
    print("| target | measured | |\n|---|---:|---|")
    for name, value, status in targets:
        print(f"| {name} | {value} | {status} |")

    # Every run checks that everything ran and every reply was right (the hosts exit non-zero
    # otherwise), and that the instruction counting works. No target fails the run, however
    # far it is missed.
    if tool:
        check_counts(totals, instr)


if __name__ == "__main__":
    main()
