# matplotlib is optional (the project's "plot" extra): the type checks see it through these
# stubs, the same whether it is installed or not. Everything in it is Any.
from typing import Any

def __getattr__(name: str) -> Any: ...
