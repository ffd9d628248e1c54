"""An arm served by `zelkor serve` and driven from other processes over Zenoh: a wall set from
here holds the simulated hand, a client killed mid-run leaves no force within its time to live
and 50 ms, one client commands while others watch, malformed commands are dropped and counted,
nobody serving fails within the time-out, a bad port fails with its name.

Every session is a peer on a Unix socket of the test's own, with scouting off, so that tests
running side by side never see each other."""

# pyright: reportUnknownMemberType=false, reportUnknownVariableType=false, reportUnknownArgumentType=false
from __future__ import annotations

import json
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from typing import Any, Dict, Iterator, List, Tuple

import pytest

zenoh = pytest.importorskip("zenoh")

import ZelkorHardwareAPI as zh  # noqa: E402
from conftest import Device  # noqa: E402
from zelkor_sim import Simulator  # noqa: E402

HOME = (0.28284271, 0.0, 0.0)  # the end-effector in the home pose, m
ARM = ("--arm-mass", "0.1", "--arm-damping", "1")
WAIT = 60.0  # s: however loaded the machine, nothing here takes this long


@pytest.fixture
def endpoint() -> Iterator[str]:
    # A short path: a Unix socket's name has room for about a hundred characters.
    folder = tempfile.mkdtemp(prefix="zr")
    yield f"unixsock-stream/{folder}/z.sock"
    shutil.rmtree(folder, ignore_errors=True)


def serve(
    port: str, key: str, endpoint: str, *options: str, says: str = ""
) -> subprocess.Popen[str]:
    process = subprocess.Popen(
        [sys.executable, "-m", "zelkor", "serve", port, "--key", key, "--listen", endpoint]
        # However loaded the machine: a late reply is waited for, the loop never gives up.
        + ["--reply-timeout", "0.2", "--give-up-after", "30"]
        + list(options),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert process.stdout is not None
    line = process.stdout.readline()
    assert line.startswith(f"serving {key}:"), line + process.stderr.read()
    assert endpoint in line and port in line and says in line, line
    return process


def stop(process: subprocess.Popen[str]) -> str:
    """Ends a server as a user does (SIGTERM): it must exit 0, saying nothing."""
    process.send_signal(signal.SIGTERM)
    _, err = process.communicate(timeout=WAIT)
    assert process.returncode == 0, err
    return err


class Watch:
    """Every state a client receives, by cycle."""

    def __init__(self, arm: Any) -> None:
        self.states: Dict[int, Any] = {}
        self.lock = threading.Lock()
        arm.watch(self.take)

    def take(self, states: List[Any]) -> None:
        with self.lock:
            for state in states:
                self.states[state.cycle] = state

    def after(self, time_s: float) -> List[Any]:
        with self.lock:
            return sorted(
                (s for s in self.states.values() if s.time >= time_s), key=lambda s: s.cycle
            )

    def wait(self, until: Any) -> None:
        end = time.monotonic() + WAIT
        while time.monotonic() < end:
            with self.lock:
                done = until(list(self.states.values()))
            if done:
                return
            time.sleep(0.02)
        raise AssertionError("the states never showed it")


def test_a_wall_set_from_another_process_holds_the_hand_and_one_client_commands(
    endpoint: str,
) -> None:
    wall_y = HOME[1] - 0.002
    hand = f"spring:200,1,{HOME[0]},{HOME[1] - 0.012},{HOME[2]}"
    with Simulator("arbelon", *ARM, hand=hand) as sim:
        server = serve(sim.port, "test/wall", endpoint)
        try:
            with zh.remote.connect("test/wall", endpoint, timeout=WAIT) as arm:
                watch = Watch(arm)
                # Nothing holds the hand yet: it pulls the arm well past the wall's plane.
                watch.wait(lambda states: any(s.position[1] < wall_y - 0.006 for s in states))
                arm.set_effects([zh.Wall((0, 1, 0), wall_y, 600.0, 2.0)])
                set_at = arm.state().time
                with zh.remote.connect("test/wall", endpoint, timeout=WAIT) as other:
                    with pytest.raises(zh.remote.RemoteError, match="commanded by another"):
                        other.set_effects([])
                    # A watcher sees the same states, and what is in force.
                    assert [type(e) for e in other.effects] == [zh.Wall]
                    assert other.effects[0].stiffness == 600.0
                watch.wait(lambda states: max(s.time for s in states) > set_at + 2.0)
                last = watch.after(arm.state().time - 0.5)
                stats = arm.stats()
        finally:
            stop(server)
    ys = [s.position[1] for s in last]
    assert len(ys) > 20
    # The wall's push balances the hand's pull 2.5 mm into it, where the hand alone would be
    # 10 mm past it.
    assert all(wall_y - 0.004 < y < wall_y for y in ys), (min(ys), max(ys))
    assert stats.server_refused == 1 and stats.server_dropped == 0
    assert stats.states_received > 0 and stats.messages_dropped == 0


KILLED_CLIENT = """
import sys, time
import ZelkorHardwareAPI as zh
with zh.remote.connect(sys.argv[1], sys.argv[2], timeout=60) as arm:
    arm.set_effects([zh.ConstantForce((0.0, 0.0, 2.0))], ttl=float(sys.argv[3]))
    print("set", flush=True)
    time.sleep(600)
"""


@pytest.mark.parametrize("ttl", [0.25, 0.1])
def test_a_client_killed_mid_run_leaves_no_force_within_its_ttl(endpoint: str, ttl: float) -> None:
    with Simulator("arbelon", *ARM) as sim:
        server = serve(sim.port, "test/killed", endpoint)
        client = subprocess.Popen(
            [sys.executable, "-c", KILLED_CLIENT, "test/killed", endpoint, str(ttl)],
            stdout=subprocess.PIPE,
            text=True,
        )
        try:
            assert client.stdout is not None and client.stdout.readline() == "set\n"
            with zh.remote.connect("test/killed", endpoint, timeout=WAIT) as watcher:
                watch = Watch(watcher)
                # Its refreshes keep the force up well past one time to live.
                watch.wait(lambda states: sum(s.force[2] > 1.9 for s in states) > 3 * ttl * 500)
                client.send_signal(signal.SIGKILL)
                client.wait(WAIT)
                watch.wait(
                    lambda states: (
                        max(s.cycle for s in states if s.force[2] > 0) + 50
                        < max(s.cycle for s in states)
                    )
                )
                stats = watcher.stats()
        finally:
            if client.poll() is None:
                client.kill()
            client.communicate()
            stop(server)
    states = sorted(watch.states.values(), key=lambda s: s.cycle)
    last_push = max(s.time for s in states if s.force[2] > 0)
    # The servo fades the arm within ttl + 50 ms of the last refresh it carried out (on the
    # loop's clock: 150 and 300 ms, one cycle more at most, measured here). Generous for a
    # loaded machine's stalled loop; stats.expired below says the servo's own time to live did
    # it.
    assert stats.last_command_time is not None
    assert last_push - stats.last_command_time <= ttl + 0.05 + 0.1, (
        last_push,
        stats.last_command_time,
    )
    assert last_push - stats.last_command_time >= ttl - 0.02  # held that long: no early fade
    assert stats.expired >= 1 and stats.server_expired == 1 and not stats.commanded


MALFORMED: List[Tuple[bytes, str]] = [
    (b"not json", "not JSON"),
    (b"[1, 2]", "must be an object"),
    (b'{"v": 2, "op": "claim", "client": "x"}', "version"),
    (b'{"v": 1, "op": "claim"}', "names its client"),
    (b'{"v": 1, "op": "run", "client": "x"}', "unknown command"),
    (b'{"v": 1, "op": "effects", "client": "x", "effects": [{"type": "os.system"}]}', "unknown"),
    (
        b'{"v": 1, "op": "effects", "client": "x", "effects": '
        b'[{"type": "Damper", "damping": 1, "__class__": 1}]}',
        "no parameter '__class__'",
    ),
    (
        b'{"v": 1, "op": "effects", "client": "x", "effects": '
        b'[{"type": "ConstantForce", "force": [1, 2]}]}',
        "3 numbers",
    ),
    (
        b'{"v": 1, "op": "effects", "client": "x", "effects": '
        b'[{"type": "Damper", "damping": NaN}]}',
        "not JSON",
    ),
    (
        b'{"v": 1, "op": "effects", "client": "x", "effects": '
        b'[{"type": "Damper", "damping": true}]}',
        "Damper.damping is not True or False",
    ),
    (
        b'{"v": 1, "op": "effects", "client": "x", "effects": '
        b'[{"type": "Sphere", "centre": [0, 0, 0], "radius": 1, "stiffness": 1, "inside": 1}]}',
        "Sphere.inside is True or False",
    ),
    (b'{"v": 1, "op": "effects", "client": "x", "arm": 3, "effects": []}', "arm must be"),
    (b'{"v": 1, "op": "effects", "client": "x", "effects": [], "ttl": 0}', "ttl"),
    (b'{"v": 1, "op": "params", "client": "x", "values": ["1"]}', "number"),
    (b"[" * 100000, "a message of"),
]


def test_a_malformed_command_is_dropped_and_counted(endpoint: str) -> None:
    errors: List[str] = []
    with Simulator("arbelon") as sim:
        server = serve(sim.port, "test/bad", endpoint)
        try:
            with zh.remote.connect("test/bad", endpoint, timeout=WAIT) as arm:
                session = arm._session  # pyright: ignore[reportPrivateUsage]
                for payload, _ in MALFORMED:
                    replies = list(session.get("test/bad/cmd", payload=payload, timeout=WAIT))
                    assert len(replies) == 1 and replies[0].err is not None
                    errors.append(json.loads(replies[0].err.payload.to_bytes())["error"])
                stats = arm.stats()
                effects = arm.effects
        finally:
            stop(server)
    for (payload, says), error in zip(MALFORMED, errors):
        assert says in error and "dropped" in error, (payload[:80], error)
    assert (stats.server_dropped, stats.server_commands, stats.commanded) == (
        len(MALFORMED),
        0,
        False,
    )
    assert effects == ()


def test_connecting_to_nobody_fails_within_its_time_out(endpoint: str) -> None:
    began = time.monotonic()
    with pytest.raises(TimeoutError, match="nobody serves 'test/nobody'"):
        zh.remote.connect("test/nobody", endpoint, timeout=1.0)
    assert time.monotonic() - began < 1.0 + 10.0  # generous: a loaded machine


@pytest.mark.parametrize(
    "port,says",
    [
        ("/dev/zelkor-no-such-port", "No such file or directory"),
        ("/dev/null", "not a serial port"),
        ("silent", "no Arbelon woke"),  # a port where nothing answers
    ],
)
def test_a_bad_port_fails_with_its_name(
    endpoint: str, device: Device, port: str, says: str
) -> None:
    if port == "silent":
        port = device.path
    done = subprocess.run(
        [sys.executable, "-m", "zelkor", "serve", port, "--key", "test/port"]
        + ["--listen", endpoint],
        capture_output=True,
        text=True,
        timeout=WAIT,
    )
    assert done.returncode == 1 and done.stdout == ""
    assert port in done.stderr and says in done.stderr, done.stderr


def test_serve_refuses_what_it_cannot_serve(endpoint: str) -> None:
    cases: List[Tuple[List[str], str]] = [
        (["--key", "test/*"], "no *"),
        (["--key", "test/k", "--rate", "30000"], "--rate 30000: rate_hz must be"),
        (["--key", "test/k", "--law-timeout", "0"], "--law-timeout 0: law_timeout must be"),
        (["--key", "test/k", "--ros2", "--domain", "300"], "domain"),
        (["--key", "test/9k", "--ros2"], "ROS 2 names"),
    ]
    with Simulator("arbelon") as sim:
        for options, says in cases:
            done = subprocess.run(
                [sys.executable, "-m", "zelkor", "serve", sim.port, "--listen", endpoint] + options,
                capture_output=True,
                text=True,
                timeout=WAIT,
            )
            assert done.returncode != 0 and says in done.stderr, (options, done.stderr)


def test_sigint_ends_serve_cleanly_with_the_arm_limp(endpoint: str) -> None:
    with Simulator("arbelon", *ARM) as sim:
        # At the rate the servo measures the line for: the line says so once it is known.
        server = serve(sim.port, "test/sigint", endpoint, "--rate", "0", says="Hz (measured)")
        with zh.remote.connect("test/sigint", endpoint, timeout=WAIT) as arm:
            arm.set_effects([zh.ConstantForce((0.0, 0.0, 1.0))], ttl=30.0)
            Watch(arm).wait(lambda states: any(s.force[2] > 0.9 for s in states))
            server.send_signal(signal.SIGINT)
            _, err = server.communicate(timeout=WAIT)
        # 0, and nothing of its own: its last zero-force request was answered (it says so
        # otherwise). The library's log may say a loaded machine stalled the loop.
        assert server.returncode == 0 and "zelkor serve" not in err and "Traceback" not in err
        # The port is let go: a fresh host wakes the arm.
        with zh.SerialStream.open(sim.port) as stream:
            assert zh.Arbelon(stream).device_wakeup()[0] == 0x0A01


def test_ros2_messages_on_rmw_zenohs_key_layout_decode_with_rosbags(endpoint: str) -> None:
    typestore = pytest.importorskip("rosbags.typesys")
    store = typestore.get_typestore(typestore.Stores.ROS2_JAZZY)
    samples: Dict[str, List[bytes]] = {}
    lock = threading.Lock()

    def take(sample: Any) -> None:
        with lock:
            samples.setdefault(str(sample.key_expr), []).append(sample.payload.to_bytes())

    with Simulator("arbelon", *ARM) as sim:
        server = serve(sim.port, "test/ros", endpoint, "--ros2", "--domain", "7")
        try:
            with zh.remote.connect("test/ros", endpoint, timeout=WAIT) as watcher:
                session = watcher._session  # pyright: ignore[reportPrivateUsage]
                subscriber = session.declare_subscriber("7/test/ros/**", take)
                tokens = [
                    str(reply.ok.key_expr)
                    for reply in session.liveliness().get("@ros2_lv/7/**", timeout=WAIT)
                    if reply.ok is not None
                ]
                # A ROS 2 node's wrench, serialised by rosbags: a force on the arm.
                msg = store.types["geometry_msgs/msg/WrenchStamped"]
                header = store.types["std_msgs/msg/Header"]
                stamp = store.types["builtin_interfaces/msg/Time"]
                vector = store.types["geometry_msgs/msg/Vector3"]
                wrench = msg(
                    header=header(stamp=stamp(sec=1, nanosec=2), frame_id="hand"),
                    wrench=store.types["geometry_msgs/msg/Wrench"](
                        force=vector(x=0.0, y=0.0, z=1.5), torque=vector(x=0.0, y=0.0, z=0.0)
                    ),
                )
                payload = bytes(store.serialize_cdr(wrench, "geometry_msgs/msg/WrenchStamped"))
                command = (
                    "7/test/ros/wrench_command/geometry_msgs::msg::dds_::WrenchStamped_/RIHS01_"
                )
                command += "0" * 64
                watch = Watch(watcher)
                end = time.monotonic() + WAIT
                while time.monotonic() < end and watcher.state().force[2] < 1.4:
                    session.put(command, payload)
                    session.put(command, b"\x00\x01\x00\x00 not a wrench")
                    time.sleep(0.02)
                # It stops: the wrench's time to live runs out and the force fades.
                watch.wait(
                    lambda states: states and max(states, key=lambda s: s.cycle).force[2] == 0
                )
                subscriber.undeclare()
                stats = watcher.stats()
        finally:
            stop(server)
    hex64 = "RIHS01_[0-9a-f]{64}"
    layout = {
        "position": "geometry_msgs::msg::dds_::PointStamped_",
        "force": "geometry_msgs::msg::dds_::Vector3Stamped_",
        "joint_states": "sensor_msgs::msg::dds_::JointState_",
    }
    import re

    for topic, dds in layout.items():
        keys = [k for k in samples if re.fullmatch(f"7/test/ros/{topic}/{dds}/{hex64}", k)]
        assert len(keys) == 1, (topic, list(samples))
        assert any(
            re.fullmatch(
                f"@ros2_lv/7/[0-9a-f]+/0/[0-9]+/MP/%/%/zelkor_test_ros/%test%ros%{topic}/"
                f"{dds}/{hex64}/[:,0-9]*",
                token,
            )
            for token in tokens
        ), (topic, tokens)
    assert any(re.fullmatch("@ros2_lv/7/[0-9a-f]+/0/0/NN/%/%/zelkor_test_ros", t) for t in tokens)
    assert any("/MS/%/%/zelkor_test_ros/%test%ros%wrench_command/" in t for t in tokens)
    decoded = {
        topic: [
            store.deserialize_cdr(payload, dds.replace("::dds_::", "/").replace("::", "/")[:-1])
            for key, payloads in samples.items()
            if f"/{topic}/" in key
            for payload in payloads
        ]
        for topic, dds in layout.items()
    }
    by_stamp = {(m.header.stamp.sec, m.header.stamp.nanosec): m for m in decoded["joint_states"]}
    assert max(m.vector.z for m in decoded["force"]) == 1.5
    for point in decoded["position"]:
        joints = by_stamp.get((point.header.stamp.sec, point.header.stamp.nanosec))
        if joints is not None:
            assert list(joints.name) == ["x", "y", "z"]
            assert list(joints.position) == [point.point.x, point.point.y, point.point.z]
        assert point.header.frame_id == "arbelon_base"
    # Every cycle went out once on each topic, with its cycle's own stamp.
    stamps = [(m.header.stamp.sec, m.header.stamp.nanosec) for m in decoded["position"]]
    assert len(stamps) == len(set(stamps)) > 100
    assert stats.server_refused == 0 and stats.expired >= 1
    assert stats.ros2_wrenches >= 1 and stats.ros2_wrenches_dropped >= 1
    assert stats.ros2_published >= len(stamps)
