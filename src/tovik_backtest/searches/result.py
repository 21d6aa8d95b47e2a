"""What a search hands back: the trials' table and, with walk-forward, the folds' table,
the out-of-sample equity stitched together and its headline figures."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import polars as pl

from tovik_backtest import measures
from tovik_backtest.searches.objective import figures_of
from tovik_backtest.sweeps.table import FIGURES, column_type

__all__ = ["SearchResult", "stitch", "trials_table"]

_FLOATS = ("value", "sortino", "calmar", "profit_factor")


def _param_series(name: str, values: list[Any], options: Sequence[Any]) -> pl.Series:
    dtype = column_type(list(options) + [v for v in values if v is not None])
    if dtype is None:
        return pl.Series(name, [repr(v) for v in values], pl.String)
    if dtype == pl.Float64:
        return pl.Series(name, [None if v is None else float(v) for v in values], pl.Float64)
    return pl.Series(name, values, dtype)


def trials_table(names: Sequence[str], plain: Mapping[str, Sequence[Any]], rows: Sequence[dict[str, Any]],
                 *, folds: Mapping[str, int] | None = None) -> pl.DataFrame:
    """One row per trial in trial order (and fold order): its parameters, the objective's
    value, the run's figures and its error."""
    columns: list[pl.Series] = []
    if folds is not None:
        columns.append(pl.Series("fold", [folds[r["study"]] for r in rows], pl.Int64))
    columns.append(pl.Series("trial", [r["trial"] for r in rows], pl.Int64))
    for name in names:
        columns.append(_param_series(name, [r["params"].get(name) for r in rows], plain[name]))
    for name in _FLOATS:
        columns.append(pl.Series(name, [r.get(name) for r in rows], pl.Float64, strict=False))
    for name in FIGURES:
        kind = pl.Int64 if name in ("round_trips", "fills", "filled_qty", "orders", "exchange_cancels",
                                    "expired", "ticks", "backfilling_ticks") else pl.Float64
        columns.append(pl.Series(name, [r.get(name) for r in rows], kind, strict=False))
    columns.append(pl.Series("error", [r.get("why") if r.get("value") is None else None for r in rows],
                             pl.String))
    return pl.DataFrame(columns)


def stitch(rows: Sequence[dict[str, Any]], capital: float) -> tuple[pl.DataFrame, dict[str, Any]]:
    """The out-of-sample runs' equity one after another, each fold starting where the one
    before ended, and the headline figures of that one curve."""
    offset = 0.0
    times: list[int] = []
    values: list[float] = []
    folds: list[int] = []
    day_end: list[float] = []
    trips: list[float] = []
    net = 0.0
    for number, row in enumerate(rows, start=1):
        for t, value in row["equity"]:
            times.append(t)
            values.append(value + offset)
            folds.append(number)
        day_end.extend(value + offset for _, value in row["days"])
        trips.extend(row["trips"])
        net += row["overall"]["net_pnl"]
        offset += row["overall"]["net_pnl"]
    curve = pl.DataFrame([
        pl.Series("fold", folds, pl.Int64),
        pl.Series("time", times, pl.Int64).cast(pl.Datetime("ns")).dt.replace_time_zone("Asia/Taipei"),
        pl.Series("equity", [round(v, 2) for v in values], pl.Float64),
    ])
    overall: dict[str, Any] = {"net_pnl": round(net, 2), "capital": capital,
                               "sharpe": measures.sharpe(day_end, capital),
                               **measures.drawdown_measures(values, capital),
                               **measures.trip_measures(trips)}
    headline = figures_of(overall, day_end, trips)
    headline.update(round_trips=len(trips), folds=len(rows))
    return curve, headline


@dataclass
class SearchResult:
    """``table``: one row per trial. ``best``: the parameters of the best trial (of the
    last fold with walk-forward), ``best_value`` its objective's value. With walk-forward,
    ``folds`` has one row per fold (chosen parameters, in-sample and out-of-sample
    figures), ``equity`` the out-of-sample equity stitched together and ``headline`` its
    figures, out-of-sample only."""

    table: pl.DataFrame
    best: dict[str, Any] | None
    best_value: float | None
    folds: pl.DataFrame | None = None
    equity: pl.DataFrame | None = None
    headline: dict[str, Any] | None = None
    extra: dict[str, Any] = field(default_factory=dict)
