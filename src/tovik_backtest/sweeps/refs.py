"""How a worker process finds the strategy class of a sweep: by module name or by file."""

from __future__ import annotations

import importlib
import os
import re
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from tovik_backtest.errors import SweepError, describe
from tovik_backtest.loader import load_module_file
from tovik_backtest.runner import Strategy

__all__ = ["StrategyRef"]


@dataclass(frozen=True)
class StrategyRef:
    """Where a worker process finds the strategy class: its module, or the module's file.

    Classes travel by reference, never by value: a class from a module the worker can
    import is imported; one from a file (a strategy script, a ``module.py:Class`` on
    the command line) is loaded from that file.
    """

    module: str
    qualname: str
    file: str | None
    by_name: bool

    @classmethod
    def of(cls, strategy_cls: Any) -> StrategyRef:
        if not isinstance(strategy_cls, type) or not issubclass(strategy_cls, Strategy):
            raise TypeError(
                f"strategy_cls must be a Strategy subclass, not {describe(strategy_cls)}"
            )
        qualname = strategy_cls.__qualname__
        if "<locals>" in qualname:
            raise SweepError(
                f"strategy class {qualname} is defined inside a function; define it at module "
                "level so worker processes can import it"
            )
        module_name = strategy_cls.__module__
        module = sys.modules.get(module_name)
        # The registered module counts only when it really holds the class: a module
        # loaded straight from a file is not registered, or another one has its name.
        own = module is not None and _lookup(module, qualname) is strategy_cls
        file = getattr(module, "__file__", None) if own else _defining_file(strategy_cls)
        file = str(Path(file).resolve()) if file else None
        module_spec = getattr(module, "__spec__", None)
        by_name = (
            own
            and module_name != "__main__"
            and module_spec is not None
            and module_spec.name == module_name
        )
        if not by_name and file is None:
            raise SweepError(
                f"cannot tell which file strategy class {qualname} comes from, so worker processes "
                "could not load it; define it in an importable module"
            )
        return cls(module_name, qualname, file, by_name)

    @property
    def text(self) -> str:
        return f"{self.module}:{self.qualname}"

    def load(self) -> type[Strategy]:
        cached = _LOADED.get(self)
        if cached is not None:
            return cached
        module: Any = None
        if self.by_name:
            try:
                module = importlib.import_module(self.module)
            except ImportError:
                if self.file is None:
                    raise
        if module is None:
            module = _load_file(self.file)
        strategy_cls = _lookup(module, self.qualname)
        if not isinstance(strategy_cls, type) or not issubclass(strategy_cls, Strategy):
            raise SweepError(f"{self.text} is not a Strategy subclass in this worker")
        _LOADED[self] = strategy_cls
        return strategy_cls


# Classes a worker process has loaded, so a module file runs once per process.
_LOADED: dict[StrategyRef, type[Strategy]] = {}


def _lookup(module: Any, qualname: str) -> Any:
    obj = module
    for part in qualname.split("."):
        obj = getattr(obj, part, None)
        if obj is None:
            return None
    return obj


def _defining_file(strategy_cls: type) -> str | None:
    """The file of the module a class was written in, found through its own methods."""
    for value in vars(strategy_cls).values():
        if isinstance(value, (staticmethod, classmethod)):
            value = value.__func__
        elif isinstance(value, property):
            value = value.fget
        module_globals = getattr(value, "__globals__", None)
        if module_globals is not None and module_globals.get("__file__"):
            return str(module_globals["__file__"])
    return None


def _load_file(file: str | None) -> Any:
    if file is None or not os.path.isfile(file):
        raise SweepError(f"strategy module file not found in this worker: {file}")
    # A private name: the file's module must not replace (or be taken for) another module,
    # and a script's "if __name__ == '__main__'" block must not run again.
    return load_module_file(file, "_tovik_strategy_" + re.sub(r"\W", "_", file))
