"""Force laws for the servo loop: what `Servo.force_law` accepts, and `force_law`, which
compiles a Python function with Numba into one.

A law is a C function of the signature in ZelkorHardwareAPI/force_law.h:

    void law(const ZelkorServoInput* in, const double* params, double force_out[3])

where the input is eleven doubles in a row (time, cycle, position x y z, velocity x y z, the
previous force x y z) and params 64 doubles.
"""

from __future__ import annotations

import ctypes
import importlib
import sys
import warnings
from _ctypes import CFuncPtr  # the base of every ctypes function pointer type
from typing import Any, Callable, Tuple

SIGNATURE = "zelkor_force_law_v1"
INPUT_FIELDS = 11
PARAMS = 64

ACCEPTED = (
    "a Numba cfunc (zh.force_law makes one), a cffi or ctypes function pointer of the signature "
    "void(const ZelkorServoInput*, const double*, double*), or None; an integer address needs "
    f"Servo.set_force_law(address, signature={SIGNATURE!r})"
)

_POINTERS = (ctypes.c_void_p, ctypes.c_char_p)
# The base of every ctypes.POINTER(...) type, private to ctypes' stubs.
_POINTER: type = getattr(ctypes, "_Pointer")  # noqa: B009


def _ctypes_signature_ok(function: Any) -> bool:
    arguments = getattr(function, "argtypes", None)
    if getattr(function, "restype", 0) is not None or arguments is None or len(arguments) != 3:
        return False
    return all(
        isinstance(a, type) and (issubclass(a, _POINTER) or a in _POINTERS) for a in arguments
    )


def _cffi_address(law: Any) -> int | None:
    """The address of a cffi function pointer of the signature; None for anything else."""
    if type(law).__module__ != "_cffi_backend":
        return None
    # Present wherever a cffi object is; untyped.
    _cffi_backend: Any = importlib.import_module("_cffi_backend")

    try:
        kind = _cffi_backend.typeof(law)
    except TypeError:
        return None
    if kind.kind != "function" or kind.result.kind != "void" or len(kind.args) != 3:
        raise TypeError(f"Servo.force_law takes {ACCEPTED}; got a cffi {kind.cname}")
    if not all(a.kind == "pointer" for a in kind.args):
        raise TypeError(f"Servo.force_law takes {ACCEPTED}; got a cffi {kind.cname}")
    integer = _cffi_backend.new_primitive_type("uintptr_t")
    return int(_cffi_backend.cast(integer, law))


def address_of(law: Any) -> int:
    """The address of the C function behind `law`, checked to have the force law's signature;
    TypeError, saying what is accepted, for anything else."""
    if isinstance(law, (bool, int)):
        raise TypeError(f"Servo.force_law takes {ACCEPTED}; got an int")
    _watch_laws()
    # A Numba cfunc: its .ctypes is a ctypes function pointer of its own signature.
    compiled = getattr(law, "ctypes", None)
    if compiled is not None and isinstance(getattr(law, "address", None), int):
        if not _ctypes_signature_ok(compiled):
            raise TypeError(f"Servo.force_law takes {ACCEPTED}; got a cfunc of another signature")
        return int(law.address)
    if isinstance(law, CFuncPtr):
        if not _ctypes_signature_ok(law):
            raise TypeError(
                f"Servo.force_law takes {ACCEPTED}; got a ctypes function of another signature"
            )
        address = ctypes.cast(law, ctypes.c_void_p).value
        if not address:
            raise TypeError(f"Servo.force_law takes {ACCEPTED}; got a null ctypes function")
        return int(address)
    address = _cffi_address(law)
    if address is not None:
        return address
    raise TypeError(f"Servo.force_law takes {ACCEPTED}; got {type(law).__name__}")


def force_law(function: Callable[..., None]) -> Any:
    """Compiles `function(t, position, velocity, previous_force, params, force)` with Numba,
    in nopython mode, into a force law (a Numba cfunc) for `Servo.force_law`.

    The arguments are a float (seconds) and numpy arrays of float64: position, velocity and
    previous_force of three values (m, m/s, N), params of 64, and force, of three zeros, which
    the function fills in newtons. It runs in the servo's thread every cycle, with no
    interpreter: it may compute, not allocate (no new arrays, lists or objects), print or
    call Python. Arithmetic follows numpy (0/0 is NaN); an exception, or a force that is not
    finite, stops the servo ("force law failed") with zero force, and the servo's
    stats().failure says why (the function is run again in Python with the same input).
    Raises ImportError when Numba is missing (pip install '.[jit]' from a clone), TypeError
    for a function that returns its force, and Numba's own error when the function does not
    compile.
    """
    try:  # untyped: reached through Any
        numba: Any = importlib.import_module("numba")
        types: Any = numba.types
    except ImportError:
        raise ImportError(
            "zh.force_law needs Numba: pip install '.[jit]' (from a clone of the library)"
        ) from None

    # numpy's error model: 0/0 gives NaN and x/0 an infinity, as numpy would, instead of an
    # exception; both are forces that are not finite, which stop the servo all the same.
    kernel = numba.njit(cache=False, error_model="numpy")(function)
    pointer = types.CPointer(types.float64)
    nan = float("nan")

    def law(inputs, params, out):  # type: ignore[no-untyped-def]
        given = numba.carray(inputs, INPUT_FIELDS)
        force = numba.carray(out, 3)
        # An exception comes back as a force that is not finite, never as a message printed
        # from the servo's thread each cycle: the servo stops, and explain() says why.
        try:
            kernel(
                given[0],
                given[2:5],
                given[5:8],
                given[8:11],
                numba.carray(params, PARAMS),
                force,
            )
        except Exception:  # noqa: BLE001  (Numba: no exception object to keep)
            force[0] = nan
            force[1] = nan
            force[2] = nan

    compiled = numba.cfunc(types.void(pointer, pointer, pointer), nopython=True)(law)
    # A law that returns its force instead of writing it would compile, and render nothing.
    returned = [s.return_type for s in kernel.nopython_signatures if s.return_type != types.none]
    if returned:
        name = getattr(function, "__name__", "the function")
        raise TypeError(
            f"zh.force_law: {name} returns a value ({returned[0]}); a force law returns nothing "
            "and writes its force, in newtons, into its last argument: force[0] = ..., "
            "force[1] = ..., force[2] = ..."
        )
    compiled.__wrapped__ = function
    compiled.__doc__ = function.__doc__
    return compiled


class StopReason(str):
    """Why a servo stopped by itself, as its on_stop callback gets it: the reason itself
    ('device not answering', 'force law failed', ...), a str, with `error` saying what failed
    for a force law that failed or overran (as stats().failure does), else None."""

    error: str | None

    def __new__(cls, reason: str, error: str | None = None) -> StopReason:
        made = super().__new__(cls, reason)
        made.error = error
        return made


def explain(law: Any, given: Tuple[Any, ...], params: Any) -> str | None:
    """What a force law compiled from Python (zh.force_law) does with the input of the call
    that failed, run in Python: 'ZeroDivisionError: float division by zero', say, or None when
    it raises nothing there (the compiled law's force was not finite; the servo's own words say
    which) or the law has no Python source."""
    function = getattr(law, "__wrapped__", None)
    if not callable(function):
        return None
    import numpy as np

    t, _cycle, position, velocity, previous = given
    force = np.zeros(3)
    # What the compiled law turned into a NaN or an infinity numpy raises here.
    with np.errstate(all="raise"), warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            function(
                float(t),
                np.array(position, dtype=np.float64),
                np.array(velocity, dtype=np.float64),
                np.array(previous, dtype=np.float64),
                np.array(params, dtype=np.float64),
                force,
            )
        except Exception as e:  # noqa: BLE001  (whatever it raises is what to report)
            return f"{type(e).__name__}: {e}"
    return None


def _report_in_law(unraisable: Any) -> None:
    """sys.unraisablehook while servos run laws that call Python (ctypes or cffi callbacks,
    and cfuncs not made by zh.force_law): an exception that such a law raised in a servo's
    call ends that call as a failure, said once in the servo's stats, instead of being printed
    every cycle. Anything else goes to the hook that was there before."""
    import ZelkorHardwareAPI

    failed: Callable[[str], bool] = getattr(ZelkorHardwareAPI, "_force_law_failed")  # noqa: B009
    kind = getattr(unraisable, "exc_type", None)
    text = f"{getattr(kind, '__name__', 'exception')}: {unraisable.exc_value}"
    if failed(text):
        return
    _previous_hook(unraisable)


_previous_hook: Callable[[Any], Any] = sys.unraisablehook


def _watch_laws() -> None:
    """Puts _report_in_law in place of sys.unraisablehook, once."""
    global _previous_hook
    if sys.unraisablehook is not _report_in_law:
        _previous_hook = sys.unraisablehook
        sys.unraisablehook = _report_in_law
