"""Performance measures of a net equity curve and of round trips (TWD)."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any, NamedTuple

__all__ = [
    "TRADING_DAYS_PER_YEAR", "annual_return", "calmar", "costs_share", "daily_return_measures", "daily_returns",
    "drawdown_measures", "drawdowns", "losing_streak", "run_measures", "sharpe", "sortino", "trip_breakdown",
    "trip_figures", "trip_measures", "Trip",
]

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
    returns = daily_returns(day_end_equity, capital)
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


# ---- daily returns and what is read from them ----------------------------------------


def daily_returns(day_end_equity: Sequence[float], capital: float) -> list[float]:
    """Each trading day's net P&L over ``capital``; the first day's from ``capital``."""
    previous = capital
    out = []
    for value in day_end_equity:
        out.append((value - previous) / capital)
        previous = value
    return out


def daily_return_measures(returns: Sequence[float]) -> dict[str, Any]:
    """``days``, ``mean``, ``stdev`` (sample, n - 1), ``best``, ``worst`` and
    ``winning_share`` (share of days with a gain) of daily returns; None where undefined."""
    n = len(returns)
    mean = sum(returns) / n if n else None
    stdev = (math.sqrt(sum((r - mean) ** 2 for r in returns) / (n - 1))
             if n > 1 and mean is not None else None)
    return {
        "days": n,
        "mean": mean,
        "stdev": stdev,
        "best": max(returns) if n else None,
        "worst": min(returns) if n else None,
        "winning_share": sum(1 for r in returns if r > 0) / n if n else None,
    }


def sortino(returns: Sequence[float]) -> float | None:
    """Annualised Sortino ratio: mean daily return over the downside deviation
    sqrt(sum(min(r, 0)^2) / n), times sqrt(252). None with fewer than two days or no loss."""
    n = len(returns)
    if n < 2:
        return None
    downside = math.sqrt(sum(min(r, 0.0) ** 2 for r in returns) / n)
    if downside <= 0:
        return None
    return sum(returns) / n / downside * math.sqrt(TRADING_DAYS_PER_YEAR)


def annual_return(net_pnl: float, capital: float, days: int) -> float | None:
    """Net P&L over capital, scaled from ``days`` trading days to 252 (not compounded,
    as the daily returns are P&L over a fixed capital). None without days."""
    if days <= 0 or capital <= 0:
        return None
    return net_pnl / capital * TRADING_DAYS_PER_YEAR / days


def calmar(annual: float | None, max_drawdown: float, capital: float) -> float | None:
    """Annual return over the largest fall as a share of capital; None without a fall."""
    if annual is None or max_drawdown <= 0 or capital <= 0:
        return None
    return annual / (max_drawdown / capital)


# ---- round trips -------------------------------------------------------------------


def losing_streak(nets: Sequence[float]) -> int:
    """The most round trips in a row (in the order they closed) with a net loss."""
    longest = current = 0
    for net in nets:
        current = current + 1 if net < 0 else 0
        longest = max(longest, current)
    return longest


class Trip(NamedTuple):
    """What the measures read of a closed round trip."""

    code: str
    side: str  # "Long" or "Short"
    net: float  # TWD, after costs
    duration: float  # seconds from entry to exit


def trip_breakdown(trips: Sequence[Trip], key: str) -> dict[str, dict[str, Any]]:
    """``trip_figures`` for each value of the trips' field ``key`` ("code" or "side")."""
    groups: dict[str, list[Trip]] = {}
    for trip in trips:
        groups.setdefault(str(getattr(trip, key)), []).append(trip)
    return {name: trip_figures(group) for name, group in groups.items()}


def trip_figures(trips: Sequence[Trip]) -> dict[str, Any]:
    """The round trips' ``trip_measures``, their summed ``net_pnl``, ``longest_losing_streak``
    and ``average_duration`` (seconds; None without trips)."""
    nets = [t.net for t in trips]
    figures = trip_measures(nets)
    figures["net_pnl"] = sum(nets)
    figures["longest_losing_streak"] = losing_streak(nets)
    figures["average_duration"] = sum(t.duration for t in trips) / len(trips) if trips else None
    return figures


def costs_share(commission: float, tax: float, gross_pnl: float) -> float | None:
    """Commission and tax over gross P&L; None when the gross is not a gain."""
    return (commission + tax) / gross_pnl if gross_pnl > 0 else None


def run_measures(day_end_equity: Sequence[float], trips: Sequence[Trip], capital: float,
                 overall: dict[str, Any]) -> dict[str, Any]:
    """The measures ``overall`` gains beyond its money and drawdown figures (which it
    must already hold: ``net_pnl``, ``gross_pnl``, ``commission``, ``tax``, ``max_drawdown``)."""
    returns = daily_returns(day_end_equity, capital)
    annual = annual_return(overall["net_pnl"], capital, len(returns))
    whole = trip_figures(trips)
    return {
        "return_pct": overall["net_pnl"] / capital,
        "annual_return": annual,
        "sortino": sortino(returns),
        "calmar": calmar(annual, overall["max_drawdown"], capital),
        "daily_returns": daily_return_measures(returns),
        "longest_losing_streak": whole["longest_losing_streak"],
        "average_duration": whole["average_duration"],
        "costs_share": costs_share(overall["commission"], overall["tax"], overall["gross_pnl"]),
        "by_instrument": trip_breakdown(trips, "code"),
        "by_side": trip_breakdown(trips, "side"),
    }
