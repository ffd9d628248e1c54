"""The README's Handle snippet, run as written against the simulated handle."""

import os
import re
import subprocess
import sys

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")


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
