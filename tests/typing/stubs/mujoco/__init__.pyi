# mujoco is optional (the project's "mujoco" extra) and ships no type information: the type
# checks see it through this stub, the same whether it is installed or not. Everything in it is
# Any.
from typing import Any

def __getattr__(name: str) -> Any: ...
