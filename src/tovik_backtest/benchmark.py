"""Buy and hold: what doing nothing smart would have earned over a run's period.

For each instrument, one board lot (stocks) or one contract (futures) is bought at the
first tick of the period and sold at its last, charged with the run's own costs
(commission on both fills, tax on the sale: a day-trade rate only when both fall on one
trading day). ``max_drawdown`` is the largest fall of the held lot's net value (price
move times units and point value, less the purchase's costs) from its running peak,
which starts at nothing gained, over every tick."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

import numpy as np
import polars as pl

from tovik_backtest import market as mk
from tovik_backtest.costs import CostBook, Costs
from tovik_backtest.instruments import Instrument

__all__ = ["buy_and_hold", "BENCHMARK_SCHEMA"]

_TIME = pl.Datetime("ns", "Asia/Taipei")
BENCHMARK_SCHEMA: dict[str, pl.DataType] = {
    "code": pl.String(), "market": pl.String(), "quantity": pl.Int64(), "entry_time": _TIME,
    "entry_price": pl.Float64(), "exit_time": _TIME, "exit_price": pl.Float64(), "gross": pl.Float64(),
    "commission": pl.Float64(), "tax": pl.Float64(), "net": pl.Float64(), "return_pct": pl.Float64(),
    "max_drawdown": pl.Float64(),
}


def _held(code: str, market: str, ts: np.ndarray, close: np.ndarray, sizes: Any, costs: Costs,
          capital: float) -> dict[str, Any]:
    kind, per, factor = sizes.units(code, market, None)
    charger = CostBook(costs)
    first, last = float(close[0]), float(close[-1])
    sizing = {"shares_per_unit": per} if kind == "Stock" else {"point_value": factor}
    buy = charger.charge(code, market, "Buy", first, 1, trading_day=mk.trading_day_of(market, int(ts[0])), **sizing)
    sell = charger.charge(code, market, "Sell", last, 1, trading_day=mk.trading_day_of(market, int(ts[-1])),
                          **sizing)
    value = (close - first) * per * factor - buy.total
    value[-1] -= sell.total
    peak = np.maximum.accumulate(np.maximum(value, 0.0))
    gross = (last - first) * per * factor
    net = gross - buy.total - sell.total
    return {
        "code": code, "market": market, "quantity": per, "entry_time": int(ts[0]), "entry_price": first,
        "exit_time": int(ts[-1]), "exit_price": last, "gross": round(gross, 2),
        "commission": round(buy.commission + sell.commission, 2), "tax": round(buy.tax + sell.tax, 2),
        "net": round(net, 2), "return_pct": net / capital, "max_drawdown": round(float((peak - value).max()), 2),
    }


def buy_and_hold(instruments: Iterable[Instrument], ticks: pl.DataFrame, sizes: Any, costs: Costs,
                 capital: float) -> pl.DataFrame:
    """One row per instrument with ticks in ``ticks`` (code, ts in wall ns, close, in time
    order): ``quantity`` in shares or contracts, entry and exit, TWD ``gross``,
    ``commission``, ``tax``, ``net``, ``return_pct`` (net over ``capital``) and ``max_drawdown``."""
    rows = []
    for inst in instruments:
        mine = ticks.filter(pl.col("code") == inst.code)
        if mine.height:
            rows.append(_held(inst.code, inst.market, mine["ts"].to_numpy(), mine["close"].to_numpy().astype(float),
                              sizes, costs, capital))
    frame = pl.DataFrame(rows, schema={k: (pl.Int64() if v == _TIME else v) for k, v in BENCHMARK_SCHEMA.items()},
                         orient="row") if rows else pl.DataFrame(schema=BENCHMARK_SCHEMA)
    return frame.with_columns(pl.col(c).cast(pl.Datetime("ns")).dt.replace_time_zone("Asia/Taipei")
                              for c in ("entry_time", "exit_time"))
