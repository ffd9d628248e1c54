"""What crosses the wire between a served arm and its clients, as JSON: commands (effects by
their parameters, params, couplings), the states of every cycle, and the replies.

Nothing here runs what a message says: an effect is remade only as one of the module's own
effect classes (zh.effect_types), from numbers, booleans and 3-vectors, by its constructor's
keywords (its __match_args__). Anything else is refused with BadMessage, which the receiver
counts and drops.
"""

# pyright: reportUnknownVariableType=false, reportUnknownArgumentType=false
# pyright: reportUnknownMemberType=false
# (a decoded message is Any until checked, and isinstance leaves its items unknown)

from __future__ import annotations

import json
import math
from dataclasses import dataclass
from typing import Any, Dict, List, Sequence, Tuple

import ZelkorHardwareAPI as zh

#: The format's version; a message of another version is refused.
VERSION = 1
#: The largest message accepted (bytes): a list of 64 effects stays well under it.
MAX_BYTES = 64 * 1024
#: The most effects one command may set on an arm.
MAX_EFFECTS = 64
#: The most parameters of a force law (the module's own limit).
MAX_PARAMS = 64
#: The most couplings one command may set.
MAX_COUPLINGS = 16
#: The time to live a command carries unless told otherwise (s).
DEFAULT_TTL = 0.25
#: The longest time to live (s), the library's own bound.
MAX_TTL = 3600.0

Vector = Tuple[float, float, float]


class BadMessage(ValueError):
    """A message that is not one this format allows: dropped and counted, never acted on."""


@dataclass(frozen=True)
class State:
    """One cycle of a served arm, as the server's loop saw it (units: s, m, m/s, N, J, N s/m)."""

    cycle: int = 0
    time: float = 0.0
    position: Vector = (0.0, 0.0, 0.0)
    velocity: Vector = (0.0, 0.0, 0.0)
    force: Vector = (0.0, 0.0, 0.0)
    energy: float = 0.0
    damping_added: float = 0.0


# The width of a state row: cycle, time, position, velocity, force, energy, damping_added.
ROW_WIDTH = 13

_EFFECT_CLASSES: Dict[str, Any] = {cls.__name__: cls for cls in zh.effect_types}


def _switches(cls: Any) -> frozenset[str]:
    """The parameters of an effect's constructor that take True or False (its signature, as
    the module writes it, says `name: bool`): only those may be given a boolean, which the
    others would take as the number 1 or 0."""
    signature = (cls.__init__.__doc__ or "").split("\n", 1)[0]
    return frozenset(name for name in cls.__match_args__ if f"{name}: bool" in signature)


_SWITCHES: Dict[str, frozenset[str]] = {
    name: _switches(cls) for name, cls in _EFFECT_CLASSES.items()
}


def number(value: Any, what: str) -> float:
    # bool is an int to Python, but never a number here.
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise BadMessage(f"{what} must be a number, not {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number):
        raise BadMessage(f"{what} must be finite")
    return number


def vector_of(value: Any, what: str) -> Vector:
    if not isinstance(value, list) or len(value) != 3:
        raise BadMessage(f"{what} must be a list of 3 numbers")
    items: List[Any] = value
    return (number(items[0], what), number(items[1], what), number(items[2], what))


def _plain(value: Any) -> Any:
    """An effect's attribute as JSON holds it: a number, a boolean, None or a 3-vector."""
    if value is None or isinstance(value, bool):
        return value
    if isinstance(value, (int, float)):
        return float(value)
    return [float(x) for x in value]


def effect_to_dict(effect: Any) -> Dict[str, Any]:
    """An effect as its type's name and its constructor's keywords."""
    cls = type(effect)
    if _EFFECT_CLASSES.get(cls.__name__) is not cls:
        raise TypeError(f"not an effect of ZelkorHardwareAPI: {cls.__name__}")
    fields: Tuple[str, ...] = cls.__match_args__
    out: Dict[str, Any] = {"type": cls.__name__}
    for name in fields:
        out[name] = _plain(getattr(effect, name))
    return out


def effect_from_dict(data: Any) -> Any:
    """The effect a dict describes, remade by its class's constructor; BadMessage otherwise."""
    if not isinstance(data, dict):
        raise BadMessage("an effect must be an object")
    fields: Dict[str, Any] = data
    kind = fields.get("type")
    cls = _EFFECT_CLASSES.get(kind) if isinstance(kind, str) else None
    if cls is None:
        raise BadMessage(f"unknown effect type {kind!r}")
    name: str = cls.__name__
    allowed: Tuple[str, ...] = cls.__match_args__
    kwargs: Dict[str, Any] = {}
    for key, value in fields.items():
        if key == "type":
            continue
        if key not in allowed:
            raise BadMessage(f"{name} has no parameter {key!r}")
        what = f"{name}.{key}"
        if isinstance(value, bool) != (key in _SWITCHES[name]):
            kind = "True or False" if key in _SWITCHES[name] else "not True or False"
            raise BadMessage(f"{what} is {kind}")
        if value is None or isinstance(value, bool):
            kwargs[key] = value
        elif isinstance(value, list):
            kwargs[key] = vector_of(value, what)
        else:
            kwargs[key] = number(value, what)
    try:
        return cls(**kwargs)
    except (TypeError, ValueError) as error:
        raise BadMessage(f"{name}: {error}") from None


def effects_to_list(effects: Sequence[Any]) -> List[Dict[str, Any]]:
    return [effect_to_dict(effect) for effect in effects]


def effects_from_list(data: Any) -> List[Any]:
    if not isinstance(data, list):
        raise BadMessage("effects must be a list")
    items: List[Any] = data
    if len(items) > MAX_EFFECTS:
        raise BadMessage(f"at most {MAX_EFFECTS} effects, got {len(items)}")
    return [effect_from_dict(item) for item in items]


def coupling_to_dict(coupling: Any) -> Dict[str, Any]:
    return {
        "a": int(coupling.a),
        "b": int(coupling.b),
        "stiffness": float(coupling.stiffness),
        "damping": float(coupling.damping),
    }


def couplings_from_list(data: Any) -> List[Any]:
    if not isinstance(data, list):
        raise BadMessage("couplings must be a list")
    items: List[Any] = data
    if len(items) > MAX_COUPLINGS:
        raise BadMessage(f"at most {MAX_COUPLINGS} couplings")
    out: List[Any] = []
    for item in items:
        if not isinstance(item, dict) or set(item) != {"a", "b", "stiffness", "damping"}:
            raise BadMessage("a coupling is an object of a, b, stiffness and damping")
        fields: Dict[str, Any] = item
        arms = [fields["a"], fields["b"]]
        if any(isinstance(a, bool) or not isinstance(a, int) or not 0 <= a < 16 for a in arms):
            raise BadMessage("a coupling's arms are numbers from 0")
        try:
            out.append(
                zh.Coupling(
                    arms[0],
                    arms[1],
                    number(fields["stiffness"], "stiffness"),
                    number(fields["damping"], "damping"),
                )
            )
        except (TypeError, ValueError) as error:
            raise BadMessage(f"coupling: {error}") from None
    return out


def params_from_list(data: Any) -> List[float]:
    if not isinstance(data, list):
        raise BadMessage("params must be a list of numbers")
    items: List[Any] = data
    if len(items) > MAX_PARAMS:
        raise BadMessage(f"at most {MAX_PARAMS} params")
    return [number(value, "a param") for value in items]


def ttl_of(value: Any) -> float:
    ttl = number(value, "ttl")
    if not 0.0 < ttl <= MAX_TTL:
        raise BadMessage(f"ttl must be more than 0 and at most {MAX_TTL:g} s")
    return ttl


def encode(message: Dict[str, Any]) -> bytes:
    """A message as compact JSON, with the format's version (under "v", which the message's
    own fields must leave free)."""
    if "v" in message:
        raise ValueError("a message's own fields never use the name v")
    return json.dumps({"v": VERSION, **message}, separators=(",", ":"), allow_nan=False).encode()


def decode(payload: bytes) -> Dict[str, Any]:
    """The object a message holds; BadMessage for anything too long, not JSON, not an object
    or of another version."""
    if len(payload) > MAX_BYTES:
        raise BadMessage(f"a message of {len(payload)} bytes (at most {MAX_BYTES})")
    try:
        # NaN and infinities are not JSON: refused on the way in as they are on the way out.
        data = json.loads(payload, parse_constant=_no_constant)
    except (ValueError, RecursionError) as error:
        raise BadMessage(f"not JSON: {error}") from None
    if not isinstance(data, dict):
        raise BadMessage("a message must be an object")
    message: Dict[str, Any] = data
    if message.get("v") != VERSION:
        raise BadMessage(f"version {message.get('v')!r} (this side speaks {VERSION})")
    return message


def _no_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a number JSON allows")


def encode_states(rows: Sequence[Sequence[float]], others: List[Any] | None = None) -> bytes:
    """A batch of state rows (cycle, time, position, velocity, force, energy, damping_added)."""
    message: Dict[str, Any] = {"rows": [[float(x) for x in row] for row in rows]}
    if others:
        message["others"] = others
    return encode(message)


def state_of_row(row: Any) -> State:
    if not isinstance(row, list) or len(row) != ROW_WIDTH:
        raise BadMessage(f"a state row has {ROW_WIDTH} numbers")
    items: List[Any] = row
    x = [number(value, "a state") for value in items]
    return State(
        int(x[0]),
        x[1],
        (x[2], x[3], x[4]),
        (x[5], x[6], x[7]),
        (x[8], x[9], x[10]),
        x[11],
        x[12],
    )


def decode_states(payload: bytes) -> Tuple[List[State], Dict[int, State]]:
    """The states of a batch: arm 0's every cycle, and the latest of each other arm."""
    message = decode(payload)
    rows = message.get("rows")
    if not isinstance(rows, list):
        raise BadMessage("a state message has rows")
    states = [state_of_row(row) for row in rows]
    others: Dict[int, State] = {}
    extra = message.get("others", [])
    if not isinstance(extra, list):
        raise BadMessage("others must be a list")
    for item in extra:
        if not isinstance(item, list) or len(item) != ROW_WIDTH + 1:
            raise BadMessage("another arm's state is its number and a row")
        arm = item[0]
        if isinstance(arm, bool) or not isinstance(arm, int) or not 0 < arm < 16:
            raise BadMessage("an arm's number is from 1 to 15")
        others[arm] = state_of_row(item[1:])
    return states, others
