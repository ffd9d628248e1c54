#!/usr/bin/env python3
"""Device side of the COM ports that the Windows tests open under Wine.

    device_peer.py DOSDEVICES

Listens on a loopback TCP port, whose number is the first line on stdout. Each connection
gets a fresh pseudo-terminal, made raw from the master side (a real COM port passes every
byte unaltered; a fresh pseudo-terminal maps CR/LF and echoes), and a COM port mapped to its
slave by a symlink comN in the Wine prefix's DOSDEVICES folder; the first line sent back is
that port's name ("COM12"). Then, one line per request:

    send HEX               write the bytes to the line as the device; answers "ok"
    recv WANT TIMEOUT_MS   what the host wrote, up to WANT bytes or until TIMEOUT_MS ran
                           out; answers the bytes in hex (an empty line for none)
    line                   the line settings now in force, as "115200 8N1"

Closing the connection closes the master and removes the mapping.
"""

import os
import pty
import select
import socketserver
import sys
import termios
import threading
import time

# COM1 to COM9 may be the machine's own serial ports (Wine maps /dev/ttyS*).
FIRST_PORT, LAST_PORT = 10, 250

SPEEDS = {
    getattr(termios, f"B{b}"): b
    for b in (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400)
}
SIZES = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}


def make_raw(fd):
    """No byte translation, as on a real COM port; speed and stop bits deliberately not the
    ones the library wants (9600 8N2), so that the settings it applies show. (A Linux
    pseudo-terminal keeps 8 bits and no parity whatever it is told.)"""
    iflag, oflag, cflag, lflag, _, _, cc = termios.tcgetattr(fd)
    iflag &= ~(
        termios.IGNBRK
        | termios.BRKINT
        | termios.PARMRK
        | termios.ISTRIP
        | termios.INLCR
        | termios.IGNCR
        | termios.ICRNL
        | termios.IXON
        | termios.IXOFF
        | termios.IXANY
    )
    oflag &= ~termios.OPOST
    lflag &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG | termios.IEXTEN)
    cflag |= termios.CSTOPB
    speed = termios.B9600
    termios.tcsetattr(fd, termios.TCSANOW, [iflag, oflag, cflag, lflag, speed, speed, cc])


def line_settings(fd):
    _, _, cflag, _, _, ospeed, _ = termios.tcgetattr(fd)
    parity = "N" if not cflag & termios.PARENB else "O" if cflag & termios.PARODD else "E"
    stop = 2 if cflag & termios.CSTOPB else 1
    return f"{SPEEDS.get(ospeed, ospeed)} {SIZES[cflag & termios.CSIZE]}{parity}{stop}"


class Ports:
    """Hands out COM numbers; a number is not reused while its mapping exists."""

    def __init__(self, dosdevices):
        self.dosdevices = dosdevices
        self.lock = threading.Lock()
        self.free = list(range(FIRST_PORT, LAST_PORT + 1))

    def map(self, target):
        with self.lock:
            number = self.free.pop(0)
        link = os.path.join(self.dosdevices, f"com{number}")
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(target, link)
        return number, link

    def unmap(self, number, link):
        os.unlink(link)
        with self.lock:
            self.free.append(number)


def write_all(fd, data):
    while data:
        data = data[os.write(fd, data) :]


def receive(fd, want, timeout_ms):
    out = bytearray()
    deadline = time.monotonic() + timeout_ms / 1000
    while len(out) < want:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        try:
            chunk = os.read(fd, min(65536, want - len(out)))
        except OSError:  # EIO: the host side is closed
            break
        if not chunk:
            break
        out += chunk
    return bytes(out)


class Line(socketserver.StreamRequestHandler):
    def handle(self):
        master, slave = pty.openpty()
        make_raw(master)
        slave_path = os.ttyname(slave)
        os.close(slave)  # the host opens the slave through the COM port
        number, link = self.server.ports.map(slave_path)
        try:
            self.answer(f"COM{number}")
            for request in self.rfile:
                verb, *args = request.decode().split()
                if verb == "send":
                    write_all(master, bytes.fromhex(args[0] if args else ""))
                    self.answer("ok")
                elif verb == "recv":
                    self.answer(receive(master, int(args[0]), int(args[1])).hex())
                elif verb == "line":
                    self.answer(line_settings(master))
                else:
                    self.answer(f"unknown request {verb}")
        finally:
            self.server.ports.unmap(number, link)
            os.close(master)

    def answer(self, text):
        self.wfile.write(text.encode() + b"\n")
        self.wfile.flush()


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    server = Server(("127.0.0.1", 0), Line)
    server.ports = Ports(sys.argv[1])
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
