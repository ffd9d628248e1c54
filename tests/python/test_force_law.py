"""Force laws of the program's own in the servo's loop: ctypes, cffi and Numba laws, their
parameters, and what is refused."""

from __future__ import annotations

import ctypes
import gc
import math
import pathlib
import time
from typing import TYPE_CHECKING, Any

import pytest
import ZelkorHardwareAPI as zh

if TYPE_CHECKING:
    from conftest import StartSimulator

DOUBLES = ctypes.POINTER(ctypes.c_double)
LAW = ctypes.CFUNCTYPE(None, DOUBLES, DOUBLES, DOUBLES)


def spring(inputs: Any, params: Any, out: Any) -> None:
    """A spring to params[0:3] of stiffness params[3], from the eleven inputs."""
    for i in range(3):
        out[i] = -params[3] * (inputs[2 + i] - params[i])


def wait_for(condition: Any, limit: float = 10.0) -> bool:
    end = time.monotonic() + limit
    while not condition() and time.monotonic() < end:
        time.sleep(0.005)
    return bool(condition())


def test_a_law_runs_in_the_loop_with_its_parameters(simulator: StartSimulator) -> None:
    arm = zh.Arbelon(zh.SerialStream(simulator("arbelon", "--echo").port))
    # A ctypes law of a Python function waits for the interpreter lock each cycle: on a loaded
    # machine that can take longer than the default law_timeout.
    servo = zh.Servo(arm, 500.0, max_force=20.0, soft_start=0.0, law_timeout=2.0)
    servo.force_law = LAW(spring)  # the only reference: the servo keeps it alive
    gc.collect()
    servo.params = (0.0, 0.0, 0.0, 0.0)
    servo.effects = [zh.ConstantForce((1.0, 0.0, 0.0))]
    with servo:
        # The simulator echoes the force as the position: a fixed point of x = 1 - 0.5 x.
        servo.params = __import__("numpy").array([0.0, 0.0, 0.0, 0.5])
        assert wait_for(lambda: abs(servo.state().position[0] - 2 / 3) < 1e-3)
        # x = 1 - k x converges for |k| < 1: to 0.8 at k = 0.25.
        servo.set_params([0.0, 0.0, 0.0, 0.25], ramp=0.2)
        assert wait_for(lambda: abs(servo.state().position[0] - 0.8) < 1e-3)
    assert servo.params == (0.0, 0.0, 0.0, 0.25) and servo.stats().stop_reason == "stopped"


def test_a_law_whose_force_is_not_finite_stops_the_loop(simulator: StartSimulator) -> None:
    def broken(inputs: Any, params: Any, out: Any) -> None:
        out[0] = math.nan if inputs[1] > 20 else 0.0

    servo = zh.Servo(zh.Arbelon(zh.SerialStream(simulator("arbelon").port)), 500.0, law_timeout=2.0)
    servo.force_law = law = LAW(broken)
    assert servo.force_law is law
    servo.start()
    assert wait_for(lambda: not servo.running)
    assert servo.stats().stop_reason == "force law failed" and servo.stats().left_limp


def test_what_a_law_may_be(simulator: StartSimulator) -> None:
    servo = zh.Servo(zh.Arbelon(zh.SerialStream(simulator("arbelon").port)), law_timeout=2.0)
    law = LAW(spring)
    address = ctypes.cast(law, ctypes.c_void_p).value
    assert address
    cffi = pytest.importorskip("cffi")
    ffi = cffi.FFI()
    servo.force_law = ffi.callback("void(double*, double*, double*)", spring)
    refused: list[Any] = [
        address,  # an address needs its signature said
        lambda inputs, params, out: None,
        ctypes.CFUNCTYPE(ctypes.c_double, DOUBLES, DOUBLES, DOUBLES)(lambda *a: 0.0),
        ctypes.CFUNCTYPE(None, DOUBLES, DOUBLES)(lambda *a: None),
        ffi.callback("double(double*, double*, double*)", lambda *a: 0.0),
        "law",
    ]
    for wrong in refused:
        with pytest.raises(TypeError, match="a Numba cfunc"):
            servo.force_law = wrong
    with pytest.raises(TypeError, match="signature='zelkor_force_law_v1'"):
        servo.set_force_law(address)
    for wrong_address, error in [
        (0, "is 0"),
        (-1, "from 1 to"),
        (2**64, "got 18446744073709551616"),
    ]:
        with pytest.raises(ValueError, match=error):
            servo.set_force_law(wrong_address, signature="zelkor_force_law_v1")
    servo.set_force_law(address, signature="zelkor_force_law_v1")
    assert servo.force_law == address
    servo.force_law = None
    assert servo.force_law is None
    for params, error in [([0.0] * 65, "at most 64"), ([math.inf], "finite")]:
        with pytest.raises(ValueError, match=error):
            servo.params = params
    with pytest.raises(ValueError, match="ramp"):
        servo.set_params([1.0], ramp=-1.0)


def test_numba_laws_compile_to_the_abi_and_match_python() -> None:
    numba = pytest.importorskip("numba", reason="the jit extra (Numba) is not installed")
    import numpy as np

    def textured(t, position, velocity, previous_force, params, force):  # type: ignore[no-untyped-def]
        r = math.sqrt(position[0] ** 2 + position[1] ** 2 + position[2] ** 2)
        depth = params[0] - r
        if depth > 0.0 and r > 0.0:
            push = params[1] * depth * (1.0 + 0.2 * math.sin(params[2] * position[0] + t))
            for i in range(3):
                force[i] = push * position[i] / r - params[3] * velocity[i]
        force[2] += 0.1 * previous_force[2]

    law = zh.force_law(textured)
    assert isinstance(law.address, int) and law.address
    rng = np.random.default_rng(7)
    inputs = rng.uniform(-0.05, 0.05, size=(10000, 11))
    inputs[:, 0] = rng.uniform(0, 10, 10000)
    params = np.zeros(64)
    params[:4] = (0.04, 800.0, 300.0, 2.0)
    out = np.zeros(3)
    for row in inputs:
        out[:] = 0.0
        law.ctypes(
            row.ctypes.data_as(DOUBLES), params.ctypes.data_as(DOUBLES), out.ctypes.data_as(DOUBLES)
        )
        expected = np.zeros(3)
        textured(row[0], row[2:5], row[5:8], row[8:11], params, expected)
        assert np.allclose(out, expected, rtol=0, atol=1e-9)
    with pytest.raises(numba.core.errors.TypingError):
        zh.force_law(lambda t, position, velocity, previous_force, params, force: [1, "a"].sort())


def test_the_custom_law_example_runs_against_the_simulator(tmp_path: pathlib.Path) -> None:
    pytest.importorskip("numba", reason="the jit extra (Numba) is not installed")
    import os
    import subprocess
    import sys

    from motion import Traces, tracing
    from zelkor_sim import executable

    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "custom_law.py")
    done = subprocess.run(
        [sys.executable, example, "--seconds", "1"],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, "ZELKOR_SIM": str(tracing(tmp_path, executable()))},
    )
    assert done.returncode == 0, done.stderr[-2000:]
    assert "stopped: stopped" in done.stdout and "deepest into the sphere" in done.stdout
    # Its sphere once had the arm's rest inside it, and threw the arm 28 cm.
    assert Traces(tmp_path / "traces").thrown() == ""


def test_a_law_that_fails_stops_the_loop_and_says_why_once(
    simulator: StartSimulator, capfd: pytest.CaptureFixture[str], caplog: pytest.LogCaptureFixture
) -> None:
    numba = pytest.importorskip("numba", reason="the jit extra (Numba) is not installed")
    assert numba

    def divides(t, position, velocity, previous_force, params, force):  # type: ignore[no-untyped-def]
        force[0] = params[0] / params[1]  # params[1] is 0: an infinity, as numpy gives

    def raises(t, position, velocity, previous_force, params, force):  # type: ignore[no-untyped-def]
        if t > 0.02:
            raise ValueError("out of reach")

    def python_raises(inputs: Any, params: Any, out: Any) -> None:
        if inputs[1] > 10:
            raise KeyError("no such tool")

    cases = [
        (zh.force_law(divides), "FloatingPointError: divide by zero encountered in scalar divide"),
        (zh.force_law(raises), "ValueError: out of reach"),
        (LAW(python_raises), "KeyError: 'no such tool'"),
    ]
    arm = zh.Arbelon(zh.SerialStream(simulator("arbelon").port))
    for law, failure in cases:
        told: list[Any] = []
        servo = zh.Servo(arm, 500.0, on_stop=told.append, law_timeout=2.0)
        servo.force_law = law
        servo.params = [1.0, 0.0]
        with caplog.at_level("WARNING", logger="ZelkorHardwareAPI"):
            servo.start()
            assert wait_for(lambda s=servo, t=told: not s.running and t)
        stats = servo.stats()
        assert (stats.stop_reason, stats.failure) == ("force law failed", failure)
        assert told == ["force law failed"] and told[0].error == failure
        assert any(failure in r.getMessage() for r in caplog.records)
        assert stats.left_limp
    # Told once in the stats, the log and on_stop: nothing printed from the loop's thread.
    assert "Exception ignored" not in capfd.readouterr().err


def test_a_law_that_never_returns_is_taken_over_and_the_program_exits(tmp_path: Any) -> None:
    pytest.importorskip("numba", reason="the jit extra (Numba) is not installed")
    import subprocess
    import sys
    import textwrap

    script = textwrap.dedent(
        """
        import math, sys, time
        import ZelkorHardwareAPI as zh
        from zelkor_sim import Simulator

        @zh.force_law
        def spins(t, position, velocity, previous_force, params, force):
            x = position[0]
            if t > 0.05:
                for i in range(10**15):  # never returns
                    x = math.sin(x) + params[3]
            force[0] = x * 1e-9

        with Simulator("arbelon") as sim:
            arm = zh.Arbelon(zh.SerialStream(sim.port))
            servo = zh.Servo(arm, 500.0, law_timeout=0.05)
            servo.force_law = spins
            servo.start()
            end = time.monotonic() + 10
            while servo.running and time.monotonic() < end:
                time.sleep(0.01)
            stats = servo.stats()
            servo.stop()  # returns at once: the stuck thread is left to itself
            assert stats.stop_reason == "force law overran", stats
            assert stats.failure.startswith("a cycle spent more than 0.05 s"), stats.failure
            assert stats.left_limp
            try:
                servo.start()
            except RuntimeError as e:
                assert "never returned" in str(e), e
            else:
                raise AssertionError("started again")
            # The stream is free: a direct exchange answers.
            assert arm.end_effector_force([0, 0, 0])
        print("ok", flush=True)
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stdout + done.stderr
