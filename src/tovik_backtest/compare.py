"""The optimism gap: one strategy run once per fill model over the same period.

``compare_fills`` runs a fresh strategy under each model and returns one row per model:
its net P&L, fills and filled quantity, and how far each falls short of the first model
(by default ``Touch``, the most optimistic). A strategy whose profit lives in passive
fills at the touch shows a large gap.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import polars as pl

from tovik_backtest.config import CONFIG_FIELDS, RunConfig, config_of
from tovik_backtest.errors import BacktestError
from tovik_backtest.fills import FillModel, Queue, Touch, check_fills
from tovik_backtest.results import BacktestResult
from tovik_backtest.runner import Backtest

__all__ = ["compare_fills", "fills_table", "gap_lines"]


def compare_fills(
    strategy_factory: Callable[[], Any],
    instruments: Sequence[Any] | None = None,
    start: str | None = None,
    end: str | None = None,
    *,
    models: Sequence[FillModel] = (Touch(), Queue()),
    config: RunConfig | None = None,
    api: Any = None,
    **fields: Any,
) -> pl.DataFrame:
    """Run ``strategy_factory()`` once per fill model of ``models`` and compare them.

    The run is described as ``Backtest`` takes it: ``config=RunConfig(...)``, or
    ``instruments``, ``start``, ``end`` and any other field of the configuration
    (``data_dir``, ``seed``, ``costs`` ...) one by one; its ``fills`` is each model in
    turn. Returns one row per model (see ``fills_table``)."""
    if not callable(strategy_factory):
        raise BacktestError("compare_fills needs a function that makes a fresh strategy for each run, "
                            f"not {type(strategy_factory).__name__}")
    checked = _models(models)
    if "fills" in fields:
        raise BacktestError("compare_fills takes its fill models as models=[...], not fills=")
    unknown = sorted(set(fields) - set(CONFIG_FIELDS))
    if unknown:
        raise BacktestError(f"compare_fills has no use for {', '.join(unknown)}; the run's fields are: "
                            f"{', '.join(CONFIG_FIELDS)}")
    base = config_of(config, {"instruments": instruments, "start": start, "end": end, **fields})
    runs = [(model, Backtest(strategy_factory(), config=base.replace(fills=model), api=api).run())
            for model in checked]
    return fills_table(runs)


def _models(models: Any) -> list[FillModel]:
    if isinstance(models, (Touch, Queue)) or not isinstance(models, Sequence) or not models:
        raise BacktestError(f"models must be a list of fill models such as [Touch(), Queue()], not {models!r}")
    checked = [check_fills(m) for m in models]
    if len(set(checked)) != len(checked):
        raise BacktestError("models names one fill model twice")
    return checked


def fills_table(runs: Sequence[tuple[FillModel, BacktestResult]]) -> pl.DataFrame:
    """One row per (model, result): ``model`` (its summary name), ``net_pnl`` (TWD),
    ``fills``, ``filled_qty``, ``round_trips``, and ``net_pnl_gap`` / ``fills_gap``:
    the first row's figure minus this row's (the first row's are 0)."""
    rows: list[dict[str, Any]] = []
    for model, result in runs:
        overall = result.summary()["overall"]
        rows.append({"model": model.name, "net_pnl": float(overall["net_pnl"]), "fills": int(overall["fills"]),
                     "filled_qty": int(overall["filled_qty"]), "round_trips": int(overall["round_trips"])})
    first_net = rows[0]["net_pnl"] if rows else 0.0
    first_fills = rows[0]["fills"] if rows else 0
    for row in rows:
        row["net_pnl_gap"] = round(first_net - row["net_pnl"], 2)
        row["fills_gap"] = first_fills - row["fills"]
    schema = {"model": pl.String, "net_pnl": pl.Float64, "fills": pl.Int64, "filled_qty": pl.Int64,
              "round_trips": pl.Int64, "net_pnl_gap": pl.Float64, "fills_gap": pl.Int64}
    return pl.DataFrame(rows, schema=schema)


def _twd(value: float) -> str:
    return f"{value:,.0f}" if value == int(value) else f"{value:,.2f}"


def gap_lines(table: pl.DataFrame) -> list[str]:
    """One line per model, then the optimism gap of each later model against the first."""
    rows = table.to_dicts()
    lines = [f"{r['model']}: net P&L {_twd(r['net_pnl'])} TWD · {r['fills']} fills ({r['filled_qty']} filled) · "
             f"{r['round_trips']} round trips" for r in rows]
    for r in rows[1:]:
        lines.append(f"optimism gap of {rows[0]['model']} over {r['model']}: net P&L {_twd(r['net_pnl_gap'])} TWD, "
                     f"{r['fills_gap']} fills")
    return lines
