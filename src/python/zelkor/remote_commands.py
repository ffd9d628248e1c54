"""The zelkor commands that reach beyond one machine: serve and teleop. Their options are
declared here, and Zenoh is imported only when one of them runs, so that `zelkor doctor` works
without the extra [remote]."""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
from typing import Any, List


def add_commands(commands: Any) -> None:
    """Adds serve and teleop to the subparsers `commands` of the zelkor command."""
    serve = commands.add_parser(
        "serve",
        help="serve an Arbelon over Zenoh",
        description="Wakes the Arbelon at PORT, runs a servo on it and serves it over Zenoh "
        "under KEY: every cycle's state out, commands (effects, params, couplings, each with a "
        "time to live) in, from one commanding client at a time. Prints one line once ready; "
        "SIGINT or SIGTERM end it with the arm left limp. Needs the extra [remote].",
    )
    serve.add_argument("port", metavar="PORT", help="the Arbelon's port")
    serve.add_argument(
        "--key", required=True, help="the Zenoh key to serve it under, e.g. lab/arm1"
    )
    serve.add_argument(
        "--listen",
        action="append",
        required=True,
        metavar="ENDPOINT",
        help="a Zenoh endpoint to listen on, e.g. tcp/0.0.0.0:7447 (repeatable)",
    )
    serve.add_argument(
        "--connect",
        action="append",
        default=[],
        metavar="ENDPOINT",
        help="a Zenoh endpoint to connect to (repeatable)",
    )
    serve.add_argument("--rate", type=float, default=1000.0, metavar="HZ", help="default 1000")
    serve.add_argument(
        "--max-force", type=float, default=5.0, metavar="N", help="the servo's max_force (5)"
    )
    serve.add_argument(
        "--reply-timeout",
        type=float,
        default=0.025,
        metavar="S",
        help="the servo's reply_timeout: how long a cycle waits for the arm's reply (0.025)",
    )
    serve.add_argument(
        "--give-up-after",
        type=float,
        default=0.5,
        metavar="S",
        help="the servo's give_up_after: how long without a reply ends the loop (0.5)",
    )
    serve.add_argument(
        "--ros2",
        action="store_true",
        help="also publish ROS 2 messages on rmw_zenoh's key layout, and take WrenchStamped "
        "commands on /KEY/wrench_command",
    )
    serve.add_argument(
        "--domain",
        type=int,
        default=None,
        metavar="N",
        help="the ROS 2 domain (default: ROS_DOMAIN_ID, or 0)",
    )

    teleop = commands.add_parser(
        "teleop",
        help="couple two served arms across a network",
        description="One end of a teleoperator: couples the arm served under --arm with the "
        "other end's through Zenoh under --link, passive under delay and loss by the time-domain "
        "passivity approach (energy sent with every sample, a passivity controller at each end). "
        "The leader's hand feels the follower's coupling force; the follower is pulled to the "
        "leader's position. Runs until SIGINT or SIGTERM, or --seconds; prints a summary.",
    )
    teleop.add_argument("role", choices=("leader", "follower"))
    teleop.add_argument("--arm", required=True, metavar="KEY", help="the served arm's key")
    teleop.add_argument("--link", required=True, metavar="KEY", help="the pair's key")
    teleop.add_argument(
        "--connect",
        action="append",
        default=[],
        metavar="ENDPOINT",
        help="Zenoh endpoints to connect to: the arm's server, the other end (repeatable)",
    )
    teleop.add_argument(
        "--listen",
        action="append",
        default=[],
        metavar="ENDPOINT",
        help="Zenoh endpoints to listen on (repeatable)",
    )
    teleop.add_argument("--stiffness", type=float, default=200.0, help="N/m (default 200)")
    teleop.add_argument("--damping", type=float, default=0.5, help="N s/m (default 0.5)")
    teleop.add_argument("--seconds", type=float, default=None, help="run this long, then stop")
    teleop.add_argument(
        "--wall",
        type=float,
        nargs=2,
        default=None,
        metavar=("Z", "K"),
        help="(follower) a wall at height Z (m) of stiffness K (N/m) below the follower",
    )
    teleop.add_argument(
        "--no-passivity", action="store_true", help="without the passivity controllers"
    )
    teleop.add_argument("--json", action="store_true", help="print the summary as JSON")


def _stop_on_signals(stop: threading.Event) -> None:
    def handler(signum: int, frame: Any) -> None:
        stop.set()

    signal.signal(signal.SIGINT, handler)
    signal.signal(signal.SIGTERM, handler)


def serve(args: argparse.Namespace) -> int:
    import ZelkorHardwareAPI as zh

    try:
        from zelkor.remote.server import RING_SECONDS, Server
        from zelkor.remote.session import check_key
    except ImportError as error:
        print(f"zelkor serve: {error}", file=sys.stderr)
        return 2
    port: str = args.port
    try:
        check_key(args.key)
    except ValueError as error:
        print(f"zelkor serve: {error}", file=sys.stderr)
        return 2
    if not 0 < args.rate <= 10000:
        print("zelkor serve: --rate must be more than 0 and at most 10000 Hz", file=sys.stderr)
        return 2
    domain = args.domain
    if domain is None:
        text = os.environ.get("ROS_DOMAIN_ID", "") or "0"
        if not text.isdigit():
            print(f"zelkor serve: ROS_DOMAIN_ID must be a number, not {text!r}", file=sys.stderr)
            return 2
        domain = int(text)
    try:
        stream = zh.SerialStream.open(port)
    except OSError as error:
        print(f"zelkor serve: {port}: {error.strerror or error}", file=sys.stderr)
        return 1
    arm = zh.Arbelon(stream)
    arm.device_wakeup()
    # 21: a whole identity reply came (the library's own result code for it).
    if arm.last_result != 21:
        print(
            f"zelkor serve: {port}: no Arbelon woke: no identity reply came "
            f"(result {arm.last_result})",
            file=sys.stderr,
        )
        stream.close()
        return 1
    stop = threading.Event()
    _stop_on_signals(stop)
    try:
        servo = zh.Servo(
            arm,
            args.rate,
            max_force=args.max_force,
            reply_timeout=args.reply_timeout,
            give_up_after=args.give_up_after,
            record=RING_SECONDS,
        )
        server = Server(
            servo,
            args.key,
            listen=args.listen,
            connect=args.connect,
            ros2=args.ros2,
            domain=domain,
            on_stop=lambda reason: stop.set(),
        )
        server.start()
    except (ValueError, RuntimeError) as error:
        print(f"zelkor serve: {error}", file=sys.stderr)
        stream.close()
        return 1
    where = ", ".join(args.listen)
    line = f"serving {args.key}: the Arbelon at {port}, {args.rate:g} Hz, on {where}"
    if server.ros2 is not None:
        line += f"; ROS 2 in domain {domain}: {', '.join(server.ros2.topics())}"
    print(line, flush=True)
    while not stop.wait(0.5):
        pass
    server.close()
    stream.close()
    reason = server.stop_reason
    if reason is not None and reason != "stopped":
        print(f"zelkor serve: {port}: the loop stopped: {reason}", file=sys.stderr)
        return 1
    if not servo.stats().left_limp:
        print(
            f"zelkor serve: {port}: the arm did not answer its last zero-force request: it "
            "may still push",
            file=sys.stderr,
        )
        return 1
    return 0


def teleop(args: argparse.Namespace) -> int:
    try:
        from zelkor.remote import teleop as tele
    except ImportError as error:
        print(f"zelkor teleop: {error}", file=sys.stderr)
        return 2
    stop = threading.Event()
    _stop_on_signals(stop)
    wall: List[float] | None = args.wall
    try:
        result = tele.run(
            args.role,
            arm=args.arm,
            link=args.link,
            connect=args.connect,
            listen=args.listen,
            stiffness=args.stiffness,
            damping=args.damping,
            seconds=args.seconds,
            wall=None if wall is None else (wall[0], wall[1]),
            passivity=not args.no_passivity,
            stop=stop,
        )
    except (TimeoutError, ValueError, RuntimeError) as error:
        print(f"zelkor teleop: {error}", file=sys.stderr)
        return 1
    print(result.to_json() if args.json else result.summary(), flush=True)
    return 0
