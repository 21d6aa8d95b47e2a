"""The sweep's result table: one row of figures per run, ranked by net P&L (TWD)."""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import polars as pl

__all__ = ["FIGURES", "RESERVED_COLUMNS", "build_table", "column_type", "empty_row"]

# Figures taken from a run's summary, in table order.
FIGURES: tuple[str, ...] = (
    "net_pnl",
    "gross_pnl",
    "commission",
    "tax",
    "max_drawdown",
    "round_trips",
    "win_rate",
    "sharpe",
    "fills",
    "filled_qty",
    "orders",
    "exchange_cancels",
    "expired",
    "ticks",
    "backfilling_ticks",
    "ticks_per_second",
    "wall_seconds",
)
_FIGURE_TYPES: dict[str, Any] = {
    name: (pl.Float64 if name in ("net_pnl", "gross_pnl", "commission", "tax", "max_drawdown",
                                  "win_rate", "sharpe", "ticks_per_second", "wall_seconds")
           else pl.Int64)
    for name in FIGURES
}
RESERVED_COLUMNS = frozenset(("run", *FIGURES, "error", "result"))


def empty_row(index: int, params: Mapping[str, Any], error: str | None = None) -> dict[str, Any]:
    """The row of run ``index`` before (or instead of) its figures."""
    row: dict[str, Any] = {"run": index, "params": dict(params)}
    row.update(dict.fromkeys(FIGURES))
    row["error"] = error
    row["result"] = None
    return row


def column_type(values: Sequence[Any]) -> Any:
    """The polars type of a parameter's column (None: shown as each value's text)."""
    kinds = {type(v) for v in values}
    if kinds == {bool}:
        return pl.Boolean
    if kinds == {int}:
        return pl.Int64
    if kinds and kinds <= {int, float}:
        return pl.Float64
    if kinds == {str}:
        return pl.String
    return None  # anything else is shown as its text


def build_table(names: Sequence[str], options: Mapping[str, Sequence[Any]],
                rows: Iterable[dict[str, Any]]) -> pl.DataFrame:
    """One row per run, sorted by net P&L (highest first, failed runs last), then by parameters."""
    rows = sorted(rows, key=lambda r: r["run"])
    columns: dict[str, pl.Series] = {"run": pl.Series("run", [r["run"] for r in rows], pl.Int64)}
    for name in names:
        dtype = column_type(options[name])
        values = [r["params"][name] for r in rows]
        if dtype is None:
            columns[name] = pl.Series(name, [repr(v) for v in values], pl.String)
        elif dtype == pl.Float64:
            columns[name] = pl.Series(name, [float(v) for v in values], pl.Float64)
        else:
            columns[name] = pl.Series(name, values, dtype)
    for name in FIGURES:
        columns[name] = pl.Series(name, [r[name] for r in rows], _FIGURE_TYPES[name], strict=False)
    columns["error"] = pl.Series("error", [r["error"] for r in rows], pl.String)
    columns["result"] = pl.Series("result", [r["result"] for r in rows], pl.String)
    table = pl.DataFrame(list(columns.values()))
    by = ["net_pnl", *names, "run"]
    return table.sort(by, descending=[True] + [False] * (len(by) - 1), nulls_last=True,
                      maintain_order=True)
