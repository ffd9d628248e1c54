// A keyword a constructor does not take gets a short TypeError naming it, and the keyword meant
// where one is close, instead of pybind11's list of every overload's signature.
#include <pybind11/eval.h>
#include <pybind11/pybind11.h>

#include "python/bindings.h"

namespace py = pybind11;

namespace Zelkor::HardwareAPI::Python {

namespace {

// Wraps cls.__init__ with a check of the keywords against those its signature lines name
// (pybind11 writes them as the docstring's first lines, one per overload). The wrapper keeps
// the docstring, and so the signatures that help() and the documentation show.
constexpr const char* guard_source = R"py(
import ast, difflib, functools, re

def guard(cls):
    init = cls.__init__
    names = set()
    for line in (init.__doc__ or "").splitlines():
        found = re.match(r"(?:\d+\. )?__init__\((.*)\) -> None$", line.strip())
        if not found:
            continue
        try:
            args = ast.parse(f"def f({found.group(1)}): pass").body[0].args
            names.update(a.arg for a in args.posonlyargs + args.args + args.kwonlyargs)
        except SyntaxError:  # a default that is no expression: the names are still plain
            names.update(re.findall(r"(?:^|, |\*, )(\w+): ", found.group(1)))
    names.discard("self")
    if not names:
        return
    accepted = ", ".join(sorted(names))

    @functools.wraps(init)
    def __init__(self, *args, **kwargs):
        for name in kwargs:
            if name not in names:
                close = difflib.get_close_matches(name, names, 1)
                hint = f"; did you mean {close[0]!r}?" if close else f" (it takes {accepted})"
                raise TypeError(
                    f"{cls.__name__}() got an unexpected keyword argument {name!r}{hint}"
                ) from None
        init(self, *args, **kwargs)

    cls.__init__ = __init__
)py";

}  // namespace

void guard_keywords(py::module_& m, const std::vector<const char*>& classes) {
    py::dict scope;
    scope["__builtins__"] = py::module_::import("builtins");
    py::exec(guard_source, scope);
    const py::object guard = scope["guard"];
    for (const char* name : classes) guard(m.attr(name));
}

}  // namespace Zelkor::HardwareAPI::Python
