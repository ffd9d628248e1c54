#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into tests/fuzz/corpus/<target>/.

A target reads its input through FuzzedDataProvider: byte strings (what the port delivers,
what a host sends) from the front, numbers and decisions from the back, the last byte first.
Seed lays an input out that way; each scenario below makes the calls in the order its
target's harness consumes them. A seed that drifts out of step with its harness is still a
valid input, only a less useful start.

    python3 tests/fuzz/seeds.py
"""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


class Seed:
    def __init__(self, follow_timeouts=False):
        self.front = bytearray()
        self.back = bytearray()  # in the order consumed
        # With follow_timeouts, a transfer takes the time-outs' decision only when the stream
        # applies them (PortModel in port_fake.h): a read when the driver may hold others than
        # a read's, a write when it holds ones the stream does not know. Without, every read
        # takes one, as the seeds of the handle and stream targets were written.
        self.follow_timeouts = follow_timeouts
        self.timeouts = "unknown"
        self.reads_set = False

    # ---- FuzzedDataProvider ----
    def int(self, value, size):
        for i in reversed(range(size)):
            self.back.append((value >> (8 * i)) & 0xFF)

    def u8(self, v):
        self.int(v, 1)

    def u16(self, v):
        self.int(v, 2)

    def u32(self, v):
        self.int(v, 4)

    def u64(self, v):
        self.int(v, 8)

    def boolean(self, b):
        self.u8(1 if b else 0)

    def char(self, c):
        self.u8((c + 128) & 0xFF)  # ConsumeIntegral<char>

    def i32(self, v):
        self.int((v + 2**31) & 0xFFFFFFFF, 4)  # ConsumeIntegral<int>

    def in_range(self, lo, hi, v, size):
        span, n = hi - lo, 0
        while n < size and (span >> (8 * n)) > 0:
            n += 1
        self.int(v - lo, n)

    def data(self, b):
        self.front += bytes(b)

    def string(self, text):  # ConsumeRandomLengthString
        for ch in text:
            self.front += b"\\\\" if ch == 0x5C else bytes([ch])
        self.front += b"\\x"

    def f32(self, x):
        self.u32(struct.unpack("<I", struct.pack("<f", x))[0])

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))

    # ---- The fake port (port_fake.cpp) ----
    def open_ok(self):
        self.u8(0)
        self.timeouts, self.reads_set = "from_open", False

    def open_code(self, d):
        self.u8(d)

    def _timeouts_for(self, read, bounded=False):
        """The time-outs' decision (0: applied) where the stream asks for one."""
        if not self.follow_timeouts:
            if read:
                self.u8(0)
            return
        if read:
            self.reads_set = True
            if bounded:
                self.timeouts = "unknown"  # the platform's own, for the deadline
            elif self.timeouts != "for_reads":
                self.u8(0)
                self.timeouts = "for_reads"
        elif self.timeouts == "unknown":
            self.u8(0)
            self.timeouts = "for_reads" if self.reads_set else "from_open"

    def partial(self, count, k):
        if count > 1:
            self.in_range(0, count - 1, k, 8)

    def read(self, count, delivered=None, decision=0, bounded=False):
        """One read of `count` bytes: decision 0 full, 128 short, 160 empty, 192 failed,
        208 hung up, 224 interrupted. `delivered` None: the device model delivers (what it
        has sent within the read's time-out, or part of it on a failure)."""
        self._timeouts_for(True, bounded)
        self.u8(decision)
        model = delivered is None
        if decision in (0, 240):
            if not model:
                self.data(delivered)
        elif decision >= 128 and not (160 <= decision < 192):
            self.partial(count, 0 if model else len(delivered))
            if not model:
                self.data(delivered)

    def write(self, count=1, decision=0, accepted=0):
        """decision 0 full, 192 short, 216 failed, 232 hung up, 244 interrupted."""
        self._timeouts_for(False)
        self.u8(decision)
        if decision >= 192:
            self.partial(count, accepted)

    def discard(self):
        self.u8(0)


def save(target, name, seed):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(seed.bytes())


# ---- Handle -----------------------------------------------------------------------------


def status(user=b"", quaternion=(1.0, 0.0, 0.0, 0.0), device_id=0x0D01):
    header = struct.pack("<HBB4fB", device_id, 0, 200, *quaternion, len(user))
    return header, bytes(user)


def handle_receive(s, code, parts, with_code=True, throwing=False, decisions=None, closed=False):
    s.u8(0)
    s.boolean(with_code)
    s.u8(7 if throwing else 0)
    if closed:
        return
    decisions = decisions or [0] * (1 + len(parts))
    s.read(1, bytes([code]), decisions[0])
    for part, d in zip(parts, decisions[1:]):
        if len(part[1]) or part[0]:
            s.read(part[0], part[1], d)


def handle_seeds():
    info = struct.pack("<BHBBB", 4, 0x0D01, 2, 1, 3)
    error = struct.pack("<HB", 0x0D01, 3)
    header, user = status(b"\x01\x02\x03")

    s = Seed()
    s.open_ok()
    handle_receive(s, 0xD0, [(6, info)])
    handle_receive(s, 0xDA, [(21, header), (3, user)])
    handle_receive(s, 0xDF, [(3, error)])
    save("handle", "messages", s)

    s = Seed()
    s.open_ok()
    s.u8(4)
    s.write()  # wake-up
    s.u8(5)
    s.u16(0x0D01)
    s.u8(2)
    s.u8(0)
    s.data(b"\xaa\xbb")
    s.write(6)
    header, user = status(b"\xaa\xbb")
    handle_receive(s, 0xDA, [(21, header), (2, user[:1])], decisions=[0, 0, 128])
    handle_receive(s, 0xDA, [(21, header[:9])], with_code=False, decisions=[0, 128])
    save("handle", "short_status", s)

    s = Seed()
    s.open_ok()
    handle_receive(s, 0x55, [])  # no message code
    handle_receive(s, 0xD0, [(6, info[:2])], decisions=[0, 208])  # hangs up
    handle_receive(s, 0xDF, [], closed=True)  # the port is closed
    s.u8(6)
    s.open_ok()  # back on the line
    handle_receive(s, 0xDF, [(3, error)])
    save("handle", "hang_up", s)

    s = Seed()
    s.open_ok()
    header, user = status(bytes(range(255)), (0.5, 0.5, 0.5, 0.5))
    handle_receive(s, 0xDA, [(21, header), (255, user)], throwing=True)
    handle_receive(s, 0xD0, [(6, info)], decisions=[0, 224])
    save("handle", "long_user_data", s)


# ---- Arbelon ----------------------------------------------------------------------------

OPS = {"wakeup": 0, "force": 1, "position": 2, "torques": 3, "angles": 4, "current": 5}
REQUEST = {
    "wakeup": (0x0A, 0x0B, 21),
    "force": (0x2A, 0x2B, 24),
    "position": (0x2C, 0x2B, 24),
    "torques": (0x1A, 0x1B, 24),
    "angles": (0x1C, 0x1B, 24),
    "current": (0xAB, 0xAB, 12),
}


def arbelon_device(s, line=None, late_every=0, late_ms=1):
    """What plays the device: the input (line None), or the device model on the line of that
    place in the simulator's table, holding every `late_every`-th state reply `late_ms`."""
    if line is None:
        s.u8(0)
        return
    s.u8(128 + line)
    s.in_range(0, 8, late_every, 8)
    s.in_range(1, 2500, late_ms, 4)


def arbelon_step(
    s, op, mode, command=(0.0, 0.0, 1.5), reply=None, reads=None, write=None, discard=False
):
    """mode 0 exchange, 3 send half, 4 receive half. Reads of 1024 bytes are the bounded drain
    of a wrong reply. A read whose bytes are None takes them from the device model; `reads`
    "model" reads the code and the payload from it."""
    s.u8(OPS[op] + 6 * mode)
    for x in command:
        s.f32(x)
    for _ in range(6):
        s.f32(-7.0)  # the outputs as they were
    s.u16(0xFFFF)
    s.u8(0xEE)
    s.u8(0xEE)
    s.u8(0xEE)
    for _ in range(16):
        s.u8(0xEE)
    request, code, length = REQUEST[op]
    if mode in (0, 3):
        if discard:
            s.discard()
        s.write(13 if op not in ("wakeup", "current") else 1, *(write or (0, 0)))
    if mode in (0, 4):
        if reads == "model":
            reads = [(1, None, 0), (length, None, 0)]
        elif reads is None:
            reads = [(1, bytes([code]), 0), (length, reply or bytes(length), 0)]
        for count, delivered, decision in reads:
            s.read(count, delivered, decision, bounded=count == 1024)


def state(position, velocity):
    return struct.pack("<6f", *position, *velocity)


def arbelon_seeds():
    identity = struct.pack("<HBBB", 0x0A01, 1, 2, 6) + b"Zelkor simulator"

    s = Seed(follow_timeouts=True)
    arbelon_device(s)
    s.open_ok()
    arbelon_step(s, "wakeup", 0, reply=identity)
    save("arbelon", "wakeup", s)

    s = Seed(follow_timeouts=True)
    arbelon_device(s)
    s.open_ok()
    home = state((0.283, 0.0, 0.0), (0.0, 0.0, 0.0))
    joints = state((0.0, 0.785, -1.571), (0.0, 0.1, -0.1))
    arbelon_step(s, "force", 0, reply=home)
    arbelon_step(s, "position", 0, (0.25, 0.0, 0.05), reply=home)
    arbelon_step(s, "torques", 0, (0.0, 0.2, 0.0), reply=joints)
    arbelon_step(s, "angles", 0, (0.0, 0.5, -0.5), reply=joints)
    arbelon_step(s, "current", 0, reply=struct.pack("<3f", 0.1, -0.2, 0.3))
    save("arbelon", "exchanges", s)

    s = Seed(follow_timeouts=True)
    arbelon_device(s)
    s.open_ok()
    arbelon_step(s, "force", 0, reads=[(1, b"\x1b", 0), (1024, home, 128)])  # wrong code
    arbelon_step(s, "force", 0, reads=[(1, b"\x2b", 0), (24, home[:10], 128)])  # short
    arbelon_step(s, "angles", 0, reads=[(1, b"", 160)])  # silent
    save("arbelon", "spoilt_replies", s)

    s = Seed(follow_timeouts=True)
    arbelon_device(s)
    s.open_ok()
    arbelon_step(s, "torques", 0, reads=[(1, b"\x1b", 0), (24, joints[:5], 224)])  # cut short
    arbelon_step(s, "torques", 0, reply=joints, discard=True)
    arbelon_step(s, "force", 0, write=(232, 4), reads=[])  # hangs up
    s.u8(6 * 6)
    s.open_ok()  # reconnect
    arbelon_step(s, "wakeup", 3)
    arbelon_step(s, "wakeup", 4, reply=identity)
    arbelon_step(s, "current", 3)
    arbelon_step(s, "current", 4, reply=struct.pack("<3f", 1.0, 2.0, 3.0))
    save("arbelon", "halves_and_failures", s)

    # The device model plays the arm. Each exchange writes, then reads the code (the first
    # read after the open applies the read time-outs) and, when one came, the payload.
    s = Seed(follow_timeouts=True)
    arbelon_device(s, line=1, late_every=3, late_ms=60)  # uart, every 3rd state reply 60 ms late
    s.open_ok()
    for op in ("wakeup", "force", "position", "torques", "angles", "current"):
        arbelon_step(s, op, 0, reads="model")
    save("arbelon", "model_uart_late", s)

    # Every 2nd state reply 1.5 s late, past the 1 s read time-out: the 2nd exchange gets
    # nothing, the 3rd and 4th get the 2nd's and 3rd's replies, the 5th nothing again (the 4th
    # reply is held), the 6th the 4th's.
    s = Seed(follow_timeouts=True)
    arbelon_device(s, line=0, late_every=2, late_ms=1500)
    s.open_ok()
    for command, came in enumerate((True, False, True, True, False, True)):
        arbelon_step(
            s, "force", 0, (float(command), 0.0, 0.0), reads="model" if came else [(1, None, 0)]
        )
    save("arbelon", "model_replies_past_the_time_out", s)

    # Behind the adapter with its 16 ms timer: two requests in flight, then both replies.
    s = Seed(follow_timeouts=True)
    arbelon_device(s, line=3)
    s.open_ok()
    arbelon_step(s, "force", 3)
    arbelon_step(s, "force", 3, (0.0, 0.0, 2.5))
    arbelon_step(s, "force", 4, reads="model")
    arbelon_step(s, "force", 4, reads="model")
    save("arbelon", "model_adapter_pipelined", s)


# ---- Stream -----------------------------------------------------------------------------

STREAM_OPS = [
    "write",
    "ostream_write",
    "put",
    "insert_number",
    "insert_text",
    "flush",
    "read",
    "istream_read",
    "get",
    "get_into",
    "get_line",
    "getline_chars",
    "getline_string",
    "ignore",
    "ignore_all",
    "peek",
    "putback",
    "unget",
    "readsome",
    "extract_number",
    "extract_word",
    "tellg",
    "in_avail",
    "sgetc",
    "sbumpc",
    "snextc",
    "sungetc",
    "sputbackc",
    "sgetn",
    "sputn",
    "sputc",
    "pubsetbuf",
    "close",
    "connect",
    "discard_input",
    "clear",
    "exceptions",
]


def stream_op(s, name, n=0, c=0, delim=None, number=0, text=b"", state=0, null_name=False):
    s.u8(STREAM_OPS.index(name))
    s.in_range(-1, 40, n, 8)
    s.char(c)
    s.boolean(delim is None)
    if delim is not None:
        s.char(delim)
    s.i32(number)
    if name in ("write", "ostream_write", "sputn"):
        s.data(text[: max(n, 0)])
    elif name == "insert_text":
        s.string(text)
    elif name == "connect":
        s.u8(15 if null_name else 0)
        s.string(text)
    elif name in ("clear", "exceptions"):
        s.u8(state)


def stream_seeds():
    s = Seed()
    s.open_ok()
    stream_op(s, "write", 5, text=b"hello")
    s.write(5)
    stream_op(s, "read", 4)
    s.read(4, b"abcd")
    stream_op(s, "get")
    s.read(1, b"x")
    stream_op(s, "peek")
    s.read(1, b"y")
    stream_op(s, "putback", c=ord("z"))  # refused: a byte is held
    stream_op(s, "read", 3)
    s.read(2, b"pq")
    stream_op(s, "put", c=ord("!"))
    s.write(1)
    save("stream", "basic", s)

    s = Seed()
    s.open_ok()
    stream_op(s, "extract_number")
    for b in b"  123 ":
        s.read(1, bytes([b]))
    stream_op(s, "getline_chars", 16, delim=ord("\n"))
    for b in b"abc\n":
        s.read(1, bytes([b]))
    stream_op(s, "getline_string", delim=ord(";"))
    for b in b"xy;":
        s.read(1, bytes([b]))
    stream_op(s, "ignore", 3, delim=ord("#"))
    for b in b"12#":
        s.read(1, bytes([b]))
    save("stream", "formatted", s)

    s = Seed()
    s.open_ok()
    stream_op(s, "in_avail")
    s.read(1, b"a")
    stream_op(s, "readsome", 8)
    stream_op(s, "sgetc")
    s.read(1, b"b")
    stream_op(s, "sbumpc")
    stream_op(s, "sungetc")
    stream_op(s, "sputbackc", c=ord("c"))
    stream_op(s, "sgetn", 6)
    s.read(5, b"de", 128)
    stream_op(s, "snextc")
    s.read(1, b"f")
    s.read(1, b"g")
    stream_op(s, "unget")
    save("stream", "buffer_calls", s)

    s = Seed()
    s.open_ok()
    stream_op(s, "peek")
    s.read(1, b"q")
    stream_op(s, "discard_input")
    s.discard()
    stream_op(s, "read", 10)
    s.read(10, b"abc", 208)  # hangs up
    stream_op(s, "write", 2, text=b"no")  # nothing open
    stream_op(s, "connect", text=b"ttyUSB1")
    s.open_code(192 + 2)  # half configured
    stream_op(s, "exceptions", state=4)
    stream_op(s, "read", 4)
    s.read(4, b"", 192)
    stream_op(s, "clear")
    stream_op(s, "close")
    stream_op(s, "connect", text=b"x", null_name=True)
    save("stream", "failures", s)


# ---- Simulator --------------------------------------------------------------------------


def sim_setup(
    s,
    arbelon,
    chances=(0, 0, 0, 0),
    faults_after=None,
    max_faults=None,
    silent_after=None,
    hangup_after=None,
    fixed_dt=None,
    rate=10,
    error_every=0,
):
    s.boolean(arbelon)
    s.u64(7)
    for c in chances:
        s.u8(c)
    for n in (faults_after, max_faults, silent_after, hangup_after):
        s.u8(0 if n is None else 128 + n)
    if arbelon:
        s.u16(0x0A01)
        s.u8(1)
        s.u8(2)
        s.u8(6)
        for b in b"Zelkor simulator":
            s.u8(b)
        s.boolean(fixed_dt is None)
        if fixed_dt is not None:
            s.u64(int(fixed_dt * (2**64 - 1)))
    else:
        s.u8(4)
        s.u16(0x0D01)
        s.u8(2)
        s.u8(1)
        s.u8(3)
        s.u8(rate)
        s.in_range(0, 5, error_every, 8)
        s.u8(3)
        s.u8(200)


def sim_chunk(s, data, ms=1):
    s.u8(0)
    s.u8(ms)
    s.in_range(0, 64, len(data), 8)
    s.data(data)


def sim_tick(s, ms=10):
    s.u8(6)
    s.u8(ms)


def vector(code, *v):
    return bytes([code]) + struct.pack("<3f", *v)


def sim_seeds():
    s = Seed()
    sim_setup(s, True, fixed_dt=0.001)
    for m in (
        b"\x0a",
        vector(0x2A, 0, 0, 1.5),
        vector(0x2C, 0.25, 0, 0.05),
        vector(0x1A, 0, 0.2, 0),
        vector(0x1C, 0, 0.5, -0.5),
        b"\xab",
    ):
        sim_chunk(s, m)
    save("sim", "arbelon_requests", s)

    s = Seed()
    sim_setup(s, True, chances=(40, 40, 40, 40))
    force = vector(0x2A, 1.0, float("nan"), float("inf"))
    sim_chunk(s, force[:5])
    sim_chunk(s, force[5:] + b"\x55\x66" + force[:3])
    sim_chunk(s, b"", ms=200)  # the partial message goes stale
    sim_chunk(s, b"\x0a" + vector(0x1C, 5.0, -5.0, 1e30))
    save("sim", "arbelon_pieces_and_faults", s)

    s = Seed()
    sim_setup(s, False, rate=10, error_every=2)
    sim_chunk(s, b"\x0a")
    sim_chunk(s, b"\xdb\x01\x0d\x03abc")
    sim_tick(s, 120)
    sim_chunk(s, b"\xdb\x02\x0d\x01z\x42")  # another handle, then garbage
    sim_tick(s, 120)
    sim_tick(s, 120)
    s.u8(0xFF)
    s.u8(5)  # the host closes the port
    sim_chunk(s, b"\x0a")
    sim_tick(s, 120)
    save("sim", "handle_session", s)

    s = Seed()
    sim_setup(
        s,
        False,
        chances=(30, 60, 60, 60),
        faults_after=1,
        max_faults=5,
        hangup_after=4,
        rate=255,
        error_every=1,
    )
    sim_chunk(s, b"\x0a\xdb\x01\x0d\x00")
    for _ in range(4):
        sim_tick(s, 1)
    sim_chunk(s, b"\xdb\x01\x0d\x02\x01\x02\x0a\x0a")
    save("sim", "handle_faults_hang_up", s)

    s = Seed()
    sim_setup(s, False, silent_after=1, rate=100)
    sim_chunk(s, b"\x0a\x0a\xdb")
    sim_tick(s, 20)
    save("sim", "handle_silent", s)


if __name__ == "__main__":
    handle_seeds()
    arbelon_seeds()
    stream_seeds()
    sim_seeds()
