"""What autodoc needs to document the extension module ZelkorHardwareAPI well.

pybind11 writes a function's signature as the first line of its docstring, which autodoc
reads (autodoc_docstring_signature). This extension adds the rest:

- Methods and constructors: the ``self`` parameter pybind11 lists first is dropped from the
  signature, as Python's own reference leaves it out.
- Overloaded functions: pybind11's docstring "name(*args, **kwargs) / Overloaded function. /
  1. name(...) ..." becomes a list of the overloads' signatures, each with its own text.
- A module docstring written as plain text shows its indented examples as code.
- Google and NumPy style sections (Args:, Returns:, ...) of functions and classes become
  fields, as sphinx.ext.napoleon makes them; properties' text is left alone, where napoleon
  would read a first line "Text: more text" as a type.
- Docstrings that are not valid reStructuredText (plain text written in C++ strings may not
  be) are shown as written, in a literal block, instead of failing the build; the build
  lists them. With ZELKOR_DOCS_STRICT=1 in the environment they are warnings instead.
- A paragraph that three or more methods of a class repeat word for word (the Arbelon's four
  state exchanges say alike what a failed exchange returns) is shown once, in the class's
  text, naming the methods; each of them points there instead.
- Every public class, function, method and property of the modules in
  ``zelkor_reference_modules`` must be on some page of the reference: one that is not is a
  warning, so a name added to the module cannot be left out unnoticed.
"""

import importlib
import inspect
import io
import os
import re
import sys

from docutils.core import publish_doctree
from docutils.parsers.rst import directives, roles
from docutils.utils import SystemMessage
from sphinx.ext.napoleon import Config as NapoleonConfig
from sphinx.ext.napoleon.docstring import GoogleDocstring, NumpyDocstring
from sphinx.util import logging

logger = logging.getLogger(__name__)

# A pybind11 overload line: "1. name(arguments) -> result".
OVERLOAD = re.compile(r"^(\d+)\. (\w+)\((.*)\)(?: -> (.*))?$")
# The first line pybind11 gives an overloaded function, when autodoc left it in place.
GENERIC = re.compile(r"^\w+\(\*args, \*\*kwargs\)$")


def split_parameters(text):
    """Splits a parameter list at its top-level commas (not those inside brackets or
    quotes)."""
    parts, depth, quote, start = [], 0, None, 0
    for i, c in enumerate(text):
        if quote:
            if c == quote:
                quote = None
        elif c in "'\"":
            quote = c
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif c == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    tail = text[start:].strip()
    if tail:
        parts.append(tail)
    return parts


def without_self(parameters):
    """The parameter list without a leading ``self`` (``self`` or ``self: Type``)."""
    parts = split_parameters(parameters)
    if parts and re.match(r"^self\s*(:|$)", parts[0]):
        parts = parts[1:]
    return ", ".join(parts)


def process_signature(app, what, name, obj, options, signature, return_annotation):
    if what not in ("method", "class") or not signature:
        return None
    if not (signature.startswith("(") and signature.endswith(")")):
        return None
    return "(" + without_self(signature[1:-1]) + ")", return_annotation


def rewrite_overloads(what, name, lines):
    """Replaces pybind11's list of overloads with a list of their signatures and texts."""
    marker = next(
        (i for i, line in enumerate(lines) if line.strip() == "Overloaded function."), None
    )
    if marker is None:
        return
    overloads = []  # [signature line, [text lines]]
    for line in lines[marker + 1 :]:
        match = OVERLOAD.match(line.strip())
        if match and int(match.group(1)) == len(overloads) + 1:
            _, base, parameters, result = match.groups()
            overloads.append([(base, without_self(parameters), result), []])
        elif overloads:
            overloads[-1][1].append(line)
        elif line.strip():
            return  # not pybind11's form after all
    if not overloads:
        return
    head = lines[:marker]
    if head and GENERIC.match(head[-1].strip()):
        head.pop()
    short = name.rsplit(".", 1)[-1]
    module = name.split(".", 1)[0]
    out = list(head)
    if out and out[-1].strip():
        out.append("")
    for (base, parameters, result), text in overloads:
        shown = short if what == "class" else base
        signature = f"{shown}({parameters})"
        if result and what != "class":
            signature += f" -> {result}"
        # As python_use_unqualified_type_names shows the other signatures' types.
        signature = re.sub(rf"\b{re.escape(module)}\.(?=\w)", "", signature)
        # A literal, not a nested object description: one of those would reset the class
        # the following ones belong to.
        out += [f"* ``{signature}``", ""]
        while text and not text[0].strip():
            text.pop(0)
        while text and not text[-1].strip():
            text.pop()
        out += [("  " + t) if t.strip() else "" for t in text]
        if text:
            out.append("")
    lines[:] = out


def from_extension_module(obj):
    module = inspect.getmodule(obj) or inspect.getmodule(getattr(obj, "__objclass__", None))
    file = getattr(module, "__file__", "") or ""
    return file.endswith((".so", ".pyd"))


def indented_blocks_as_code(lines):
    """In a docstring that uses no literal-block markup, shows each block indented under a
    paragraph as code (reStructuredText would make it a block quote)."""
    if any("::" in line or line.lstrip().startswith(".. ") for line in lines):
        return
    out, previous_indent = [], 0
    i = 0
    while i < len(lines):
        line = lines[i]
        indent = len(line) - len(line.lstrip())
        if line.strip() and indent > previous_indent and out and not out[-1].strip():
            out[-1:] = ["::", ""]
            while i < len(lines) and (
                not lines[i].strip() or len(lines[i]) - len(lines[i].lstrip()) >= indent
            ):
                out.append(lines[i])
                i += 1
            if out[-1].strip():
                out.append("")
            continue
        if line.strip():
            previous_indent = indent
        out.append(line)
        i += 1
    lines[:] = out


def paragraphs(text):
    """A docstring's paragraphs (after pybind11's signature line), each as one string."""
    return [p.strip() for p in re.split(r"\n\s*\n", text or "") if p.strip()]


def shared_paragraphs(cls):
    """{paragraph: [method names]} for each paragraph three or more of the class's own
    methods repeat word for word, in the order the methods come."""
    users = {}
    for member, value in vars(cls).items():
        if member.startswith("_") or not callable(value):
            continue
        for paragraph in paragraphs(getattr(value, "__doc__", ""))[1:]:
            users.setdefault(paragraph, []).append(member)
    return {p: names for p, names in users.items() if len(names) >= 3}


def share_paragraphs(app, what, name, lines, obj):
    """Shows each shared paragraph once, in the class's text; its methods point there."""
    if what == "class" and inspect.isclass(obj):
        # The class's text and its constructor's come here one after the other: once only.
        done = getattr(app.env, "zelkor_shared_shown", set())
        app.env.zelkor_shared_shown = done
        if name in done:
            return
        done.add(name)
        for paragraph, names in shared_paragraphs(obj).items():
            lines += [
                "",
                f"Alike for {', '.join(f'``{n}``' for n in names)}:",
                "",
                "   " + paragraph,
            ]
        return
    if what != "method" or name.count(".") < 2:
        return
    module, owner_name, _ = name.rsplit(".", 2)
    owner = getattr(sys.modules.get(module), owner_name, None)
    if not inspect.isclass(owner):
        return
    text = "\n".join(lines)
    for paragraph, names in shared_paragraphs(owner).items():
        if paragraph in text:
            alike = ", ".join(f"``{n}``" for n in names)
            text = text.replace(
                paragraph, f"The rest, alike for {alike}: see :class:`{owner_name}`."
            )
    lines[:] = text.split("\n")


def process_docstring_early(app, what, name, obj, options, lines):
    # A C++ string literal escaped twice shows "\\n" instead of a line break.
    if any("\\n" in line for line in lines) and from_extension_module(obj):
        text = "\n".join(lines).replace("\\n", "\n")
        lines[:] = text.split("\n")
    rewrite_overloads(what, name, lines)
    share_paragraphs(app, what, name, lines, obj)
    if what == "module":
        indented_blocks_as_code(lines)
    # Google and NumPy sections (Args:, Returns:, Parameters ...) become fields. Not for
    # properties: napoleon would read "Text: more text" on their first line as "type: text".
    if what not in ("property", "attribute", "data", "module"):
        config = NapoleonConfig(napoleon_use_rtype=False)
        lines[:] = GoogleDocstring(lines, config, None, what, name, obj, options).lines()
        lines[:] = NumpyDocstring(lines, config, None, what, name, obj, options).lines()


# Messages of plain docutils that only mean "Sphinx knows this, docutils alone does not".
SPHINX_ONLY = re.compile(
    r"Unknown (interpreted text role|directive type)|"
    r"No (role|directive) entry"
)


def plain_directive(name, language_module, document):
    """docutils' own directives only: Sphinx's need a build environment."""
    entry = directives._directive_registry.get(name.lower())
    if entry is None:
        return None, []
    module = importlib.import_module("docutils.parsers.rst.directives." + entry[0])
    return getattr(module, entry[1]), []


def plain_role(name, language_module, lineno, reporter):
    """docutils' own roles only."""
    return roles._role_registry.get((name or roles.DEFAULT_INTERPRETED_ROLE).lower()), []


def rst_problems(lines):
    """The warnings and errors docutils alone reports for `lines`, with the directives and
    roles only Sphinx knows counted as fine."""
    saved = directives.directive, roles.role
    directives.directive, roles.role = plain_directive, plain_role
    try:
        # Inside a directive, as autodoc places it: a section title is an error there.
        doctree = publish_doctree(
            ".. container::\n\n" + "\n".join(("   " + line) if line else "" for line in lines),
            settings_overrides={
                "report_level": 5,
                "halt_level": 5,
                "warning_stream": io.StringIO(),
                "file_insertion_enabled": False,
                "raw_enabled": False,
            },
        )
    except SystemMessage as error:
        return [str(error)]
    finally:
        directives.directive, roles.role = saved
    problems = []
    for message in doctree.findall(lambda n: n.tagname == "system_message"):
        if message["level"] >= 2 and not SPHINX_ONLY.search(message.astext()):
            problems.append(message.astext().splitlines()[0])
    return problems


def process_docstring_late(app, what, name, obj, options, lines):
    if not any(line.strip() for line in lines):
        return
    problems = rst_problems(lines)
    if not problems:
        return
    if os.environ.get("ZELKOR_DOCS_STRICT") == "1":
        logger.warning(
            "docstring of %s is not valid reStructuredText: %s",
            name,
            "; ".join(problems),
            type="zelkor",
            subtype="docstring",
        )
        return
    app.env.zelkor_plain_docstrings = getattr(app.env, "zelkor_plain_docstrings", set())
    app.env.zelkor_plain_docstrings.add(name)
    lines[:] = ["::", ""] + [("    " + line) if line.strip() else "" for line in lines] + [""]


def public_names(module):
    """The module's public classes and functions, with their public members, as full names."""
    exported = getattr(module, "__all__", None)
    names = []
    for key, value in vars(module).items():
        if key.startswith("_") or (exported is not None and key not in exported):
            continue
        if not (inspect.isclass(value) or inspect.isroutine(value)):
            continue
        if getattr(value, "__module__", module.__name__) != module.__name__:
            continue
        full = f"{module.__name__}.{key}"
        names.append(full)
        if inspect.isclass(value):
            names += [f"{full}.{member}" for member in vars(value) if not member.startswith("_")]
    return names


def check_reference(app, env):
    plain = getattr(env, "zelkor_plain_docstrings", set())
    if plain:
        # Not a warning, which would fail the build; printed even under -q.
        print(
            "docs: not valid reStructuredText, so shown as written (ZELKOR_DOCS_STRICT=1 "
            "says why): " + ", ".join(sorted(plain)),
            file=sys.stderr,
        )
    documented = env.get_domain("py").objects
    for module_name in app.config.zelkor_reference_modules:
        module = importlib.import_module(module_name)
        for full in public_names(module):
            if full not in documented:
                logger.warning(
                    "%s is on no page of the API reference",
                    full,
                    type="zelkor",
                    subtype="reference",
                )


def setup(app):
    app.add_config_value("zelkor_reference_modules", [], "env")
    app.connect("autodoc-process-signature", process_signature)
    # Before other handlers (priority 500), whose text the check for valid reStructuredText
    # then sees too.
    app.connect("autodoc-process-docstring", process_docstring_early, priority=400)
    app.connect("autodoc-process-docstring", process_docstring_late, priority=600)
    app.connect("env-check-consistency", check_reference)
    return {"version": "1", "parallel_read_safe": False, "parallel_write_safe": True}
