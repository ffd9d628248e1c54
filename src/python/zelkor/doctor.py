"""zelkor doctor: is this machine ready to drive a device, and if not, what to change.

Each check gives a verdict, "ok", "note" (works, but could be better) or "problem" (a device
will not work well, or at all, until it is fixed), a line saying what it found, and what the
finding means with the command that fixes it. The checks:

- port access: may this user open the port (the port's group against the user's groups);
- latency timer: how long a USB serial adapter holds received bytes before it hands them on;
- real-time: may a thread run at the Servo's real-time priority (SCHED_FIFO);
- CPU governor: does the processor clock stay up between cycles;
- device line: with a device answering, what the line holds (measure_line).

Everything it reads about the machine comes through `Machine`, so the checks run against a
made-up sysfs and /dev (`root`), a chosen user and a chosen real-time answer in tests.
"""

from __future__ import annotations

import errno
import glob
import grp
import os
import pwd
import resource
import stat
import sys
import textwrap
import threading
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Sequence, TextIO

import ZelkorHardwareAPI as zh

OK, NOTE, PROBLEM = "ok", "note", "problem"

#: The Servo asks for this SCHED_FIFO priority (above ordinary real-time work, below the
#: kernel's own threads); a limit below it gets the servo refused.
SERVO_PRIORITY = 80
#: A line that holds less than this strict is held back by something (a latency timer).
SLOW_LINE_HZ = 100.0
LOOP_HZ = 1000.0

LATENCY_RULE = 'ACTION=="add", SUBSYSTEM=="usb-serial", DRIVER=="ftdi_sio", ATTR{latency_timer}="1"'


def _texts() -> List[str]:
    return []


def _ids() -> List[int]:
    return []


@dataclass
class Finding:
    """One check's verdict on one thing (a port, the machine)."""

    check: str
    verdict: str  # OK, NOTE or PROBLEM
    summary: str
    details: List[str] = field(default_factory=_texts)


@dataclass
class User:
    """Who runs the program: the ids the kernel checks a port's mode against."""

    uid: int
    gids: List[int]  # the groups of this login session
    name: str
    listed_in: List[int] = field(default_factory=_ids)  # groups /etc/group lists it in

    @staticmethod
    def current() -> User:
        uid = os.getuid()
        try:
            name = pwd.getpwuid(uid).pw_name
        except KeyError:
            name = str(uid)
        listed = [g.gr_gid for g in grp.getgrall() if name in g.gr_mem]
        return User(uid, sorted({os.getgid(), *os.getgroups()}), name, listed)


@dataclass
class Realtime:
    """What a try at the Servo's real-time priority found."""

    soft_limit: int  # RLIMIT_RTPRIO; resource.RLIM_INFINITY for no limit
    hard_limit: int
    granted: bool
    error: str = ""  # why it was refused


def probe_realtime() -> Realtime:
    """RLIMIT_RTPRIO, and a try at SCHED_FIFO on a thread of its own (which then ends, so no
    other thread of this process changes priority)."""
    soft, hard = resource.getrlimit(resource.RLIMIT_RTPRIO)
    setscheduler = getattr(os, "sched_setscheduler", None)
    if setscheduler is None:
        return Realtime(soft, hard, False, "this system has no sched_setscheduler")
    outcome: List[str] = []

    def attempt() -> None:
        priority = min(SERVO_PRIORITY, os.sched_get_priority_max(os.SCHED_FIFO))
        try:
            setscheduler(0, os.SCHED_FIFO, os.sched_param(priority))
            outcome.append("")
        except OSError as error:
            outcome.append(error.strerror or str(error))

    thread = threading.Thread(target=attempt, name="zelkor-doctor-rtprio")
    thread.start()
    thread.join()
    return Realtime(soft, hard, outcome == [""], outcome[0] if outcome else "no answer")


def realtime_as_limited(limit: int) -> Realtime:
    """What an unprivileged user whose RLIMIT_RTPRIO is `limit` gets."""
    granted = limit >= SERVO_PRIORITY
    return Realtime(limit, limit, granted, "" if granted else os.strerror(errno.EPERM))


@dataclass
class Machine:
    """Where the checks look: `root` holds sys/ and dev/ ("/" for this machine)."""

    root: str = "/"
    user: User = field(default_factory=User.current)
    realtime: Callable[[], Realtime] = probe_realtime

    @property
    def sys(self) -> str:
        return os.path.join(self.root, "sys")

    @property
    def dev(self) -> str:
        return os.path.join(self.root, "dev")

    def ports(self) -> List[zh.PortInfo]:
        return zh.list_ports(root=None if self.root == "/" else self.root)

    def port_path(self, name: str) -> str:
        """A port name as the library reads it: a name without "/" is one under /dev."""
        return name if "/" in name else os.path.join(self.dev, name)


def group_name(gid: int) -> str:
    try:
        return grp.getgrgid(gid).gr_name
    except KeyError:
        return str(gid)


def may_use(st: os.stat_result, user: User) -> bool:
    """Whether the kernel lets `user` open a file of this mode for reading and writing."""
    if user.uid == 0:
        return True
    if user.uid == st.st_uid:
        bits = stat.S_IRUSR | stat.S_IWUSR
    elif st.st_gid in user.gids:
        bits = stat.S_IRGRP | stat.S_IWGRP
    else:
        bits = stat.S_IROTH | stat.S_IWOTH
    return st.st_mode & bits == bits


def check_access(port: str, machine: Machine) -> Finding:
    name = "port access"
    path = machine.port_path(port)
    try:
        st = os.stat(path)
    except OSError as error:
        return Finding(
            name,
            PROBLEM,
            f"{port}: {error.strerror}",
            ["zelkor-console ports lists the ports there are"],
        )
    group = group_name(st.st_gid)
    mode = stat.filemode(st.st_mode)
    user = machine.user
    where = f"{port}: owner {owner_name(st.st_uid)}, group {group}, {mode}"
    rule = [
        '    SUBSYSTEM=="tty", ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6001", '
        'GROUP="dialout", MODE="0660"',
        "then: sudo udevadm control --reload && sudo udevadm trigger (or plug it in again).",
    ]
    group_rw = st.st_mode & (stat.S_IRGRP | stat.S_IWGRP) == stat.S_IRGRP | stat.S_IWGRP
    if may_use(st, user):
        if user.uid != 0:
            return Finding(name, OK, f"{where}; readable and writable as {user.name}")
        return Finding(
            name,
            OK,
            f"{where}; readable and writable as root",
            [
                "Run as root, this check says nothing of a program run as another user: run "
                "zelkor doctor as that user"
                + (f" (who needs to be in {group})." if group_rw and st.st_gid else ".")
            ],
        )
    if not group_rw:
        return Finding(
            name,
            PROBLEM,
            where,
            [
                "Only its owner may open it. Give the device's port to a group with a udev "
                "rule, such as /etc/udev/rules.d/99-zelkor.rules (your adapter's ids: "
                "zelkor-console ports), and join that group:",
                *rule,
            ],
        )
    details = [f"{user.name} may not open it: {user.name} is not in its group, {group}."]
    if st.st_gid in user.listed_in:
        details += [
            f"{user.name} was added to {group} after this login began: log out and in again "
            f"(or start a shell in the group with: newgrp {group}).",
        ]
    else:
        details += [
            "Join the port's group (dialout on Debian and Ubuntu, uucp on Arch and others), "
            "then log out and in again:",
            f"    sudo usermod -aG {group} {user.name}",
        ]
    details += [
        "Or give the device's port to another group with a udev rule, such as "
        "/etc/udev/rules.d/99-zelkor.rules (your adapter's ids: zelkor-console ports):",
        *rule,
    ]
    return Finding(name, PROBLEM, where, details)


def owner_name(uid: int) -> str:
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return str(uid)


def check_latency(port: str, info: zh.PortInfo | None, machine: Machine) -> Finding:
    name = "latency timer"
    path = machine.port_path(port)
    real = os.path.realpath(path)
    tty = os.path.basename(real)
    if real.startswith("/dev/pts/"):
        return Finding(name, OK, f"{port}: a pseudo-terminal (a simulator's?): no wire, no timer")
    timer = os.path.join(machine.sys, "bus", "usb-serial", "devices", tty, "latency_timer")
    driver = info.driver if info is not None else ""
    if os.path.exists(timer):
        try:
            with open(timer) as f:
                ms = int(f.read().strip())
        except (OSError, ValueError) as error:
            return Finding(name, NOTE, f"{tty}: {timer} does not read as a number ({error})")
        what = f"{tty} ({driver or 'usb-serial'}): {ms} ms"
        if ms <= 1:
            return Finding(name, OK, f"{what}; the adapter hands received bytes on at once")
        return Finding(
            name,
            PROBLEM,
            what,
            [
                f"The adapter holds the bytes it receives up to {ms} ms before it hands them "
                f"on: a request/reply loop then runs at about {1000 / ms:.0f} Hz or less. This "
                "library asks the driver for 1 ms while it holds "
                "the port, where the driver allows; other programs, and drivers that do not, "
                "get the timer as it is.",
                "Set it to 1 ms now (until the adapter is unplugged):",
                f"    echo 1 | sudo tee {timer}",
                "and keep it with a udev rule, such as /etc/udev/rules.d/99-zelkor.rules:",
                f"    {LATENCY_RULE}",
                "then: sudo udevadm control --reload && sudo udevadm trigger (or plug it in "
                "again).",
            ],
        )
    if driver == "ftdi_sio":
        return Finding(name, NOTE, f"{tty} (ftdi_sio): the driver shows no latency timer in sysfs")
    if driver == "cdc_acm":
        return Finding(name, OK, f"{tty} (cdc_acm): native USB, no latency timer")
    if driver in ("serial", "serial8250", "port"):
        return Finding(name, OK, f"{tty} ({driver}): a built-in UART, no latency timer")
    if not driver:
        return Finding(name, OK, f"{tty}: not a serial port sysfs lists; no latency timer to see")
    return Finding(
        name,
        NOTE,
        f"{tty} ({driver}): this driver shows no latency timer",
        ["Some adapters hold received bytes for a while; the device line measurement shows it."],
    )


def check_realtime(machine: Machine) -> Finding:
    name = "real-time"
    probe = machine.realtime()

    def limit(value: int) -> str:
        return "unlimited" if value == resource.RLIM_INFINITY else str(value)

    limits = f"RLIMIT_RTPRIO {limit(probe.soft_limit)} (hard {limit(probe.hard_limit)})"
    if probe.granted:
        how = " (as root)" if machine.user.uid == 0 and probe.soft_limit == 0 else ""
        return Finding(name, OK, f"SCHED_FIFO at priority {SERVO_PRIORITY} granted{how}; {limits}")
    user = machine.user.name
    details = [
        "Servo(..., realtime=True) then runs at normal priority (servo.realtime is False), and "
        "whatever else the machine does delays its cycles.",
    ]
    if probe.soft_limit != resource.RLIM_INFINITY and probe.soft_limit < SERVO_PRIORITY:
        details += [
            "Allow it with a file /etc/security/limits.d/99-zelkor.conf holding the line",
            f"    {user}  -  rtprio  95",
            "(or @GROUP for a group), then log out and in again: `ulimit -r` then says 95.",
        ]
    else:
        details += [
            "The limit allows it, so something else refused it: a container, or a kernel "
            "whose real-time group scheduling gives this process's cgroup no real-time time.",
        ]
    return Finding(name, PROBLEM, f"SCHED_FIFO refused ({probe.error}); {limits}", details)


def check_governor(machine: Machine) -> Finding:
    name = "CPU governor"
    pattern = os.path.join(machine.sys, "devices", "system", "cpu", "cpu[0-9]*", "cpufreq")
    governors: Dict[str, List[str]] = {}
    for folder in sorted(glob.glob(pattern)):
        try:
            with open(os.path.join(folder, "scaling_governor")) as f:
                governor = f.read().strip()
        except OSError:
            continue
        cpu = os.path.basename(os.path.dirname(folder))
        governors.setdefault(governor, []).append(cpu)
    if not governors:
        return Finding(
            name, OK, "no frequency scaling to be seen (a virtual machine, or a fixed clock)"
        )
    found = ", ".join(
        f"{g} on {len(cpus)} CPU{'s' if len(cpus) > 1 else ''}" for g, cpus in governors.items()
    )
    if set(governors) == {"performance"}:
        return Finding(name, OK, found)
    return Finding(
        name,
        NOTE,
        found,
        [
            "A governor other than performance lowers the clock while the loop waits between "
            "cycles and takes time to raise it again, which shows as late cycles. For a session "
            "at the device:",
            "    echo performance | sudo tee "
            + os.path.join(machine.sys, "devices/system/cpu/cpu*/cpufreq/scaling_governor"),
        ],
    )


def describe_line(port: str, line: zh.LineMeasurement) -> Finding:
    """What a measure_line result means for a 1 kHz loop."""
    name = "device line"
    figures = (
        f"{port}: exchange p50 {line.exchange_p50_us:.0f} µs, p99 {line.exchange_p99_us:.0f} µs; "
        f"it holds {line.strict_hz:,.0f} Hz strict, {line.pipelined_hz:,.0f} Hz pipelined"
    )
    if line.exchanges == 0 or line.strict_hz <= 0 or line.failed * 100 > line.exchanges:
        return Finding(
            name,
            PROBLEM,
            figures,
            [
                f"{line.failed} of {line.exchanges} exchanges got no whole reply: the device "
                "does not answer its state exchanges reliably (is it powered, is the cable "
                "sound?).",
            ],
        )
    if line.strict_hz >= LOOP_HZ:
        return Finding(name, OK, figures, ["A 1 kHz loop holds on this line."])
    if line.pipelined_hz >= LOOP_HZ:
        return Finding(
            name,
            NOTE,
            figures,
            [
                "A 1 kHz loop holds with one request in flight, Servo(..., pipeline=True) (each "
                f"force then answers a state one cycle older); strict, {line.strict_hz:,.0f} Hz.",
            ],
        )
    meaning = [
        "A 1 kHz loop does not hold on this line. Servo(arm, None) picks the rate it holds; "
        "a Servo asked for 1 kHz runs at the line's pace and counts the slots it cannot keep "
        "as missed.",
    ]
    if line.strict_hz < SLOW_LINE_HZ:
        meaning.append(
            f"Under {SLOW_LINE_HZ:.0f} Hz something holds the replies back: most often a USB "
            "adapter's latency timer (see the latency timer check)."
        )
        return Finding(name, PROBLEM, figures, meaning)
    return Finding(name, NOTE, figures, meaning)


def check_devices(port: str | None, candidates: Sequence[str], seconds: float) -> List[Finding]:
    name = "device line"
    ports = [port] if port else list(candidates)
    if not ports:
        return [
            Finding(
                name,
                NOTE,
                "no serial port to search (none listed but the console)",
                ["Plug the device in, or name its port: zelkor doctor PORT."],
            )
        ]
    found = zh.find_devices(ports, timeout=1.0)
    findings: List[Finding] = []
    for device in found:
        what = f"{device.kind} {device.device_id:#06x} on {device.port}"
        if device.kind != "Arbelon":
            findings.append(
                Finding(name, OK, f"{what} answers; the line is measured on an Arbelon")
            )
            continue
        try:
            stream = zh.SerialStream.open(device.port)
        except OSError as error:
            findings.append(Finding(name, PROBLEM, f"{what} answered, then did not open: {error}"))
            continue
        with stream:
            line = zh.measure_line(zh.Arbelon(stream), seconds)
        finding = describe_line(device.port, line)
        finding.summary = f"{device.kind} {device.device_id:#06x} on {finding.summary}"
        findings.append(finding)
    if found:
        return findings
    if not port:
        return [
            Finding(
                name,
                NOTE,
                f"no device answered on {', '.join(ports)}",
                ["Plug the device in and switch it on, or name its port: zelkor doctor PORT."],
            )
        ]
    try:
        zh.SerialStream.open(port).close()
    except OSError as error:
        why = f"{error.strerror} (errno {error.errno})"
        hint = (
            ["Another program holds the port: close it first."]
            if error.errno == errno.EBUSY
            else []
        )
        return [Finding(name, PROBLEM, f"{port} does not open: {why}", hint)]
    return [
        Finding(
            name,
            PROBLEM,
            f"{port} opens, but no device answered its wake-up within 1 s",
            [
                "Is the device switched on, and is this its port? zelkor-console find tries "
                "them all."
            ],
        )
    ]


def examine(
    port: str | None = None, machine: Machine | None = None, seconds: float = 1.0
) -> List[Finding]:
    """Every check, in the order they are printed."""
    machine = machine or Machine()
    listed = machine.ports()
    if port:
        path = os.path.realpath(machine.port_path(port))
        info = next((p for p in listed if os.path.realpath(p.device) == path), None)
        ports = [(port, info)]
    else:
        ports = [(p.device, p) for p in listed if not p.console]
    findings: List[Finding] = []
    for name, _ in ports:
        findings.append(check_access(name, machine))
    for name, info in ports:
        if os.path.exists(machine.port_path(name)):
            findings.append(check_latency(name, info, machine))
    findings.append(check_realtime(machine))
    findings.append(check_governor(machine))
    findings += check_devices(port, [name for name, _ in ports], seconds)
    return findings


def report(findings: Sequence[Finding], out: TextIO) -> int:
    """Prints the findings and the overall verdict; returns the exit status (1 on a
    problem)."""
    width = max(len(f.check) for f in findings)

    def row(check: str, verdict: str, text: str) -> None:
        print(f"{check:<{width}}  {'[' + verdict + ']':<9}  {text}", file=out)

    indent = " " * (width + 13)
    for f in findings:
        row(f.check, f.verdict, f.summary)
        for line in f.details:
            if line.startswith("    "):  # a command or a file's line: never broken
                print(indent + line, file=out)
            else:
                print(
                    textwrap.fill(line, 100, initial_indent=indent, subsequent_indent=indent),
                    file=out,
                )
    problems = sum(f.verdict == PROBLEM for f in findings)
    notes = sum(f.verdict == NOTE for f in findings)
    print(file=out)
    if problems:
        which = f"{problems} problems: fix them" if problems > 1 else "1 problem: fix it"
        row("overall", PROBLEM, f"{which} as said above, then run zelkor doctor again")
        return 1
    row(
        "overall",
        OK,
        "ready" + (f", {notes} note{'s' if notes > 1 else ''} above" if notes else ""),
    )
    return 0


def main(
    port: str | None,
    root: str = "/",
    seconds: float = 1.0,
    rtprio: int | None = None,
    out: TextIO = sys.stdout,
) -> int:
    """The doctor command: prints what it finds and returns the exit status. `rtprio`, when
    given, stands in for the real-time probe: the answer a user with that RLIMIT_RTPRIO gets."""
    machine = Machine(root)
    if rtprio is not None:
        limit = rtprio
        machine.realtime = lambda: realtime_as_limited(limit)
    target = f"port {port}" if port else "every serial port"
    print(f"zelkor doctor: checks this machine for driving a device ({target})\n", file=out)
    return report(examine(port, machine, seconds), out)
