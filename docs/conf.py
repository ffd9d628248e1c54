# Sphinx configuration of the documentation site. Build it with `bash docs/build`.
import os
import sys
from importlib import metadata

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "_ext"))

# The reference is read from the installed module, never from the source tree.
import ZelkorHardwareAPI  # noqa: E402

project = "Zelkor Hardware API"
author = "the Zelkor Hardware API developers"
copyright = author
try:
    release = metadata.version("ZelkorHardwareAPI")
except metadata.PackageNotFoundError:
    release = getattr(ZelkorHardwareAPI, "__version__", "")
version = release
cpp_version = ZelkorHardwareAPI.get_cpp_version()

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "zelkor_autodoc",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "build", "README.md"]
root_doc = "index"
language = "en"

# Markdown pages: `{{ release }}` and the like, ::: fences, anchors for headings down to ###.
myst_enable_extensions = ["colon_fence", "substitution", "deflist"]
myst_heading_anchors = 3
myst_substitutions = {"release": release, "cpp_version": cpp_version}

# API reference. pybind11 puts each signature on the first line of the docstring; the class
# text and the constructor's are shown together.
autodoc_docstring_signature = True
autoclass_content = "both"
autodoc_member_order = "groupwise"
autodoc_typehints = "signature"
autodoc_preserve_defaults = False
# "SerialStream" rather than "ZelkorHardwareAPI.SerialStream" in signatures, still linked.
python_use_unqualified_type_names = True
zelkor_reference_modules = ["ZelkorHardwareAPI", "zelkor_sim"]

# A reference to one of this project's objects that resolves nowhere is an error; names of
# Python itself and of other packages (int, List[float], os.PathLike, ...) are left as text,
# since the build fetches no other project's inventory.
nitpicky = True
nitpick_ignore_regex = [(r"py:.*", r"(?!(ZelkorHardwareAPI|zelkor_sim)\b).*")]

html_theme = "furo"
html_title = f"Zelkor Hardware API {release}"
html_short_title = "Zelkor Hardware API"
html_copy_source = False
html_show_sourcelink = False
