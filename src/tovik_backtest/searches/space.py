"""The space a search draws parameters from: each declared parameter mapped to a list of
values or a ``(low, high)`` range of whole numbers or decimals, as Optuna distributions."""

from __future__ import annotations

import numbers
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from optuna.distributions import (
    BaseDistribution,
    CategoricalDistribution,
    FloatDistribution,
    IntDistribution,
)

from tovik_backtest.errors import BacktestError, describe
from tovik_backtest.params import resolve
from tovik_backtest.sweeps.grid import same_value
from tovik_backtest.sweeps.table import RESERVED_COLUMNS

__all__ = ["Space", "parse_space"]

# Columns of the search's tables besides the parameters.
SEARCH_COLUMNS = frozenset(("trial", "fold", "value", "sortino", "calmar", "profit_factor", "is_start", "is_end",
                            "is_days", "oos_start", "oos_end", "oos_days", "is_value", "is_net_pnl", "oos_value",
                            "oos_net_pnl", "oos_sharpe", "oos_max_drawdown", "oos_round_trips"))


@dataclass(frozen=True)
class Space:
    """The parameters a search varies, in the order given, as Optuna distributions."""

    distributions: dict[str, BaseDistribution]
    # the space as given, for the saved description and the result tables
    plain: dict[str, Any]

    @property
    def names(self) -> list[str]:
        return list(self.distributions)

    def grid(self) -> dict[str, list[Any]]:
        """Every value of each parameter (whole-number ranges stepped by 1), for the grid sampler."""
        out: dict[str, list[Any]] = {}
        for name, dist in self.distributions.items():
            if isinstance(dist, CategoricalDistribution):
                out[name] = list(dist.choices)
            elif isinstance(dist, IntDistribution):
                out[name] = list(range(dist.low, dist.high + 1, dist.step))
            else:
                raise BacktestError(f"the grid sampler needs the values of {name!r}: give a list "
                                    f"instead of the decimal range {self.plain[name]!r}")
        return out

    def size(self) -> int | None:
        """How many parameter sets the space holds (None for a decimal range)."""
        total = 1
        for dist in self.distributions.values():
            if isinstance(dist, CategoricalDistribution):
                total *= len(dist.choices)
            elif isinstance(dist, IntDistribution):
                total *= (dist.high - dist.low) // dist.step + 1
            else:
                return None
        return total


def _whole(value: Any) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)


def _number(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _distribution(name: str, values: Any) -> tuple[BaseDistribution, Any]:
    if isinstance(values, tuple):
        if len(values) != 2 or not all(_number(v) for v in values):
            raise BacktestError(f"the range of {name!r} must be (low, high) of two numbers, not {values!r}")
        low, high = values
        if not low < high:
            raise BacktestError(f"the range of {name!r} is empty or reversed: {low} is not below {high}")
        if _whole(low) and _whole(high):
            return IntDistribution(int(low), int(high)), [int(low), int(high)]
        return FloatDistribution(float(low), float(high)), [float(low), float(high)]
    if isinstance(values, (list, range)):
        choices = list(values)
        if not choices:
            raise BacktestError(f"parameter {name!r} has no values")
        seen: list[Any] = []
        for value in choices:
            if value is not None and not isinstance(value, (bool, int, float, str)):
                raise BacktestError(f"a value of {name!r} must be a number, True/False, a text or None, "
                                    f"not {describe(value)}")
            if any(same_value(value, other) for other in seen):
                raise BacktestError(f"parameter {name!r} lists the value {value!r} more than once")
            seen.append(value)
        return CategoricalDistribution(choices), choices
    raise BacktestError(f"parameter {name!r} of the space takes a list of values or a (low, high) "
                        f"range, not {describe(values)}")


def parse_space(strategy_cls: type, space: Any) -> Space:
    """The space checked against what ``strategy_cls`` declares: names it takes, values
    (or both ends of a range) of the types its defaults give."""
    if not isinstance(space, Mapping) or not space:
        raise BacktestError(f"space must map at least one parameter to its values or range, e.g. "
                            f"{{'fast': (5, 60)}}, not {describe(space)}")
    distributions: dict[str, BaseDistribution] = {}
    plain: dict[str, Any] = {}
    for name, values in space.items():
        if type(name) is str and name in RESERVED_COLUMNS | SEARCH_COLUMNS:
            raise BacktestError(f"parameter name {name!r} clashes with a column of the search table; rename it")
        dist, shown = _distribution(str(name), values)
        samples = list(dist.choices) if isinstance(dist, CategoricalDistribution) else shown
        for value in samples:
            resolve(strategy_cls, {name: value})
        distributions[name], plain[name] = dist, shown
    return Space(distributions, plain)
