"""Plays an Arbelon on the master side of a pseudo-terminal (its standard input), in a process
of its own, so that it outlives the process it serves. It answers each force request with a
state, and when the host side closes writes to REPORT (a file path) how many requests came and
the last force requested, as JSON.

    python arm_peer.py REPORT [DELAY] [--echo] [--late-every N --late SECONDS]

DELAY: seconds before every reply. --echo: the position reported is the force requested, so a
state is fresh exactly when its position equals the force of its own request. --late-every N:
every N-th reply waits --late seconds more.
"""

from __future__ import annotations

import argparse
import json
import os
import select
import struct
import time

STATE = b"\x2b" + struct.pack("<6f", 0.1, 0.0, -0.02, 0.0, 0.0, 0.0)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("report")
    parser.add_argument("delay", nargs="?", type=float, default=0.0)
    parser.add_argument("--echo", action="store_true")
    parser.add_argument("--late-every", type=int, default=0)
    parser.add_argument("--late", type=float, default=0.0)
    args = parser.parse_args()
    start = time.monotonic()
    fd, pending, requests, last = 0, b"", 0, None
    # Until a host opens the slave side, the master reads as hung up: wait for the first byte.
    while True:
        try:
            ready = select.select([fd], [], [], 0.05)[0]
            chunk = os.read(fd, 4096) if ready else b""
        except OSError:
            if requests or time.monotonic() > start + 30:
                break
            time.sleep(0.005)
            continue
        pending += chunk
        while len(pending) >= 13 and pending[0] == 0x2A:
            requests += 1
            last = list(struct.unpack("<3f", pending[1:13]))
            reply = b"\x2b" + pending[1:13] + bytes(12) if args.echo else STATE
            pending = pending[13:]
            delay = args.delay
            if args.late_every and requests % args.late_every == 0:
                delay += args.late
            if delay:
                time.sleep(delay)
            try:
                os.write(fd, reply)
            except OSError:
                break
        if pending and pending[0] != 0x2A:
            pending = pending[1:]
    with open(args.report, "w") as out:
        json.dump({"requests": requests, "last": last}, out)


if __name__ == "__main__":
    main()
