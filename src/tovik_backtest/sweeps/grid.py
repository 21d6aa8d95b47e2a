"""The parameter grid of a sweep: every combination of the values to try."""

from __future__ import annotations

import itertools
from collections.abc import Mapping
from typing import Any

from tovik_backtest.errors import SweepError, describe
from tovik_backtest.sweeps.table import RESERVED_COLUMNS

__all__ = ["expand_grid", "same_value"]


def expand_grid(grid: Mapping[str, Any]) -> list[dict[str, Any]]:
    """Every combination of the grid's values, the last parameter varying fastest.

    ``grid`` maps a parameter name to a list, tuple or range of values. An empty grid
    is one run with the strategy's default parameters.
    """
    if not isinstance(grid, Mapping):
        raise TypeError(f"grid must be a mapping of parameter name to values, not {describe(grid)}")
    names: list[str] = []
    values: list[list[Any]] = []
    for name, options in grid.items():
        if type(name) is not str or not name.isidentifier():
            raise SweepError(f"parameter name {name!r} is not a valid keyword argument name")
        if name in RESERVED_COLUMNS:
            raise SweepError(
                f"parameter name {name!r} clashes with a column of the sweep table; rename it"
            )
        if not isinstance(options, (list, tuple, range)):
            raise TypeError(
                f"values of parameter {name!r} must be a list, tuple or range, not "
                f"{describe(options)}"
            )
        options = list(options)
        if not options:
            raise SweepError(f"parameter {name!r} has no values")
        seen: list[Any] = []
        for option in options:
            if any(same_value(option, other) for other in seen):
                raise SweepError(f"parameter {name!r} lists the value {option!r} more than once")
            seen.append(option)
        names.append(name)
        values.append(options)
    return [dict(zip(names, combo, strict=True)) for combo in itertools.product(*values)]


def same_value(a: Any, b: Any) -> bool:
    """Whether two parameter values are the same run: equal and of the same type.

    1 and True (or 1 and 1.0) are different parameters to a strategy.
    """
    try:
        return type(a) is type(b) and bool(a == b)
    except Exception:  # noqa: BLE001 - values that cannot be compared are not equal
        return False
