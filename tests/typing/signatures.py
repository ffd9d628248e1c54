"""Checks that the stubs give every function of ZelkorHardwareAPI the parameters the module
gives it: names, order, which are keyword-only, which have defaults, and the overloads.

stubtest cannot see these: a pybind11 function has no signature that inspect can read, only
the one written at the top of its docstring, which this script reads instead. Run it against
the installed module and stubs: `python tests/typing/signatures.py`.
"""

from __future__ import annotations

import ast
import os
import sys
from typing import NamedTuple

import ZelkorHardwareAPI as zh

# Where the stubs deliberately differ from the module (see the notes at the top of the stubs):
# the Handle callbacks are typed as Receive calls them, every argument given by position, and
# OnReceiveHandleInfo without the record form; SendHandleState's int user_data is required.
CALLBACKS = {
    "Handle.OnReceiveHandleInfo",
    "Handle.OnReceiveHandleStatusMessage",
    "Handle.OnReceiveHandleErrorResponse",
}
REQUIRED = {("Handle.SendHandleState", 0): {"device_id", "data_length", "user_data"}}
# Overloads the stubs add to type what a flag returns (find_devices(explain=True)): each takes
# the module's parameters, by name and kind; which have defaults differs by overload.
NARROWED = {"find_devices"}


class Parameter(NamedTuple):
    name: str
    kind: str  # "positional", "positional only", "keyword only", "*args", "**kwargs"
    default: bool


def split_top_level(text: str) -> list[str]:
    """`text` split at the commas outside brackets and quotes."""
    parts: list[str] = []
    depth, quote, start = 0, "", 0
    for i, c in enumerate(text):
        if quote:
            quote = "" if c == quote else quote
        elif c in "'\"":
            quote = c
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif c == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    if text[start:].strip():
        parts.append(text[start:].strip())
    return parts


def runtime_overloads(function: object, name: str) -> list[list[Parameter]]:
    """The parameters of each overload, from the signatures pybind11 writes into the docstring
    (without self)."""
    doc = getattr(function, "__doc__", None) or ""
    lines = [line for line in doc.splitlines() if line.startswith(name + "(")]
    if "Overloaded function." in doc:
        lines = [
            line.split(". ", 1)[1]
            for line in doc.splitlines()
            if line[:1].isdigit() and ". " + name + "(" in line
        ]
    overloads: list[list[Parameter]] = []
    for line in lines:
        inside = line[len(name) + 1 : line.rindex(") -> ")]
        parameters: list[Parameter] = []
        kind = "positional"
        for part in split_top_level(inside):
            if part == "*":
                kind = "keyword only"
                continue
            if part.startswith("**"):
                parameters.append(Parameter(part[2:], "**kwargs", False))
                continue
            if part.startswith("*"):
                parameters.append(Parameter(part[1:], "*args", False))
                kind = "keyword only"
                continue
            head = part.split(": ", 1)[0]
            default = " = " in part.split(": ", 1)[-1] or part.startswith(head + " = ")
            # A name with spaces can only be given by position.
            this = "positional only" if " " in head else kind
            parameters.append(Parameter(head.replace(" ", "_"), this, default))
        if parameters and parameters[0].name == "self":
            parameters = parameters[1:]
        overloads.append(parameters)
    return overloads


def stub_parameters(node: ast.FunctionDef, method: bool) -> list[Parameter]:
    args = node.args
    positional = args.posonlyargs + args.args
    first_default = len(positional) - len(args.defaults)
    parameters = [
        Parameter(
            a.arg,
            "positional only" if i < len(args.posonlyargs) else "positional",
            i >= first_default,
        )
        for i, a in enumerate(positional)
    ]
    if args.vararg:
        parameters.append(Parameter(args.vararg.arg, "*args", False))
    parameters += [
        Parameter(a.arg, "keyword only", d is not None)
        for a, d in zip(args.kwonlyargs, args.kw_defaults)
    ]
    if args.kwarg:
        parameters.append(Parameter(args.kwarg.arg, "**kwargs", False))
    decorators = {d.id for d in node.decorator_list if isinstance(d, ast.Name)}
    if method and parameters and "staticmethod" not in decorators:
        parameters = parameters[1:]
    return parameters


def stub_functions(body: list[ast.stmt], method: bool) -> dict[str, list[list[Parameter]]]:
    """The functions defined in `body`, a class's (`method`: their first parameter is self) or
    the module's."""
    functions: dict[str, list[list[Parameter]]] = {}
    for node in body:
        if isinstance(node, ast.FunctionDef):
            decorators = {
                d.attr if isinstance(d, ast.Attribute) else getattr(d, "id", "")
                for d in node.decorator_list
            }
            if "property" in decorators or "setter" in decorators:
                continue
            functions.setdefault(node.name, []).append(stub_parameters(node, method))
    return functions


def find_stubs() -> str:
    for folder in sys.path:
        path = os.path.join(folder, "ZelkorHardwareAPI-stubs", "__init__.pyi")
        if os.path.isfile(path):
            return path
    raise SystemExit("ZelkorHardwareAPI-stubs is not installed")


def compare(where: str, runtime: list[list[Parameter]], stub: list[list[Parameter]]) -> str | None:
    if where in CALLBACKS:
        # Only the parameter-list form, every parameter by position and none omitted.
        runtime = [[p._replace(kind="positional only", default=False) for p in runtime[0]]]
    for index, parameters in enumerate(runtime):
        required = REQUIRED.get((where, index), set())
        runtime[index] = [
            p._replace(default=False) if p.name in required else p for p in parameters
        ]
    if where in NARROWED and len(runtime) == 1:
        runtime = [[p._replace(default=False) for p in runtime[0]]] * len(stub)
        stub = [[p._replace(default=False) for p in parameters] for parameters in stub]
    if runtime != stub:
        return f"{where}:\n  module {runtime}\n  stubs  {stub}"
    return None


def main() -> None:
    with open(find_stubs(), encoding="utf-8") as f:
        tree = ast.parse(f.read())
    faults: list[str] = []
    checked = 0
    module_functions = stub_functions(tree.body, method=False)
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    for name, value in vars(zh).items():
        if name.startswith("_"):
            continue
        if callable(value) and not isinstance(value, type):
            fault = compare(name, runtime_overloads(value, name), module_functions.get(name, []))
            faults += [fault] if fault else []
            checked += 1
        elif isinstance(value, type):
            methods = stub_functions(classes[name].body, method=True) if name in classes else {}
            for attribute, member in vars(value).items():
                if attribute.startswith("_") and attribute not in (
                    "__init__",
                    "__enter__",
                    "__exit__",
                ):
                    continue
                if isinstance(member, property) or not callable(getattr(value, attribute)):
                    continue
                function = getattr(value, attribute)
                overloads = runtime_overloads(function, attribute)
                if not overloads:  # no signature: a class without a constructor
                    continue
                fault = compare(f"{name}.{attribute}", overloads, methods.get(attribute, []))
                faults += [fault] if fault else []
                checked += 1
    if faults:
        raise SystemExit("the stubs and the module disagree:\n" + "\n".join(faults))
    print(f"{checked} functions: the stubs and the module agree", file=sys.stderr)


if __name__ == "__main__":
    main()
