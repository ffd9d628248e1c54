"""Instructions counted under callgrind, for the benchmarks that count a servo's cycle."""

import os
import re
import subprocess
import tempfile


def loop_thread_instructions(bin_dir, command, count, timeout=900, env=None):
    """User-space instructions per cycle of a servo's loop thread: `command(n, port)` (the
    program and its arguments, run under callgrind) drives a servo of n cycles against the
    benchmark peer on `port`; runs of `count` and 2 x `count` cycles, the difference over
    `count`. Thread 1 is the host's main thread; of the servo's threads (its loop, the one that
    watches it and tells its notices), the loop is the busiest by far."""
    totals = []
    for n in (count, 2 * count):
        peer = subprocess.Popen(
            [os.path.join(bin_dir, "zelkor-bench-peer"), "arbelon"],
            stdout=subprocess.PIPE,
            text=True,
        )
        try:
            port = peer.stdout.readline().strip()
            with tempfile.TemporaryDirectory() as tmp:
                out = os.path.join(tmp, "count")
                subprocess.run(
                    [
                        "valgrind",
                        "--tool=callgrind",
                        "--separate-threads=yes",
                        f"--callgrind-out-file={out}",
                        *command(n, port),
                    ],
                    check=True,
                    capture_output=True,
                    timeout=timeout,
                    env=env,
                )
                counts = []
                for name in os.listdir(tmp):
                    if name.startswith("count-") and not name.endswith("-01"):
                        with open(os.path.join(tmp, name)) as f:
                            found = re.search(r"^(?:summary|totals):\s*(\d+)", f.read(), re.M)
                        counts.append(int(found.group(1)))
                totals.append(max(counts))
        finally:
            peer.wait(timeout=10)
    return (totals[1] - totals[0]) / count
