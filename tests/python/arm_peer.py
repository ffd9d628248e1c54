"""Plays an Arbelon on the master side of a pseudo-terminal (its standard input), in a process
of its own, so that it outlives the process it serves: answers each force request with a state
after `delay` seconds, and when the host side closes, writes to `report` (a file path) how many
requests came and the last force requested, as JSON.

    python arm_peer.py REPORT [DELAY]
"""

from __future__ import annotations

import json
import os
import select
import struct
import sys
import time

STATE = b"\x2b" + struct.pack("<6f", 0.1, 0.0, -0.02, 0.0, 0.0, 0.0)


def main(report: str, delay: float) -> None:
    fd, pending, requests, last = 0, b"", 0, None
    # Until a host opens the slave side, the master reads as hung up: wait for the first byte.
    while True:
        try:
            ready = select.select([fd], [], [], 0.05)[0]
            chunk = os.read(fd, 4096) if ready else b""
        except OSError:
            if requests or time.monotonic() > START + 30:
                break
            time.sleep(0.005)
            continue
        pending += chunk
        while len(pending) >= 13 and pending[0] == 0x2A:
            requests += 1
            last = list(struct.unpack("<3f", pending[1:13]))
            pending = pending[13:]
            if delay:
                time.sleep(delay)
            try:
                os.write(fd, STATE)
            except OSError:
                break
        if pending and pending[0] != 0x2A:
            pending = pending[1:]
    with open(report, "w") as out:
        json.dump({"requests": requests, "last": last}, out)


START = time.monotonic()
if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 0.0)
