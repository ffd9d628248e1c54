"""The zelkor command (also `python -m zelkor`):

zelkor doctor [PORT]    checks this machine for driving a device, and says how to fix
                        what it finds; exit status 1 on a problem
zelkor serve PORT --key KEY --listen ENDPOINT
                        serves an Arbelon over Zenoh (the extra [remote])
zelkor teleop leader|follower --arm KEY --link KEY
                        couples two served arms across a network
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import List


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="zelkor", description="Tools of the Zelkor Hardware API for the command line."
    )
    commands = top.add_subparsers(dest="command", metavar="COMMAND")
    doctor = commands.add_parser(
        "doctor",
        help="check this machine for driving a device",
        description="Checks the port's permissions, the USB adapter's latency timer, whether "
        "real-time priority can be had and the CPU governor, and, with a device answering, "
        "what the line holds; says what each finding means and how to fix it. Exit status: 0 "
        "ready, 1 a problem, 2 a usage error. The environment variable ZELKOR_DOCTOR_RTPRIO=N "
        "replaces the real-time probe with the answer a user limited to N gets (for tests).",
    )
    doctor.add_argument(
        "port",
        nargs="?",
        metavar="PORT",
        help="the device's port (default: every serial port but the console)",
    )
    doctor.add_argument(
        "--seconds",
        type=float,
        default=1.0,
        help="how long to measure the line to an Arbelon (default 1, at most 60)",
    )
    doctor.add_argument(
        "--root",
        default="/",
        metavar="DIR",
        help="read sys/ and dev/ under DIR instead of / (for tests, or a copied tree)",
    )
    from zelkor import remote_commands

    remote_commands.add_commands(commands)
    return top


def main(argv: List[str] | None = None) -> int:
    top = parser()
    args = top.parse_args(argv)
    if args.command in ("serve", "teleop"):
        from zelkor import remote_commands

        return int(getattr(remote_commands, args.command)(args))
    if args.command != "doctor":
        top.print_usage(sys.stderr)
        print("zelkor: a command is needed, such as: zelkor doctor", file=sys.stderr)
        return 2
    if sys.platform == "win32":
        # Ports, groups, sysfs and the scheduler it checks are Linux's.
        print(
            "zelkor doctor checks Linux machines; on Windows, the adapter's latency timer is "
            "in Device Manager (see the Windows guide)",
            file=sys.stderr,
        )
        return 2
    if not 0 < args.seconds <= 60:
        top.error("--seconds must be more than 0 and at most 60")
    if not os.path.isdir(args.root):
        top.error(f"--root {args.root}: no such folder")
    rtprio = os.environ.get("ZELKOR_DOCTOR_RTPRIO")
    if rtprio is not None and not rtprio.isdigit():
        top.error(f"ZELKOR_DOCTOR_RTPRIO must be a number from 0 up, not {rtprio!r}")
    from zelkor import doctor

    return doctor.main(args.port, args.root, args.seconds, None if rtprio is None else int(rtprio))


if __name__ == "__main__":
    sys.exit(main())
