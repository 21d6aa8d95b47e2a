"""The sample strategy: a moving-average crossover on every instrument.

Entries are ROD limit orders at the last price; exits are IOC limit orders a little
through the market, so an exit either fills at once or is cancelled by the exchange
and tried again on a later tick.
"""

from __future__ import annotations

from collections import deque
from typing import Any

from tovik_backtest.runner import Strategy
from tovik_backtest.sample_data import stock_tick_size


class MovingAverageCross(Strategy):
    """Long when the fast average of closes crosses above the slow one; flat otherwise."""

    def __init__(self, fast: int = 20, slow: int = 80, qty: int = 1, **params: Any) -> None:
        if not 0 < fast < slow:
            raise ValueError(f"need 0 < fast < slow, got fast={fast}, slow={slow}")
        super().__init__(fast=fast, slow=slow, qty=qty, **params)
        self.closes: dict[str, deque[float]] = {}
        self.above: dict[str, bool] = {}
        self.entries: dict[str, str | None] = {}  # instrument -> id of its resting entry

    def on_tick(self, tick: dict[str, Any]) -> None:
        code, close = tick["code"], tick["close"]
        window = self.closes.setdefault(code, deque(maxlen=self.slow))
        window.append(close)
        if len(window) < self.slow or tick["is_backfilling"]:
            return
        fast_ma = sum(list(window)[-self.fast:]) / self.fast
        slow_ma = sum(window) / self.slow
        above = fast_ma > slow_ma
        crossed = self.above.get(code)
        self.above[code] = above
        if crossed is None or crossed == above:
            return
        held = self.position(code)
        step = stock_tick_size(close) if tick["market_type"] == "Stock" else 1.0
        if above and held == 0 and code not in self.entries:
            self.buy(code, close, self.qty)  # ROD entry at the last price
            self.entries[code] = None  # id known once the order report arrives
            return
        if not above:
            entry = self.entries.get(code)
            if entry is not None:
                self.cancel(entry)  # the trend turned before the entry filled
            if held > 0:
                self.sell(code, close - 2 * step, held, order_type="IOC")  # exit now or not at all

    def on_order(self, report: dict[str, Any]) -> None:
        order = report["order"]
        if order["action"] != "Buy":
            return
        if report["operation_type"] == "New":
            self.entries[order["code"]] = order["id"]
        elif report["operation_type"] == "Cancel":
            self.entries.pop(order["code"], None)

    def on_deal(self, report: dict[str, Any]) -> None:
        if report["action"] == "Buy" and self.position(report["code"]) >= self.qty:
            self.entries.pop(report["code"], None)
