"""What a back-test produced: the reports, the position book, per-instrument figures, and
the ways to read them (summary, trades table, files, plot)."""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import polars as pl

from tovik_backtest.instruments import Instrument
from tovik_backtest.modules.positions.positions import Positions

__all__ = ["BacktestResult", "InstrumentStats"]


@dataclass
class InstrumentStats:
    code: str
    market: str
    ticks: int = 0
    orders: int = 0
    fills: int = 0
    filled_qty: int = 0
    exchange_cancels: int = 0
    expired: int = 0  # day (ROD) orders cancelled at their session close


@dataclass
class BacktestResult:
    """What a run produced: every report in arrival order, the position book and figures."""

    instruments: list[Instrument]
    reports: list[dict[str, Any]]
    positions: Positions
    stats: dict[str, InstrumentStats]
    backfilling_ticks: int
    wall_seconds: float
    params: dict[str, Any] = field(default_factory=dict)

    @property
    def ticks(self) -> int:
        return sum(s.ticks for s in self.stats.values())

    @property
    def ticks_per_second(self) -> float:
        return self.ticks / self.wall_seconds if self.wall_seconds > 0 else 0.0

    @property
    def deals(self) -> list[dict[str, Any]]:
        return [r for r in self.reports if "operation_type" not in r]

    def summary(self) -> dict[str, Any]:
        """Per instrument and overall figures (JSON-serialisable)."""
        book = self.positions.summary()
        per: dict[str, dict[str, Any]] = {}
        for code, s in self.stats.items():
            pos = book.get(code, {})
            per[code] = {
                "market": s.market,
                "ticks": s.ticks,
                "orders": s.orders,
                "fills": s.fills,
                "filled_qty": s.filled_qty,
                "exchange_cancels": s.exchange_cancels,
                "expired": s.expired,
                "net_position": pos.get("quantity", 0),
                "realized_pnl": pos.get("realized_pnl", 0.0),
                "unrealized_pnl": pos.get("unrealized_pnl", 0.0),
            }
        keys = ("ticks", "orders", "fills", "filled_qty", "exchange_cancels", "expired")
        overall: dict[str, Any] = {k: sum(v[k] for v in per.values()) for k in keys}
        overall["realized_pnl"] = sum(v["realized_pnl"] for v in per.values())
        overall["unrealized_pnl"] = sum(v["unrealized_pnl"] for v in per.values())
        overall["pnl"] = overall["realized_pnl"] + overall["unrealized_pnl"]
        overall["backfilling_ticks"] = self.backfilling_ticks
        overall["wall_seconds"] = self.wall_seconds
        overall["ticks_per_second"] = self.ticks_per_second
        return {"params": self.params, "instruments": per, "overall": overall}

    def trades(self) -> pl.DataFrame:
        """The fills, one row per deal report, in the order they happened."""
        schema = {
            "trade_id": pl.String,
            "code": pl.String,
            "action": pl.String,
            "quantity": pl.Int64,
            "price": pl.Float64,
            "exchange_ts": pl.Float64,
        }
        rows = [
            {
                "trade_id": d["id"],
                "code": d["code"],
                "action": str(d["action"]),
                "quantity": d["quantity"],
                "price": d["price"],
                "exchange_ts": d["exchange_ts"],
            }
            for d in self.deals
        ]
        return pl.DataFrame(rows, schema=schema, orient="row")

    def reports_jsonl(self) -> str:
        """Every report as one JSON line, enumeration members written as their text."""
        return "".join(json.dumps(r, ensure_ascii=False, default=str) + "\n" for r in self.reports)

    def save(self, folder: str | Path) -> Path:
        """Write reports.jsonl, trades.csv and summary.json into ``folder``."""
        out = Path(folder)
        out.mkdir(parents=True, exist_ok=True)
        (out / "reports.jsonl").write_text(self.reports_jsonl(), encoding="utf-8")
        self.trades().write_csv(out / "trades.csv")
        (out / "summary.json").write_text(
            json.dumps(self.summary(), ensure_ascii=False, indent=2, default=str), encoding="utf-8"
        )
        return out

    def plot(self, path: str | Path, ticks: pl.DataFrame | None = None) -> Path:
        """Draw fills (and prices, when ``ticks`` is given) and the P&L curve to a PNG."""
        from tovik_backtest.plot import plot_result

        return plot_result(self, Path(path), ticks)

