"""Run by test_signals.py in a process of its own: a call waits on a pseudo-terminal whose
device stays silent or trickles, the test sends SIGINT, and the script reports as JSON when
KeyboardInterrupt came (on the machine's monotonic clock, which the test shares) and whether
a later exchange works. The call holds the interpreter lock while it waits, so no thread of
this process could send the signal in time."""

import json
import os
import select
import struct
import subprocess
import sys
import threading
import time

import ZelkorHardwareAPI as zh

STATE = struct.pack("<6f", 1.5, -2.25, 3.0, 0.125, -0.5, 0.25)


def main(case):
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    stream = zh.SerialStream(path)
    arm, handle = zh.Arbelon(stream), zh.Handle(stream)
    calls = {
        "exchange": lambda: arm.end_effector_force([0, 0, 1]),
        "legacy receive": lambda: arm.ReceiveCurrent(),
        "handle receive": lambda: handle.Receive(),
        "trickling drain": lambda: arm.joint_angles([0, 0, 0]),
    }
    stop = threading.Event()
    if case == "trickling drain":
        # A wrong code byte, then a byte every 0.9 s: the drain's interval time-out never
        # fires, so only the 9.2 s total would end it.
        def trickle():
            os.write(master, b"\x55")
            while not stop.wait(0.9):
                os.write(master, b"\x00")

        threading.Thread(target=trickle, daemon=True).start()

    report = {"raised": None}
    print("waiting", flush=True)
    try:
        calls[case]()
    except KeyboardInterrupt:
        report["raised"] = "KeyboardInterrupt"
        report["at"] = time.monotonic()
    stop.set()
    time.sleep(0.05)
    while select.select([master], [], [], 0.05)[0]:
        os.read(master, 4096)  # what the host wrote
    # The stream stays usable: the next exchange gets its own reply, from a device in another
    # process (no thread of this one runs while the exchange holds the interpreter lock).
    reply = b"\x2b" + STATE
    answer = f"import os\nassert os.read(0, 13)[0] == 0x2A\nos.write(0, {reply!r})\n"
    with subprocess.Popen([sys.executable, "-c", answer], stdin=master):
        report["later"] = arm.end_effector_force([0, 0, 0])
    print(json.dumps(report))


if __name__ == "__main__":
    main(sys.argv[1])
