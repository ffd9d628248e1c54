"""The Python hosts of the benchmark.

    python pyhost.py python PORT COUNT            ZelkorHardwareAPI.Arbelon.end_effector_force
    python pyhost.py legacy PORT COUNT            the same exchange through the deprecated pair
                                                  SendForce and ReceiveState
    python pyhost.py pyserial PORT COUNT          the same exchange by hand with pyserial + struct
    python pyhost.py python-os PORT COUNT         the same exchange with the floor's system calls
                                                  made from Python (os.write, poll, os.read):
                                                  the least any Python host can do
    python pyhost.py handle-python PORT COUNT     status messages through Handle.Receive into a
                                                  Python subclass's callback
    python pyhost.py handle-pyserial PORT COUNT   the same messages read by hand with pyserial
    python pyhost.py rss PORT COUNT...            resident memory after each of the counts of
                                                  exchanges
    python pyhost.py python-noop PORT COUNT       the exchange hosts' loop around a no-op call
                                                  in place of the exchange: the loop's own cost,
                                                  which the instruction counts take out
    python pyhost.py handle-python-noop PORT COUNT
                                                  the Handle readers' loop around a no-op call
                                                  in place of Receive, likewise

Every reply is checked exactly. Prints one JSON line. A last argument --counted leaves out the
latency percentiles: sorting the latencies costs more per exchange the longer the run, and how
much depends on the times measured, so it would not cancel out of the difference of two
instruction counts.
"""

import array
import functools
import itertools
import json
import struct
import sys
import time

FORCE = struct.Struct("<B3f")
STATE = struct.Struct("<6f")
STATUS = struct.Struct("<HBB4fB")
COUNTED = False  # --counted: no latency percentiles
HANDLE_REPLY = 37  # payload bytes of the peer's status messages: the header and 16 bytes of data


def force_of(i):
    base = float(i % 1000)
    return [base, base + 0.5, -base]


def cpu_seconds():
    """User + system time of this process as the scheduler accounts it (the tick-sampled
    getrusage split is too coarse for a few microseconds per exchange)."""
    return time.process_time()


def fail(what, i):
    sys.exit(f"host: {what} at exchange {i}")


def report(host, count, wall, cpu, latency=None, **extra):
    out = {"host": host, "count": count, "wall_s": wall, "cpu_s": cpu, **extra}
    if latency and not COUNTED:
        latency = sorted(latency)
        out.update(
            p50_ns=latency[len(latency) // 2],
            p99_ns=latency[min(len(latency) - 1, int(0.99 * len(latency)))],
            max_ns=latency[-1],
        )
    print(json.dumps(out))


def run_exchanges(host, count, exchange):
    # An array of machine integers: storing a latency allocates nothing that outlives it.
    latency = array.array("q", bytes(8 * count))
    clock = time.perf_counter_ns
    cpu0, start = cpu_seconds(), time.perf_counter()
    for i in range(count):
        force = force_of(i)
        t0 = clock()
        position, velocity = exchange(force)
        latency[i] = clock() - t0
        if position != force or velocity != [-force[0], -force[1], -force[2]]:
            fail(f"wrong reply {position} {velocity}", i)
    report(host, count, time.perf_counter() - start, cpu_seconds() - cpu0, latency)


def python_noop_host(port, count):
    """run_exchanges around a call of C functions alone that returns the reply the peer would
    have sent: a new list of the force and one of its negation. The replies for the 1,000
    forces are made before the loop, whatever the count, so that work cancels out of the
    difference of two counts. The port is opened as the python host opens it."""
    import ZelkorHardwareAPI as zh

    stream = zh.SerialStream(port)
    replies = []
    for i in range(1000):
        force = force_of(i)
        replies.append(([*force], [-force[0], -force[1], -force[2]]))
    # next(replies, force): the force given to the call becomes the unused default.
    run_exchanges("python-noop", count, functools.partial(next, itertools.cycle(replies)))
    stream.close()


def python_host(port, count):
    import ZelkorHardwareAPI as zh

    arm = zh.Arbelon(zh.SerialStream(port))
    run_exchanges("python", count, arm.end_effector_force)


def legacy_host(port, count):
    """The exchange as a script written for the older methods makes it: SendForce, then
    ReceiveState, each with its DeprecationWarning under Python's default filters (shown once
    for the host's line, then only looked up)."""
    import ZelkorHardwareAPI as zh

    arm = zh.Arbelon(zh.SerialStream(port))

    def exchange(force):
        arm.SendForce(force)
        return arm.ReceiveState()

    run_exchanges("legacy", count, exchange)


def pyserial_host(port, count):
    import serial

    line = serial.Serial(port, 115200, timeout=1)

    def exchange(force):
        line.write(FORCE.pack(0x2A, *force))
        if line.read(1) != b"\x2b":
            raise RuntimeError("wrong code")
        values = STATE.unpack(line.read(24))
        return list(values[:3]), list(values[3:])

    run_exchanges("pyserial", count, exchange)


def python_os_host(port, count):
    import os
    import select
    import tty

    fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    poller = select.poll()
    poller.register(fd, select.POLLIN)

    def read_exactly(n):
        data = b""
        while len(data) < n:
            if not poller.poll(1000):
                raise RuntimeError("no reply")
            data += os.read(fd, n - len(data))
        return data

    def exchange(force):
        os.write(fd, FORCE.pack(0x2A, *force))
        if read_exactly(1) != b"\x2b":
            raise RuntimeError("wrong code")
        values = STATE.unpack(read_exactly(24))
        return list(values[:3]), list(values[3:])

    run_exchanges("python-os", count, exchange)


def check_status(i, device_id, quaternion, user_data):
    if device_id != i & 0xFFFF or quaternion[3] != float(i % 1000) or user_data[0] != i & 0xFF:
        fail("wrong status message", i)


def run_messages(host, count, receive, received):
    """Takes count status messages with receive(), which returns the payload length; received()
    tells how many reached the callback."""
    cpu0, start = cpu_seconds(), time.perf_counter()
    for i in range(count):
        if receive() != HANDLE_REPLY:
            fail("short status message", i)
    wall, cpu = time.perf_counter() - start, cpu_seconds() - cpu0
    if received() != count:
        fail("missed callbacks", received())
    report(host, count, wall, cpu)


def handle_python_noop_host(port, count):
    """run_messages around a no-op C call that returns the length of a status message. The
    handle is woken as handle-python wakes it (the peer then sends nothing)."""
    import ZelkorHardwareAPI as zh

    handle = zh.Handle(zh.SerialStream(port))
    handle.SendDeviceWakeup()
    run_messages(
        "handle-python-noop", count, itertools.repeat(HANDLE_REPLY).__next__, lambda: count
    )


def handle_python_host(port, count):
    import ZelkorHardwareAPI as zh

    class Listener(zh.Handle):
        received = 0

        def OnReceiveHandleInfo(self, *args):
            pass

        def OnReceiveHandleErrorResponse(self, *args):
            pass

        def OnReceiveHandleStatusMessage(
            self,
            device_id,
            quaternion,
            error_flag,
            hall_effect_sensor_level,
            user_data_length,
            user_data,
        ):
            check_status(self.received, device_id, quaternion, user_data)
            self.received += 1

    handle = Listener(zh.SerialStream(port))
    handle.SendDeviceWakeup()
    run_messages("handle-python", count, handle.Receive, lambda: handle.received)


def handle_pyserial_host(port, count):
    import serial

    class Listener:
        received = 0

        def on_status(self, device_id, quaternion, error_flag, sensor, user_data_length, user_data):
            check_status(self.received, device_id, quaternion, user_data)
            self.received += 1

    listener = Listener()
    line = serial.Serial(port, 115200, timeout=1)
    line.write(b"\x0a")

    def receive():
        if line.read(1) != b"\xda":
            fail("wrong code", listener.received)
        device_id, error_flag, sensor, q0, q1, q2, q3, length = STATUS.unpack(line.read(21))
        user_data = list(line.read(length))
        listener.on_status(device_id, [q0, q1, q2, q3], error_flag, sensor, length, user_data)
        return STATUS.size + length

    run_messages("handle-pyserial", count, receive, lambda: listener.received)


def rss_host(port, counts):
    import ZelkorHardwareAPI as zh

    arm = zh.Arbelon(zh.SerialStream(port))
    done, rss = 0, {}
    for target in counts:
        for i in range(done, target):
            force = force_of(i)
            if arm.end_effector_force(force)[0] != force:
                fail("wrong reply", i)
        done = target
        with open("/proc/self/status") as status:
            kib = next(int(ln.split()[1]) for ln in status if ln.startswith("VmRSS:"))
        rss[str(target)] = kib
    print(json.dumps({"host": "rss", "rss_kib": rss}))


def main():
    global COUNTED
    args = sys.argv[1:]
    if args[-1] == "--counted":
        COUNTED = True
        args.pop()
    mode, port = args[0], args[1]
    counts = [int(c) for c in args[2:]]
    hosts = {
        "python": python_host,
        "legacy": legacy_host,
        "pyserial": pyserial_host,
        "python-os": python_os_host,
        "python-noop": python_noop_host,
        "handle-python": handle_python_host,
        "handle-pyserial": handle_pyserial_host,
        "handle-python-noop": handle_python_noop_host,
    }
    if mode == "rss":
        rss_host(port, counts)
    else:
        hosts[mode](port, counts[0])


if __name__ == "__main__":
    main()
