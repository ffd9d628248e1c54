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
from _ctypes import CFuncPtr  # the base of every ctypes function pointer type
from typing import Any, Callable

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
    call Python. Raises ImportError when Numba is missing (pip install
    ZelkorHardwareAPI[jit]), and Numba's own error when the function does not compile.
    """
    try:  # untyped: reached through Any
        numba: Any = importlib.import_module("numba")
        types: Any = numba.types
    except ImportError:
        raise ImportError("zh.force_law needs Numba: pip install ZelkorHardwareAPI[jit]") from None

    kernel = numba.njit(cache=False)(function)
    pointer = types.CPointer(types.float64)

    def law(inputs, params, out):  # type: ignore[no-untyped-def]
        given = numba.carray(inputs, INPUT_FIELDS)
        force = numba.carray(out, 3)
        kernel(
            given[0],
            given[2:5],
            given[5:8],
            given[8:11],
            numba.carray(params, PARAMS),
            force,
        )

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
