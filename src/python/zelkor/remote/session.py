"""Zenoh sessions as this package opens them: peers that reach exactly the endpoints they are
given. Scouting (multicast and gossip) is off, so that two arms, or two tests, on one network
never find each other by themselves, and a relay put between two peers is not bypassed."""

# pyright: reportUnknownMemberType=false
# (Zenoh's stubs leave some methods' return types out)
from __future__ import annotations

import json
from typing import Any, Sequence

import zenoh


def check_key(key: str) -> str:
    """`key` as a Zenoh key of its own: no wildcards, no empty chunks; ValueError otherwise."""
    if not isinstance(key, str) or not key:  # pyright: ignore[reportUnnecessaryIsInstance]
        raise ValueError("the key must be a non-empty string, such as lab/arm1")
    if "*" in key or "$" in key or "?" in key or "#" in key:
        raise ValueError(f"the key {key!r} must name one arm: no *, $, ? or #")
    try:
        zenoh.KeyExpr(key)
    except Exception as error:  # zenoh raises its own ZError
        raise ValueError(f"the key {key!r} is not a Zenoh key: {error}") from None
    return key


def config(listen: Sequence[str] = (), connect: Sequence[str] = ()) -> zenoh.Config:
    """A peer's configuration that listens on `listen` and connects to `connect` (endpoints
    such as tcp/127.0.0.1:7447), with scouting off."""
    for endpoint in [*listen, *connect]:
        if not isinstance(endpoint, str) or "/" not in endpoint:  # pyright: ignore[reportUnnecessaryIsInstance]
            raise ValueError(f"{endpoint!r} is not an endpoint such as tcp/127.0.0.1:7447")
    conf = zenoh.Config()
    conf.insert_json5("mode", '"peer"')
    conf.insert_json5("scouting/multicast/enabled", "false")
    conf.insert_json5("scouting/gossip/enabled", "false")
    conf.insert_json5("listen/endpoints", json.dumps(list(listen)))
    conf.insert_json5("connect/endpoints", json.dumps(list(connect)))
    return conf


def open_session(listen: Sequence[str] = (), connect: Sequence[str] = ()) -> zenoh.Session:
    """A peer session (see config()). A listen endpoint already taken raises RuntimeError
    naming it."""
    try:
        return zenoh.open(config(listen, connect))
    except zenoh.ZError as error:
        where = ", ".join([*listen, *connect]) or "no endpoint"
        raise RuntimeError(f"Zenoh did not open a session on {where}: {error}") from None


def close(thing: Any) -> None:
    """Closes a session (Zenoh's close is untyped)."""
    thing.close()


def undeclare(thing: Any) -> None:
    """Undeclares a Zenoh entity (a subscriber, a publisher, a queryable, a token)."""
    thing.undeclare()
