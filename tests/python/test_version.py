"""One version, written in CMakeLists.txt: the library's, the Python package's and the
simulator's all derive from it; the module's own fixed texts stay as they are."""

import os
import re
import subprocess
from importlib import metadata

import ZelkorHardwareAPI as zh
from zelkor_sim import executable

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(ZelkorHardwareAPI VERSION ([0-9.]+)", f.read()).group(1)


def test_the_versions_agree():
    version = project_version()
    assert zh.get_cpp_version() == "0.0.6-pre" == f"{version}-pre"
    assert metadata.version("ZelkorHardwareAPI") == f"{version}.dev0"
    assert zh.__version__ == "dev"
    done = subprocess.run([executable(), "--version"], capture_output=True, text=True, timeout=30)
    assert (done.returncode, done.stdout) == (0, f"zelkor-sim {version}-pre\n")
