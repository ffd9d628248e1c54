"""The zelkor commands that reach beyond one machine: serve and teleop. Their options are
declared here, and Zenoh is imported only when one of them runs, so that `zelkor doctor` works
without the extra [remote]."""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
from typing import Any, Dict, List, Tuple


def _settings() -> List[Tuple[str, str, Any, str, str, Any, str]]:
    """The servo's settings as the library declares them (its table): (name, kind, default,
    unit, doc, sentinel, what the sentinel means) each."""
    import ZelkorHardwareAPI as zh

    return list(getattr(zh, "_servo_settings"))  # noqa: B009


def option_of(name: str) -> str:
    """The option of serve that sets the servo's setting `name`: --rate for rate_hz (the
    command's own name for it), --max-force for max_force, and so on."""
    return "--rate" if name == "rate_hz" else "--" + name.replace("_", "-")


def add_servo_options(parser: Any) -> None:
    """An option of `parser` for every setting of the servo the table declares, with its
    default, unit and text; a setting's sentinel (None from Python) is given as its number."""
    group = parser.add_argument_group(
        "the servo's settings", "each as Servo() takes it (see the Servo's documentation)"
    )
    for name, kind, default, unit, doc, sentinel, means in _settings():
        text = doc.replace("%", "%%")
        if kind == "bool":
            if default:
                group.add_argument(
                    "--no-" + name.replace("_", "-"),
                    dest=name,
                    action="store_false",
                    help=f"{text} (on by default)",
                )
            else:
                group.add_argument(option_of(name), dest=name, action="store_true", help=text)
            continue
        if default is None:
            default = sentinel
        shown = f"{default:g}" if kind == "float" else str(default)
        if unit:
            shown += f" {unit}"
        if sentinel is not None:
            shown += f"; {sentinel:g}: {means}"
        group.add_argument(
            option_of(name),
            dest=name,
            type=float if kind == "float" else int,
            default=default,
            metavar={"Hz": "HZ", "s": "S"}.get(unit, "N"),
            help=f"{text} (default {shown})",
        )


def servo_keywords(args: argparse.Namespace) -> Dict[str, Any]:
    """The Servo() keywords that serve's options give (a sentinel's number as None), each
    checked as the constructor checks it: ValueError saying which option and why."""
    import ZelkorHardwareAPI as zh

    check = getattr(zh, "_check_servo_settings")  # noqa: B009
    keywords: Dict[str, Any] = {}
    for name, _kind, _default, _unit, _doc, sentinel, means in _settings():
        value = getattr(args, name)
        if sentinel is not None and value == sentinel:
            value = None
        try:
            check(**{name: value})
        except (ValueError, TypeError) as error:
            # The library names the keyword and its None; the command line has the number.
            text = str(error)
            if sentinel is not None:
                text = text.replace("None", f"{sentinel:g} ({means})")
            given = getattr(args, name)
            shown = f"{given:g}" if isinstance(given, float) else str(given)
            raise ValueError(f"{option_of(name)} {shown}: {text}") from None
        keywords[name] = value
    try:
        check(**keywords)
    except (ValueError, TypeError) as error:
        raise ValueError(str(error)) from None
    return keywords


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
    add_servo_options(serve)
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
    try:
        keywords = servo_keywords(args)
    except ValueError as error:
        print(f"zelkor serve: {error}", file=sys.stderr)
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
        servo = zh.Servo(arm, **keywords, record=RING_SECONDS)
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
    # A measured rate (--rate 0) is known once the loop has measured the line, a second on.
    while servo.rate_hz == 0 and not stop.wait(0.01):
        pass
    if not stop.is_set():
        where = ", ".join(args.listen)
        rate = f"{servo.rate_hz:g} Hz" + (" (measured)" if keywords["rate_hz"] is None else "")
        if servo.pipelined:
            rate += " pipelined"
        line = f"serving {args.key}: the Arbelon at {port}, {rate}, on {where}"
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
