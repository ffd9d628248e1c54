"""Listens to a Handle and prints the messages it sends.

Without --port it starts the device simulator zelkor-sim and listens to that. The listener
wakes the handle, sends it some user data, and then prints the information, status and error
messages that arrive, through a Python subclass of Handle whose callbacks do the printing.
The messages are taken in the background (start_receiving): the callbacks run on the
library's own thread while this one is free, here to send the user data once the handle has
said who it is. When the handle goes away (unplugged, or the simulator's --hangup-after)
reception ends, the stream says why, and the listener tries to reconnect until its time is up.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time

import ZelkorHardwareAPI as zh

try:
    from zelkor_sim import port_or_simulator
except ImportError:  # not installed: run it from the source tree
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
    from zelkor_sim import port_or_simulator


class Listener(zh.Handle):
    """Prints every message; of the status messages only every `every`-th one."""

    def __init__(self, stream: zh.SerialStream, every: int = 20) -> None:
        super().__init__(stream)
        self.every = every
        self.device_id: int | None = None
        self.statuses = 0
        self.errors = 0

    def OnReceiveHandleInfo(
        self,
        tool_data_remaining: int,
        device_id: int,
        device_model_number: int,
        hardware_version: int,
        firmware_version: int,
    ) -> None:
        self.device_id = device_id
        print(
            f"info    device {device_id:#06x}, model {device_model_number}, hardware "
            f"{hardware_version}, firmware {firmware_version}, tool data remaining "
            f"{tool_data_remaining}"
        )

    def OnReceiveHandleStatusMessage(
        self,
        device_id: int,
        quaternion: list[float],
        error_flag: int,
        hall_effect_sensor_level: int,
        user_data_length: int,
        user_data: list[int],
    ) -> None:
        self.statuses += 1
        if self.statuses % self.every != 1 and self.every > 1:
            return
        w, x, y, z = quaternion
        angle = 2 * math.degrees(math.acos(max(-1.0, min(1.0, w))))
        print(
            f"status  #{self.statuses:<4} turned {angle:6.2f} deg  q = ({w:+.3f}, {x:+.3f}, "
            f"{y:+.3f}, {z:+.3f})  error flag {error_flag}  sensor {hall_effect_sensor_level}  "
            f"user data {bytes(user_data)!r}"
        )

    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        self.errors += 1
        print(f"error   device {device_id:#06x}, code {error_code:#04x}")


def reconnect(stream: zh.SerialStream, end: float) -> bool:
    """The line hung up (the port closed itself): tries to open it again every half second
    until `end`. True once it is back."""
    print(f"lost    {stream.last_error}")
    while time.monotonic() < end:
        time.sleep(0.5)
        if stream.connect(stream.port) == 1:
            print(f"back    {stream.port}")
            return True
    return False


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--port", help="serial port of a real handle (default: start the simulator)"
    )
    parser.add_argument("--seconds", type=float, default=2.0, help="how long to listen (default 2)")
    parser.add_argument(
        "--user-data",
        default="hello",
        help="text to send as user data, at most 255 bytes (default 'hello')",
    )
    parser.add_argument(
        "--every", type=int, default=20, help="print every n-th status message (default 20)"
    )
    parser.add_argument(
        "simulator",
        nargs="*",
        metavar="SIMULATOR-OPTION",
        help="options for zelkor-sim after --, e.g. -- --hangup-after 1",
    )
    args = parser.parse_args()
    text: str = args.user_data
    data = text.encode()
    if len(data) > 255:
        parser.error("--user-data holds at most 255 bytes")
    if args.seconds <= 0 or args.every < 1:
        parser.error("--seconds must be positive and --every at least 1")

    with port_or_simulator(args.port, "handle", *args.simulator) as port:
        if not args.port:
            print(f"started the simulator on {port}")
        stream = zh.SerialStream(port)
        if not stream.is_open:
            sys.exit(f"cannot listen: {stream.last_error}")
        handle = Listener(stream, args.every)
        pending: bytes | None = data  # None once sent
        handle.start_receiving()
        handle.SendDeviceWakeup()
        end = time.monotonic() + args.seconds
        while time.monotonic() < end:
            time.sleep(0.01)  # this thread is free: the callbacks run on the library's
            if not handle.receiving:
                # Reception ends by itself when the line hangs up (or a callback raises:
                # stop_receiving() raises that exception here).
                handle.stop_receiving()
                if stream.is_open or not reconnect(stream, end):
                    break
                handle.start_receiving()
                handle.SendDeviceWakeup()
            if handle.device_id is not None and pending is not None:
                # Now that the handle has said who it is, address it.
                handle.SendHandleState(handle.device_id, len(pending), pending)
                print(f"sent    user data {pending!r}")
                pending = None
        handle.stop_receiving()
    print(f"{handle.statuses} status messages, {handle.errors} error messages")


if __name__ == "__main__":
    main()
