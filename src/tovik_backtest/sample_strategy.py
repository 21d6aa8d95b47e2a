"""The sample strategy: a moving-average crossover on every instrument.

Entries are ROD limit orders at the last price; exits are IOC limit orders at the last
price, so an exit either fills on the next tick or is cancelled by the exchange and
tried again on a later tick while the trend stays down.
"""

from __future__ import annotations

from collections import deque
from typing import Any

from tovik_backtest.runner import Strategy


class MovingAverageCross(Strategy):
    """Long when the fast average of closes crosses above the slow one; flat otherwise."""

    # Moving-average lengths in ticks, and lots (or contracts) per entry.
    params = {"fast": 20, "slow": 80, "qty": 1}
    fast: int
    slow: int
    qty: int

    def __init__(self, **params: Any) -> None:
        super().__init__(**params)
        if not 0 < self.fast < self.slow:
            raise ValueError(f"need 0 < fast < slow, got fast={self.fast}, slow={self.slow}")
        self.closes: dict[str, deque[float]] = {}
        self.above: dict[str, bool] = {}
        self.entries: dict[str, str | None] = {}  # instrument -> id of its resting entry
        self.exiting: set[str] = set()  # instruments with an IOC exit on its way

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
        held = self.position(code)
        if not above and held > 0 and code not in self.exiting:
            self.sell(code, close, held, order_type="IOC")  # exit at the last price or not at all
            self.exiting.add(code)
        if crossed is None or crossed == above:
            return
        if above and held == 0 and code not in self.entries:
            self.buy(code, close, self.qty)  # ROD entry at the last price
            self.entries[code] = None  # id known once the order report arrives
        elif not above and (entry := self.entries.get(code)) is not None:
            self.cancel(entry)  # the trend turned before the entry filled

    def on_order(self, report: dict[str, Any]) -> None:
        order = report["order"]
        if order["action"] != "Buy":
            if report["operation_type"] == "Cancel":
                self.exiting.discard(order["code"])  # the exchange cancelled the exit: try again
            return
        if report["operation_type"] == "New":
            self.entries[order["code"]] = order["id"]
        elif report["operation_type"] == "Cancel":
            self.entries.pop(order["code"], None)

    def on_deal(self, report: dict[str, Any]) -> None:
        code = report["code"]
        if report["action"] == "Buy" and self.position(code) >= self.qty:
            self.entries.pop(code, None)
        elif report["action"] == "Sell" and self.position(code) <= 0:
            self.exiting.discard(code)
