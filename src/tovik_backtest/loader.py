"""Loading a strategy class from its reference: "module:Class" or "path/to/file.py:Class"."""

from __future__ import annotations

import importlib
import importlib.util
import pkgutil
import re
import sys
import types
from pathlib import Path
from typing import Any

from tovik_backtest.errors import UsageError
from tovik_backtest.runner import Strategy

__all__ = ["load_module_file", "load_strategy_class"]


def load_strategy_class(target: str) -> type[Strategy]:
    """Import "module:Class" (or "path/to/file.py:Class") and check it is a Strategy.

    A file is run as a module of its own that is not registered in ``sys.modules``, so it
    never stands in for an importable module of the same name.
    """
    module_name, sep, class_name = target.partition(":")
    if not sep or not module_name or not class_name:
        raise UsageError(f"--strategy must be written module:Class, not {target!r}")
    try:
        if module_name.endswith(".py"):
            path = Path(module_name)
            if not path.is_file():
                raise UsageError(f"strategy file not found: {module_name}")
            cls: Any = _attribute(load_module_file(path, path.stem, register=False), class_name)
        elif _DOTTED.fullmatch(module_name) and _DOTTED.fullmatch(class_name):
            cls = pkgutil.resolve_name(target)
        else:
            # Not names resolve_name takes: the import says which part is no module.
            cls = _attribute(_import(module_name), class_name)
    except ImportError as exc:
        raise UsageError(f"cannot import {module_name}: {exc}") from None
    except AttributeError:
        cls = None
    if not isinstance(cls, type) or not issubclass(cls, Strategy):
        raise UsageError(f"{target} is not a Strategy subclass")
    return cls


# A dotted name of identifiers, as pkgutil.resolve_name reads either side of the colon.
_DOTTED = re.compile(r"(?!\d)\w+(?:\.(?!\d)\w+)*")


def _import(module_name: str) -> types.ModuleType:
    try:
        return importlib.import_module(module_name)
    except TypeError:  # a relative name such as ".x"
        raise ImportError(f"{module_name!r} is not an absolute module name") from None


def load_module_file(path: str | Path, name: str, *, register: bool = True) -> types.ModuleType:
    """Run the Python file ``path`` as the module ``name``.

    With ``register`` the module is kept in ``sys.modules`` under ``name`` and a second
    call returns it without running the file again.
    """
    if register:
        loaded = sys.modules.get(name)
        if loaded is not None:
            return loaded
    module_spec = importlib.util.spec_from_file_location(name, path)
    if module_spec is None or module_spec.loader is None:
        raise UsageError(f"cannot load strategy file {path}")
    module = importlib.util.module_from_spec(module_spec)
    if register:
        sys.modules[name] = module
    try:
        module_spec.loader.exec_module(module)
    except BaseException:
        if register:
            del sys.modules[name]
        raise
    return module


def _attribute(module: Any, qualname: str) -> Any:
    obj = module
    for part in qualname.split("."):
        obj = getattr(obj, part)
    return obj
