"""The effects' force laws from Python, each compared with a reference written here with numpy
from the laws as documented (not from the C++), over states inside, outside and on the edge."""

from __future__ import annotations

import ast
import math
import pathlib
import re
import typing
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt
import pytest
import ZelkorHardwareAPI as zh

if TYPE_CHECKING:
    from conftest import Device

Vec = npt.NDArray[np.float64]
Law = Callable[[Vec, Vec, float], Vec]
Step = Tuple[Sequence[float], Sequence[float], float]
Shape = Union[zh.Sphere, zh.Box, zh.ViscousRegion, zh.Guide, zh.Vibration, zh.Detents, zh.Friction]
ZERO: Vec = np.zeros(3)


def array(v: Sequence[float]) -> Vec:
    return np.array(v, dtype=np.float64)


def unit(v: Sequence[float]) -> Vec:
    a = array(v)
    return a / float(np.linalg.norm(a))


def penalty(n: Vec, depth: float, k: float, b: float, v: Vec) -> Vec:
    """A surface that pushes along n at depth, its damping never turning the push into a pull."""
    push = k * depth - b * float(n @ v)
    return n * push if depth > 0 and push > 0 else ZERO


def sphere(
    centre: Sequence[float], radius: float, k: float, b: float = 0, inside: bool = False
) -> Law:
    def law(p: Vec, v: Vec, t: float) -> Vec:
        d = p - array(centre)
        r = float(np.linalg.norm(d))
        if inside:
            return penalty(-d / r, r - radius, k, b, v) if r > radius else ZERO
        n = d / r if r > 0 else np.array([0.0, 0.0, 1.0])
        return penalty(n, radius - r, k, b, v)

    return law


def box(
    centre: Sequence[float], half: Sequence[float], k: float, b: float = 0, inside: bool = False
) -> Law:
    def law(p: Vec, v: Vec, t: float) -> Vec:
        d = p - array(centre)
        if inside:  # a pair of walls on every axis
            total: Vec = np.zeros(3)
            for i in range(3):
                n = np.zeros(3)
                n[i] = -1.0 if d[i] > 0 else 1.0
                total += penalty(n, abs(d[i]) - half[i], k, b, v)
            return total
        depths = array(half) - np.abs(d)
        if np.any(depths <= 0):
            return ZERO
        i = int(np.argmin(depths))  # the first of equals: x before y before z
        n = np.zeros(3)
        n[i] = 1.0 if d[i] >= 0 else -1.0
        return penalty(n, float(depths[i]), k, b, v)

    return law


def viscous(
    centre: Sequence[float],
    b: float,
    radius: float | None = None,
    half: Sequence[float] | None = None,
) -> Law:
    def law(p: Vec, v: Vec, t: float) -> Vec:
        d = p - array(centre)
        if radius is not None:
            inside = float(np.linalg.norm(d)) <= radius
        else:
            assert half is not None
            inside = all(abs(float(x)) <= h for x, h in zip(d, half))
        return -b * v if inside else ZERO

    return law


def guide(start: Sequence[float], end: Sequence[float], k: float, b: float = 0) -> Law:
    a, e = array(start), array(end)

    def law(p: Vec, v: Vec, t: float) -> Vec:
        length = float(np.linalg.norm(e - a))
        if length == 0:
            return -k * (p - a) - b * v
        u = (e - a) / length
        q = a + u * min(max(float((p - a) @ u), 0.0), length)
        return -k * (p - q) - b * (v - u * float(v @ u))

    return law


def vibration(direction: Sequence[float], amplitude: float, frequency: float) -> Law:
    return lambda p, v, t: unit(direction) * amplitude * math.sin(2 * math.pi * frequency * t)


def detents(
    axis: Sequence[float], spacing: float, k: float, origin: Sequence[float] = (0, 0, 0)
) -> Law:
    u = unit(axis)

    def law(p: Vec, v: Vec, t: float) -> Vec:
        s = float(u @ (p - array(origin)))
        nearest = math.floor(s / spacing + 0.5) * spacing  # a half rounds up
        return -k * (s - nearest) * u

    return law


class FrictionReference:
    """A god object on a wall: the proxy stays on the surface in contact and is dragged along
    the friction cone's edge when the spring to it would pull harder than mu times the normal
    force."""

    def __init__(self, normal: Sequence[float], offset: float, k: float, mu: float, b: float = 0):
        self.n, self.offset, self.k, self.mu, self.b = unit(normal), offset, k, mu, b
        self.proxy: Vec | None = None

    def onto_surface(self, x: Vec) -> Vec:
        return x + (self.offset - float(self.n @ x)) * self.n

    def __call__(self, p: Vec, v: Vec, t: float) -> Vec:
        depth = self.offset - float(self.n @ p)
        if depth <= 0:
            self.proxy = np.array(p, dtype=np.float64)
            return ZERO
        self.proxy = self.onto_surface(p if self.proxy is None else self.proxy)
        normal_force = max(0.0, self.k * depth - self.b * float(self.n @ v))
        pull = self.k * (self.proxy - p)
        tangential = pull - self.n * float(pull @ self.n)
        size, limit = float(np.linalg.norm(tangential)), self.mu * normal_force
        if size > limit:
            tangential *= limit / size
            self.proxy = self.onto_surface(p) + tangential / self.k
        return normal_force * self.n + tangential


STILL = (0.0, 0.0, 0.0)
# (name, class, reference, the arguments both are made with, (position, velocity, time) steps)
CASES: List[Tuple[str, Callable[..., Shape], Callable[..., Law], Any, List[Step]]] = [
    ("ball", zh.Sphere, sphere, ((0.1, 0, 0), 0.5, 200.0, 4.0), [
        ((0.3, 0.2, -0.1), STILL, 0.0),  # inside
        ((0.3, 0.2, -0.1), (1, 1, -0.5), 0.0),  # leaving: the damping slows the push
        ((0.3, 0.2, -0.1), (-3, -2, 1), 0.0),  # entering: it adds to it
        ((0.3, 0.2, -0.1), (30, 20, -10), 0.0),  # leaving fast: never pulls
        ((0.6, 0.0, 0.0), (-1, 0, 0), 0.0),  # on the surface
        ((0.7, 0.1, 0.0), (-1, 0, 0), 0.0),  # outside
        ((0.1, 0.0, 0.0), (0, 0, -0.1), 0.0),  # the very centre: up
    ]),
    ("spherical cavity", zh.Sphere, sphere, ((0, 0, 0.1), 0.05, 300.0, 2.0, True), [
        ((0.01, 0.02, 0.11), (5, 5, 5), 0.0),  # inside: free
        ((0.0, -0.05, 0.1), (0, -1, 0), 0.0),  # on the surface
        ((0.04, -0.03, 0.13), (0.5, -0.2, 0.1), 0.0),  # out, still leaving
        ((0.04, -0.03, 0.13), (-9, 7, -3), 0.0),  # out, coming back fast: never pulls
    ]),
    ("solid box", zh.Box, box, ((0, 0, 0), (0.25, 0.5, 0.125), 400.0, 3.0), [
        ((0.2, 0.1, 0.0), (0.1, 0, 0), 0.0),  # nearest face +x
        ((0.0, -0.45, 0.01), (0, 0.3, 0.2), 0.0),  # nearest face -y
        ((0.125, 0.375, 0.0), STILL, 0.0),  # x and y as near: x
        ((0.0, 0.0, 0.0), (0, 0, -1), 0.0),  # the centre: +z, the nearest
        ((0.25, 0.1, 0.0), STILL, 0.0),  # on a face
        ((0.3, 0.1, 0.0), STILL, 0.0),  # outside
    ]),
    ("box cavity", zh.Box, box, ((0.5, 0, 0), (0.25, 0.25, 0.25), 100.0, 1.0, True), [
        ((0.6, 0.1, -0.2), (3, 3, 3), 0.0),  # inside: free
        ((0.75, 0.0, 0.0), (1, 0, 0), 0.0),  # on a face
        ((0.8, 0.0, 0.1), (0.2, 0, 0), 0.0),  # out through +x
        ((0.1, -0.3, 0.4), (0, -1, 0.5), 0.0),  # out past a corner: three axes push
        ((0.1, -0.3, 0.4), (30, 0, 0), 0.0),  # x coming back fast: only y and z push
    ]),
    ("viscous sphere", zh.ViscousRegion, viscous, ((0, 0.25, 0), 6.0, 0.5), [
        ((0.1, 0.3, -0.2), (1, -2, 0.5), 0.0),
        ((0.0, 0.75, 0.0), (1, -2, 0.5), 0.0),  # on the surface: inside
        ((0.4, 0.6, 0.0), (1, -2, 0.5), 0.0),
    ]),
    ("viscous box", zh.ViscousRegion, viscous, ((0, 0, 0), 2.5, None, (0.5, 0.25, 0.0)), [
        ((0.4, -0.1, 0.0), (1, 2, 3), 0.0),  # in the flat box
        ((0.5, 0.25, 0.0), (1, 2, 3), 0.0),  # on its corner: inside
        ((0.4, -0.1, 0.001), (1, 2, 3), 0.0),  # off its plane
    ]),
    ("guide", zh.Guide, guide, ((0, 0, 0), (0.3, 0.4, 0), 500.0, 5.0), [
        ((0.15, 0.2, 0.0), (0.3, 0.4, 0.0), 0.0),  # on it, moving along: nothing
        ((0.1, 0.3, 0.05), (0.6, 0.8, 1.0), 0.0),  # beside it
        ((-0.1, -0.05, 0.0), (1, 0, 0), 0.0),  # before the start
        ((0.5, 0.5, 0.1), (0, 0, 1), 0.0),  # past the end
    ]),
    ("guide to a point", zh.Guide, guide, ((0.1, 0, 0), (0.1, 0, 0), 50.0, 2.0), [
        ((0.2, -0.1, 0.3), (1, 2, -1), 0.0),
        ((0.1, 0, 0), (1, 0, 0), 0.0),
    ]),
    ("vibration", zh.Vibration, vibration, ((0, 3, 4), 0.8, 20.0), [
        ((1, 1, 1), (1, 1, 1), t) for t in (0.0, 0.0125, 0.02, 0.0375, 12.3456789)
    ]),
    ("detents", zh.Detents, detents, ((2, 0, 0), 0.25, 80.0, (0.5, 0, 0)), [
        ((0.55, 0.3, 0.2), (1, 1, 1), 0.0),  # past a detent: pulled back
        ((0.7, 0.0, 0.0), STILL, 0.0),  # nearer the next: pulled on
        ((0.625, 0.0, 0.0), STILL, 0.0),  # half-way: the next one
        ((0.25, 0.0, 0.0), STILL, 0.0),  # on a detent behind the origin
    ]),
    ("slanted detents", zh.Detents, detents, ((1, 1, 1), 0.01, 300.0), [
        ((0.013, -0.002, 0.004), STILL, 0.0),
        ((-0.02, 0.0, 0.001), STILL, 0.0),
    ]),
    ("friction", zh.Friction, FrictionReference, ((0, 0, 1), 0.0, 1000.0, 0.5), [
        ((0.0, 0.0, 0.01), STILL, 0.0),  # out of contact
        ((0.001, 0.0, -0.002), STILL, 0.0),  # touching down, on the cone's edge
        ((0.004, 0.0, -0.002), STILL, 0.0),  # slips
        ((0.0035, 0.0, -0.004), STILL, 0.0),  # pressed harder, a little back: sticks
        ((0.0, 0.01, -0.001), STILL, 0.0),  # dragged sideways: slips
        ((0.0, 0.01, 0.001), STILL, 0.0),  # lifted off
        ((0.002, 0.01, -0.001), STILL, 0.0),  # down again, from where it left
    ]),
    ("damped friction", zh.Friction, FrictionReference, ((0, 1, 1), -0.01, 500.0, 0.3, 20.0), [
        ((0.0, -0.02, 0.0), (0, -0.1, -0.1), 0.0),  # first contact: the position's foot
        ((0.0005, -0.02, -0.001), (0.1, 0, 0), 0.0),  # sticks
        ((0.05, -0.03, 0.0), (1, 0, 0), 0.0),  # slips
        ((0.05, -0.03, 0.0), (0, 1, 1), 0.0),  # pulled out fast: no normal force
        ((0.0495, -0.03, 0.0), STILL, 0.0),  # back in: sticks where it was let go
    ]),
]  # fmt: skip


@pytest.mark.parametrize(
    "make,reference,arguments,steps", [c[1:] for c in CASES], ids=[c[0] for c in CASES]
)
def test_force_laws_match_a_reference(
    make: Callable[..., Shape],
    reference: Callable[..., Law],
    arguments: Any,
    steps: List[Step],
) -> None:
    effect, law = make(*arguments), reference(*arguments)
    for i, (position, velocity, time) in enumerate(steps):
        got = effect.force_at(position, velocity, time)
        want = law(array(position), array(velocity), time)
        assert type(got) is tuple and len(got) == 3
        assert np.allclose(got, want, rtol=0, atol=1e-9), f"step {i}: {got} != {want}"
        if isinstance(effect, zh.Friction) and isinstance(law, FrictionReference):
            assert effect.proxy is not None and law.proxy is not None
            assert np.allclose(effect.proxy, law.proxy, rtol=0, atol=1e-12), f"step {i}"


def test_every_effect_keeps_its_force_at_the_defaults() -> None:
    # force_at's velocity and time default to still and 0 s; the older effects' laws are as
    # they were.
    assert zh.Wall((0, 0, 1), 0.0, 100.0).force_at((0, 0, -0.5)) == (0.0, 0.0, 50.0)
    assert zh.ConstantForce((1, -2, 3)).force_at((9, 9, 9)) == (1.0, -2.0, 3.0)
    assert zh.Spring((0, 0, 0), 10.0, damping=1.0).force_at((0.5, 0, 0)) == (-5.0, 0.0, 0.0)
    assert zh.Damper(2.0).force_at((0, 0, 0), (1, 0, 0)) == (-2.0, 0.0, 0.0)
    assert zh.Vibration((0, 0, 1), 1.0, 50.0).force_at((0, 0, 0)) == (0.0, 0.0, 0.0)


def test_a_friction_keeps_its_proxy_and_its_copies_start_without(device: Device) -> None:
    friction = zh.Friction((0, 0, 1), 0.0, 1000.0, 0.5)
    proxies = [friction.proxy]
    friction.force_at((0.001, 0.002, 0.03))
    proxies.append(friction.proxy)
    friction.force_at((0.0, 0.0, -0.01))
    proxies.append(friction.proxy)
    # None at first; out of contact it follows the end-effector; it sticks where it touched.
    assert proxies[:2] == [None, (0.001, 0.002, 0.03)]
    assert proxies[2] is not None and np.allclose(proxies[2], (0.001, 0.002, 0.0))
    servo = zh.Servo(zh.Arbelon(zh.SerialStream(device.path)))
    servo.effects = [friction]
    (copy,) = servo.effects
    assert isinstance(copy, zh.Friction) and copy.proxy is None
    friction.mu = 0.4  # a changed surface starts afresh
    assert friction.proxy is None


# Effects of every class of the table, with what each attribute reads back as: vectors given as
# lists or unnormalised, optional parameters absent, flags set.
SAMPLES: Dict[str, List[zh.Effect]] = {
    "Wall": [zh.Wall([1, 1, 0], -0.02, 2000.0, damping=10.0), zh.Wall((0, 0, 3), 0.1, 0.0)],
    "Spring": [zh.Spring(np.array([0.1, -0.2, 0.3]), 150.0), zh.Spring((0, 0, 0), 0.0, 2.5)],
    "Damper": [zh.Damper(3.0), zh.Damper(0)],
    "ConstantForce": [zh.ConstantForce(range(3)), zh.ConstantForce((-0.5, 1e-300, 0.0))],
    "Sphere": [zh.Sphere((0, 0, 0.1), 0.05, 300.0, 2.0, True), zh.Sphere([1, 2, 3], 0.0, 1.0)],
    "Box": [zh.Box((0, 0, 0), (0.1, 0.2, 0.0), 400.0, inside=True), zh.Box([1, 0, 0], [1] * 3, 1)],
    "ViscousRegion": [
        zh.ViscousRegion((0, 0.25, 0), 6.0, radius=0.5),
        zh.ViscousRegion([0, 0, 0], 2.5, half_extents=(0.5, 0.25, 0.0)),
    ],
    "Guide": [zh.Guide((0, 0, 0), (0.3, 0.4, 0), 500.0, 5.0), zh.Guide((1, 1, 1), (1, 1, 1), 9)],
    "Vibration": [zh.Vibration((0, 3, 4), 0.8, 20.0), zh.Vibration([-1, 1e-3, 7], 0.0, 0.0)],
    "Detents": [zh.Detents((1, 1, 1), 0.01, 300.0), zh.Detents((2, 0, 0), 0.25, 80.0, (0.5, 0, 0))],
    "Friction": [zh.Friction((0, 1, 1), -0.01, 500.0, 0.3, 20.0), zh.Friction((1, 2, 3), 0, 1, 0)],
}


def signature_names(cls: type) -> Tuple[str, ...]:
    """The names of the constructor's parameters, from the signature pybind11 writes first in
    its docstring."""
    first = (cls.__init__.__doc__ or "").splitlines()[0]  # type: ignore[misc]
    inside = first[first.index("(") + 1 : first.rindex(") -> None")]
    function = ast.parse(f"def f({inside}): pass").body[0]
    assert isinstance(function, ast.FunctionDef)
    return tuple(a.arg for a in function.args.args[1:])


def parameters(effect: object) -> Tuple[object, ...]:
    return tuple(getattr(effect, name) for name in type(effect).__match_args__)  # type: ignore[attr-defined]


def test_every_effect_remakes_itself_from_its_match_args() -> None:
    # What a program that sends effects elsewhere relies on: the class and __match_args__'s
    # attributes are the whole effect.
    assert sorted(SAMPLES) == sorted(cls.__name__ for cls in zh.effect_types)
    for cls in zh.effect_types:
        assert cls.__match_args__ == signature_names(cls), cls.__name__
        for effect in SAMPLES[cls.__name__]:
            assert type(effect) is cls
            fields = {name: getattr(effect, name) for name in cls.__match_args__}
            remade = [cls(**fields), cls(*fields.values())]
            for copy in remade:
                assert type(copy) is cls and repr(copy) == repr(effect)
                assert parameters(copy) == parameters(effect), cls.__name__
            assert [e.force_at((0.01, -0.02, 0.005), (1, 2, 3), 0.0125) for e in remade] == [
                effect.force_at((0.01, -0.02, 0.005), (1, 2, 3), 0.0125)
            ] * 2, cls.__name__


def test_effect_types_is_the_table_and_every_list_of_effects_follows_it() -> None:
    names = [cls.__name__ for cls in zh.effect_types]
    assert type(zh.effect_types) is tuple and names[:4] == [
        "Wall",
        "Spring",
        "Damper",
        "ConstantForce",
    ]
    assert all(getattr(zh, name) is cls for name, cls in zip(names, zh.effect_types))
    assert typing.get_args(zh.Effect) == zh.effect_types
    top = pathlib.Path(__file__).resolve().parents[2]
    stubs = (top / "src/python/ZelkorHardwareAPI-stubs/__init__.pyi").read_text()
    readme = (top / "README.md").read_text()
    guide = (top / "docs/servo.md").read_text()
    reference = (top / "docs/reference/servo.rst").read_text()
    servo = zh.Servo(zh.Arbelon(zh.SerialStream("/dev/zelkor-no-such-port")))
    with pytest.raises(TypeError) as refused:
        servo.effects = ["wall"]  # type: ignore[list-item]
    alias = stubs[stubs.index("Effect: TypeAlias = (") : stubs.index("effect_types: ")]
    bullet = readme[readme.index("- **Effects**") : readme.index("- **The force sent**")]
    table = guide[guide.index("| effect | force |") : guide.index("Stiffnesses are in N/m")]
    listed = {
        "the stubs' Effect": re.findall(r"(\w+)\n", alias),
        "the README": re.findall(r"`([A-Z]\w+)(?:\(|`)", bullet),
        "docs/servo.md": re.findall(r"\| \{py:class\}`(\w+)\(", table),
        "the reference": re.findall(
            r"autoclass:: (\w+)", reference[reference.index("Effects\n") :]
        ),
        "the TypeError": re.findall(r"(\w+)(?:, | and | objects)", str(refused.value)),
        "Servo.effects' docstring": re.findall(
            r"(\w+)(?:, | and | objects)", (zh.Servo.effects.__doc__ or "").split("Takes any")[1]
        ),
    }
    for where, found in listed.items():
        assert found[: len(names)] == names, where
