"""Performance measures of a net equity curve and of round trips (TWD)."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

__all__ = ["drawdowns", "drawdown_measures", "sharpe", "trip_measures", "TRADING_DAYS_PER_YEAR"]

TRADING_DAYS_PER_YEAR = 252


def drawdowns(equity: Sequence[float], start: float) -> list[float]:
    """Equity minus its running peak (0 or below) at each point; the peak starts at ``start``."""
    peak = start
    out = []
    for value in equity:
        peak = max(peak, value)
        out.append(value - peak)
    return out


def drawdown_measures(equity: Sequence[float], start: float) -> dict[str, float]:
    """``max_drawdown``: the largest fall from a peak (TWD, >= 0); ``max_drawdown_pct``: the
    largest fall as a fraction of the peak it fell from."""
    peak = start
    worst = 0.0
    worst_pct = 0.0
    for value in equity:
        peak = max(peak, value)
        fall = peak - value
        worst = max(worst, fall)
        if peak > 0:
            worst_pct = max(worst_pct, fall / peak)
    return {"max_drawdown": worst, "max_drawdown_pct": worst_pct}


def sharpe(day_end_equity: Sequence[float], capital: float) -> float | None:
    """Annualised Sharpe ratio of daily net P&L over ``capital`` (no risk-free rate).

    ``day_end_equity``: equity at the end of each trading day, in order; the first day's
    P&L is measured from ``capital``. None with fewer than two days or no variation.
    """
    if len(day_end_equity) < 2 or capital <= 0:
        return None
    previous = capital
    returns = []
    for value in day_end_equity:
        returns.append((value - previous) / capital)
        previous = value
    mean = sum(returns) / len(returns)
    var = sum((r - mean) ** 2 for r in returns) / (len(returns) - 1)
    if var <= 0:
        return None
    return mean / math.sqrt(var) * math.sqrt(TRADING_DAYS_PER_YEAR)


def trip_measures(nets: Sequence[float]) -> dict[str, Any]:
    """``round_trips``, ``win_rate`` (share with net > 0), ``profit_factor`` (won / lost;
    None when nothing was lost) and ``average_trade`` (mean net), None without trips."""
    n = len(nets)
    won = sum(x for x in nets if x > 0)
    lost = -sum(x for x in nets if x < 0)
    return {
        "round_trips": n,
        "win_rate": sum(1 for x in nets if x > 0) / n if n else None,
        "profit_factor": won / lost if lost > 0 else None,
        "average_trade": sum(nets) / n if n else None,
    }
