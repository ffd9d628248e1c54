"""The README's and the guides' examples, run as written against the simulator."""

import os
import re
import shlex
import subprocess
import sys

import pytest
from motion import tracing
from zelkor_sim import executable

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")
MOTION_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "motion.py")


def handle_snippet():
    with open(README) as f:
        text = f.read()
    section = text[text.index("## Talking to a Handle from Python") :]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def test_the_handle_snippet_works_against_the_simulator(simulator):
    code = handle_snippet()
    link = re.search(r'PORT = "([^"]+)"', code).group(1)
    if os.path.lexists(link):
        os.remove(link)
    simulator("handle", "--link", link)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "handle 0xd01 model 2"
    # The simulated handle echoes the user data and finds nothing wrong with the message.
    assert any(line.endswith("[1, 2, 3]") for line in lines)
    assert not any(line.startswith("error") for line in lines)


DOCS = os.path.join(os.path.dirname(README), "docs")
# Examples that need a real device (or something else a reader brings, such as a compiled
# library) say so on their first line: "# Needs ...". Only those are skipped.
NEEDS = "# Needs "
PAGES = ["README.md"] + sorted("docs/" + name for name in os.listdir(DOCS) if name.endswith(".md"))
# The devices the examples name, played by simulators: a port, or a link the page's own
# instructions start a simulator with (zelkor-sim arbelon --link /tmp/arbelon).
PORTS = {"/dev/ttyUSB0": "arbelon", "/dev/ttyUSB1": "handle"}
LINKS = {"/tmp/arbelon": "arbelon", "/tmp/zelkor-handle": "handle"}


# After each example: a stream it made that did not open fails it (a stream never raises).
CHECK = """
for _name, _value in list(globals().items()):
    if type(_value).__name__ == "SerialStream" and _value.open_result != 1:
        raise SystemExit(f"{_name} did not open: {_value.last_error}")
"""

# Nor may it throw the arm (motion.py): every simulated arm, the page's own and those started
# here, leaves a trace of where the example took it.
MOTION = """
_thrown = _traces.thrown()
if _thrown:
    raise SystemExit(_thrown)
"""


def python_blocks(page):
    """The page's Python examples: (line of the first line of code, code)."""
    with open(os.path.join(os.path.dirname(README), page)) as f:
        text = f.read()
    return [
        (text[: m.start()].count("\n") + 2, m.group(1))
        for m in re.finditer(r"^```python\n(.*?)^```", text, re.S | re.M)
    ]


def link_options(page, link):
    """The further options of the command the page starts the simulator of `link` with, such as
    `zelkor-sim arbelon --fixed-dt 0.001 --link /tmp/arbelon` in a shell example: the last such
    command before the first Python example that uses the link."""
    with open(os.path.join(os.path.dirname(README), page)) as f:
        text = f.read()
    used = re.search(rf'^```python\n(?:(?!^```).)*?"{re.escape(link)}"', text, re.S | re.M)
    commands = re.findall(
        rf"zelkor-sim \w+((?:[^\n\\]|\\\n)*?)--link {re.escape(link)}",
        text[: used.start() if used else len(text)],
    )
    return shlex.split(commands[-1].replace("\\\n", " ")) if commands else []


@pytest.mark.parametrize("page", [page for page in PAGES if python_blocks(page)])
def test_every_example_runs_one_after_another(page, simulator, tmp_path, monkeypatch):
    """Each page's Python examples in one interpreter, in the order they come, as a reader
    pastes them one after another."""
    run = [(line, code) for line, code in python_blocks(page) if not code.startswith(NEEDS)]
    if not run:
        pytest.skip(f"{page}: every example needs a real device")
    script = "\n".join(code for _, code in run)
    monkeypatch.setenv("ZELKOR_SIM", str(tracing(tmp_path, executable())))
    for link, kind in LINKS.items():
        if f'"{link}"' in script:
            if os.path.lexists(link):
                os.remove(link)
            simulator(kind, *link_options(page, link), "--link", link)
    ports = {name: simulator(kind).port for name, kind in PORTS.items() if name in script}
    # The page's namespace gets a reader of the traces, run from its file (the examples must
    # not find the tests' modules on their path).
    program = (
        f"_traces = __import__('runpy').run_path({MOTION_FILE!r})['Traces']"
        f"({str(tmp_path / 'traces')!r})\n"
    )
    for line, code in run:
        for name, port in ports.items():
            code = code.replace(name, port)
        program += f"print('>>> {page}:{line}', flush=True)\n{code}\n{CHECK}{MOTION}"
    # The examples run in a folder of their own, and their temporary files go in another.
    work, temporary = tmp_path / "work", tmp_path / "tmp"
    work.mkdir()
    temporary.mkdir()
    done = subprocess.run(
        [sys.executable, "-c", program],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=work,
        env={**os.environ, "TMPDIR": str(temporary)},
    )
    # The last ">>>" line before a failure names the example that failed.
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-2000:]
    # A handle-state message to another device id gets the handle's error 1.
    assert not re.search(r"^error ", done.stdout, re.M), done.stdout[-2000:]
    # What an example saves goes into a folder of its own, not where a reader runs it (the top
    # of the clone).
    assert not os.listdir(work), f"{page} wrote into the working directory"
