#!/usr/bin/env python3
"""zelkor-console.exe end to end under Wine, against device_peer.py playing the device.

    console_test.py PATH/TO/zelkor-console.exe

Needs WINEPREFIX and ZELKOR_PEER_PORT as tests/windows/run sets them. Prints one line per
case; exits 1 when any case failed.
"""
import os
import socket
import struct
import subprocess
import sys


class Line:
    """One COM port whose device side this process plays through the peer."""

    def __init__(self):
        self.sock = socket.create_connection(("127.0.0.1", int(os.environ["ZELKOR_PEER_PORT"])))
        self.file = self.sock.makefile("rwb")
        self.port = self.ask(None)

    def ask(self, request):
        if request is not None:
            self.file.write(request.encode() + b"\n")
            self.file.flush()
        return self.file.readline().decode().strip()

    def send(self, data):
        assert self.ask("send " + data.hex()) == "ok"

    def receive(self, want, timeout_ms=1000):
        return bytes.fromhex(self.ask(f"recv {want} {timeout_ms}"))

    def close(self):
        self.file.close()
        self.sock.close()


def floats(*values):
    return struct.pack("<" + "f" * len(values), *values)


IDENTITY = bytes([0x0B, 0x34, 0x12, 0x07, 0x02, 0x05]) + bytes(range(0x10, 0x20))
STATE = floats(1.5, -2.25, 3.0, 0.125, -0.5, 0.0)

# name, replies the device has ready, arguments, exit status, stdout, bytes the device gets
CASES = [
    ("wakeup by default", IDENTITY, [], 0,
     "wakeup: device_id 4660 model 7 hardware 2 firmware 5 "
     "uuid 101112131415161718191a1b1c1d1e1f\n", b"\x0a"),
    ("two exchanges", IDENTITY + b"\x1b" + STATE, ["wakeup", "angles", "1", "2", "3"], 0,
     "wakeup: device_id 4660 model 7 hardware 2 firmware 5 "
     "uuid 101112131415161718191a1b1c1d1e1f\n"
     "angles: joint_position 1.5 -2.25 3 joint_velocity 0.125 -0.5 0\n",
     b"\x0a\x1c" + floats(1, 2, 3)),
    ("force answered with a joint state", b"\x1b" + STATE, ["force", "0", "0", "1.5"], 1,
     "force: no state reply (-1)\n", b"\x2a" + floats(0, 0, 1.5)),
    ("silent device", b"", ["position", "1", "2", "3"], 1,
     "position: no state reply (-1)\n", b"\x2c" + floats(1, 2, 3)),
    ("not a number: nothing is sent", b"", ["torques", "1", "x", "3"], 2, "", b""),
    ("too few numbers: nothing is sent", b"", ["torques", "1", "2"], 2, "", b""),
    ("unknown step", b"", ["jump"], 2, "", b""),
]


def run(exe, args):
    return subprocess.run(["wine", exe] + args, capture_output=True, text=True, timeout=60)


def main():
    exe = sys.argv[1]
    failures = 0

    def check(name, ok, detail):
        nonlocal failures
        print(("ok     " if ok else "FAILED ") + name + ("" if ok else "\n" + detail))
        failures += not ok

    for name, replies, args, status, stdout, request in CASES:
        line = Line()
        line.send(replies)
        result = run(exe, ["arbelon", line.port] + args)
        got = line.receive(len(request) + 1, 300)
        line.close()
        check(name, (result.returncode, result.stdout, got) == (status, stdout, request),
              f"  status {result.returncode}, stdout {result.stdout!r}, device got {got.hex()}"
              f"\n  stderr {result.stderr!r}")

    result = run(exe, ["arbelon", "COM251"])
    check("missing port", (result.returncode, result.stdout) == (1, "wakeup: no identity reply (-1)\n"),
          f"  status {result.returncode}, stdout {result.stdout!r}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
