"""What a search maximises: a figure of a run's summary, or a function of it.

A run hands back its overall summary with its day-end equity and the nets of its round
trips, so every figure can be worked out the same way for one run and for the
out-of-sample runs of a walk-forward stitched together.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from typing import Any

from tovik_backtest import measures
from tovik_backtest.errors import BacktestError, describe
from tovik_backtest.searches.choices import OBJECTIVES

__all__ = ["OBJECTIVES", "Objective", "figures_of"]



def figures_of(overall: Mapping[str, Any], days: Sequence[float], trips: Sequence[float]) -> dict[str, Any]:
    """The objectives' figures of one run, or of runs stitched together: the summary's
    where it has them, else worked out the summary's way from the day-end equity (TWD)."""
    capital = float(overall["capital"])
    out = {name: overall.get(name) for name in ("net_pnl", "sharpe", "profit_factor", "max_drawdown",
                                                 "max_drawdown_pct")}
    if "sortino" in overall:
        out["sortino"] = overall["sortino"]
    else:
        out["sortino"] = measures.sortino(measures.daily_returns(days, capital))
    if "calmar" in overall:
        out["calmar"] = overall["calmar"]
    else:
        annual = measures.annual_return(overall["net_pnl"], capital, len(days))
        out["calmar"] = measures.calmar(annual, overall.get("max_drawdown") or 0.0, capital)
    return out


class Objective:
    """A figure name of OBJECTIVES, or a function of a run's figures (its overall summary
    with ``sortino`` and ``calmar`` added) returning a number; higher is better."""

    def __init__(self, objective: str | Callable[[dict[str, Any]], Any]) -> None:
        if isinstance(objective, str):
            if objective not in OBJECTIVES:
                raise BacktestError(f"objective {objective!r} is not one of {', '.join(OBJECTIVES)} "
                                    "(or give a function of the run's summary)")
            self.name = objective
            self.function: Callable[[dict[str, Any]], Any] | None = None
        elif callable(objective):
            self.name = getattr(objective, "__qualname__", repr(objective))
            self.function = objective
        else:
            raise BacktestError(f"objective must be one of {', '.join(OBJECTIVES)} or a function, "
                                f"not {describe(objective)}")

    def score(self, figures: dict[str, Any]) -> tuple[float | None, str | None]:
        """(value, None), or (None, why) when the run has no value to rank it by."""
        if self.function is None:
            value = figures.get(self.name)
        else:
            try:
                value = self.function(dict(figures))
            except Exception as exc:  # noqa: BLE001 - the objective's failure belongs to its trial
                return None, f"the objective {self.name} raised {type(exc).__name__}: {exc}"
        if value is None:
            return None, f"{self.name} is undefined for this run (too few days or trades)"
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
            return None, f"the objective {self.name} gave {value!r}, not a finite number"
        return float(value), None
