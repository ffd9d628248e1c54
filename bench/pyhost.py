"""The Python hosts of the benchmark.

    python pyhost.py python PORT COUNT            ZelkorHardwareAPI.Arbelon.end_effector_force
    python pyhost.py pyserial PORT COUNT          the same exchange by hand with pyserial + struct
    python pyhost.py python-os PORT COUNT         the same exchange with the floor's system calls
                                                  made from Python (os.write, poll, os.read):
                                                  the least any Python host can do
    python pyhost.py handle-python PORT COUNT     status messages through Handle.Receive into a
                                                  Python subclass's callback
    python pyhost.py handle-pyserial PORT COUNT   the same messages read by hand with pyserial
    python pyhost.py rss PORT COUNT...            resident memory after each of the counts of
                                                  exchanges

Every reply is checked exactly. Prints one JSON line.
"""
import array
import json
import struct
import sys
import time

FORCE = struct.Struct("<B3f")
STATE = struct.Struct("<6f")
STATUS = struct.Struct("<HBB4fB")


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
    if latency:
        latency = sorted(latency)
        out.update(p50_ns=latency[len(latency) // 2],
                   p99_ns=latency[min(len(latency) - 1, int(0.99 * len(latency)))],
                   max_ns=latency[-1])
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


def python_host(port, count):
    import ZelkorHardwareAPI as zh

    arm = zh.Arbelon(zh.SerialStream(port))
    run_exchanges("python", count, arm.end_effector_force)


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


def handle_python_host(port, count):
    import ZelkorHardwareAPI as zh

    class Listener(zh.Handle):
        received = 0

        def OnReceiveHandleInfo(self, *args):
            pass

        def OnReceiveHandleErrorResponse(self, *args):
            pass

        def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag,
                                         hall_effect_sensor_level, user_data_length, user_data):
            check_status(self.received, device_id, quaternion, user_data)
            self.received += 1

    handle = Listener(zh.SerialStream(port))
    handle.SendDeviceWakeup()
    cpu0, start = cpu_seconds(), time.perf_counter()
    for i in range(count):
        if handle.Receive() != 37:
            fail("short status message", i)
    wall, cpu = time.perf_counter() - start, cpu_seconds() - cpu0
    if handle.received != count:
        fail("missed callbacks", handle.received)
    report("handle-python", count, wall, cpu)


def handle_pyserial_host(port, count):
    import serial

    class Listener:
        received = 0

        def on_status(self, device_id, quaternion, error_flag, sensor, user_data_length,
                      user_data):
            check_status(self.received, device_id, quaternion, user_data)
            self.received += 1

    listener = Listener()
    line = serial.Serial(port, 115200, timeout=1)
    line.write(b"\x0a")
    cpu0, start = cpu_seconds(), time.perf_counter()
    for i in range(count):
        if line.read(1) != b"\xda":
            fail("wrong code", i)
        device_id, error_flag, sensor, q0, q1, q2, q3, length = STATUS.unpack(line.read(21))
        user_data = list(line.read(length))
        listener.on_status(device_id, [q0, q1, q2, q3], error_flag, sensor, length, user_data)
    wall, cpu = time.perf_counter() - start, cpu_seconds() - cpu0
    report("handle-pyserial", count, wall, cpu)


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
            kib = next(int(l.split()[1]) for l in status if l.startswith("VmRSS:"))
        rss[str(target)] = kib
    print(json.dumps({"host": "rss", "rss_kib": rss}))


def main():
    mode, port = sys.argv[1], sys.argv[2]
    counts = [int(c) for c in sys.argv[3:]]
    hosts = {"python": python_host, "pyserial": pyserial_host, "python-os": python_os_host,
             "handle-python": handle_python_host, "handle-pyserial": handle_pyserial_host}
    if mode == "rss":
        rss_host(port, counts)
    else:
        hosts[mode](port, counts[0])


if __name__ == "__main__":
    main()
