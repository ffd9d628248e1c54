"""One version, written in CMakeLists.txt: the library's, the Python package's and the
simulator's all derive from it; the module's own fixed texts stay as they are."""

import ast
import glob
import os
import re
import subprocess
import sys
from importlib import metadata

import pytest
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


@pytest.mark.skipif(sys.version_info < (3, 10), reason="needs sys.stdlib_module_names")
def test_what_the_package_and_the_demo_import_is_installed_with_it():
    # A fresh environment has only what pip install . brings: every module the zelkor package,
    # the simulator's launcher and the README's demo import on loading must come with it.
    files = glob.glob(os.path.join(ROOT, "src", "python", "zelkor", "*.py"))
    files += [os.path.join(ROOT, "sim", "zelkor_sim", "__init__.py")]
    files += [os.path.join(ROOT, "examples", "haptic_loop.py")]
    ours = {"ZelkorHardwareAPI", "zelkor", "zelkor_sim", "__future__"}
    imported = set()
    for path in files:
        with open(path) as f:
            for node in ast.parse(f.read()).body:  # on loading: the module's own statements
                if isinstance(node, ast.Import):
                    imported.update(alias.name.split(".")[0] for alias in node.names)
                elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
                    imported.add(node.module.split(".")[0])
    third_party = imported - ours - set(sys.stdlib_module_names)
    declared = {
        re.split(r"[<>=;! \[]", r)[0]
        for r in metadata.requires("ZelkorHardwareAPI") or []
        if "extra ==" not in r
    }
    assert third_party <= declared, f"imported but not a dependency: {third_party - declared}"
