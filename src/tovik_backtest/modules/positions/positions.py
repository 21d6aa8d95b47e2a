"""Position book: every trade record, and per instrument the net position and its P&L.

The matcher tells it every tick (``set_current_tick``), every fill and exchange
cancellation (``add_trade_record``) and every fill again as a position change
(``set_positions``). Quantities count shares for stocks (a board-lot fill of ``n`` lots
is ``n`` times the lot's shares, an odd-lot fill counts its shares) and contracts for
futures; P&L is in price points times that quantity (no futures multiplier), so a stock's
P&L is in TWD.
"""

from __future__ import annotations

import math
import threading
from dataclasses import dataclass, field
from typing import Any

__all__ = ["Positions", "Position", "BOARD_LOT_SHARES"]

_BUY = "Buy"
BOARD_LOT_SHARES = 1000
_ODD_LOTS = ("Odd", "IntradayOdd")


@dataclass
class Position:
    code: str
    product_type: str | None = None
    quantity: int = 0  # net shares (stocks) or contracts (futures): buys positive, sells negative
    avg_price: float = 0.0  # average open price of the net position
    realized_pnl: float = 0.0
    last_price: float | None = None
    bought: int = 0
    sold: int = 0
    fills: int = 0
    lot_shares: int = 1  # shares in one board lot (1 for futures)

    @property
    def lots(self) -> int:
        """The whole board lots (stocks) or contracts of the net position; a part lot of
        odd shares is left out (toward zero)."""
        whole = abs(self.quantity) // self.lot_shares
        return whole if self.quantity >= 0 else -whole

    @property
    def unrealized_pnl(self) -> float:
        if self.quantity == 0 or self.last_price is None:
            return 0.0
        return (self.last_price - self.avg_price) * self.quantity

    def as_dict(self) -> dict[str, Any]:
        return {
            "code": self.code,
            "product_type": self.product_type,
            "quantity": self.quantity,
            "avg_price": self.avg_price,
            "realized_pnl": self.realized_pnl,
            "unrealized_pnl": self.unrealized_pnl,
            "last_price": self.last_price,
            "bought": self.bought,
            "sold": self.sold,
            "fills": self.fills,
        }


@dataclass
class Positions:
    """The back-test's position book."""

    trade_records: list[dict[str, Any]] = field(default_factory=list)
    positions: dict[str, Position] = field(default_factory=dict)
    current_tick: dict[str, Any] | None = None
    # shares per board lot of stocks whose lot is not the usual 1,000
    lot_shares: dict[str, int] = field(default_factory=dict)
    _lock: threading.RLock = field(default_factory=threading.RLock, repr=False, compare=False)

    def _position(self, code: str) -> Position:
        pos = self.positions.get(code)
        if pos is None:
            pos = self.positions[code] = Position(code)
        return pos

    def set_current_tick(self, tick: dict[str, Any]) -> None:
        """Remember the tick and mark the instrument's open position to its close."""
        with self._lock:
            self.current_tick = tick
            code = tick.get("code")
            close = tick.get("close")
            if code is None or close is None:
                return
            pos = self.positions.get(code)
            if pos is not None:
                pos.last_price = float(close)

    def add_trade_record(
        self,
        trade_id: str,
        code: str,
        action: Any,
        quantity: int,
        price: float | None,
        timestamp: float | None,
        trade_status: str,
    ) -> None:
        """Keep one trade record: a fill ("Deal") or a cancellation by the exchange ("Cancel")."""
        with self._lock:
            self.trade_records.append(
                {
                    "trade_id": trade_id,
                    "code": code,
                    "action": str(action),
                    "quantity": quantity,
                    "price": price,
                    "timestamp": timestamp,
                    "trade_status": trade_status,
                }
            )

    def _shares_per_unit(self, code: str, product_type: str, trade: dict[str, Any]) -> int:
        if product_type != "Stock":
            return 1
        lot = trade.get("order_lot")
        if str(getattr(lot, "value", lot)) in _ODD_LOTS:
            return 1
        return self.lot_shares.get(code, BOARD_LOT_SHARES)

    def set_positions(self, trade: dict[str, Any], product_type: str) -> None:
        """Apply one fill (a deal record) to the instrument's net position."""
        qty = int(trade["quantity"])
        price = float(trade["price"])
        if qty < 0 or not math.isfinite(price):
            raise ValueError(f"invalid fill: quantity {qty}, price {price}")
        with self._lock:
            code = trade["code"]
            qty *= self._shares_per_unit(code, product_type, trade)
            pos = self._position(code)
            pos.product_type = product_type
            pos.lot_shares = self.lot_shares.get(code, BOARD_LOT_SHARES) if product_type == "Stock" else 1
            pos.fills += 1
            if qty == 0:
                return
            signed = qty if trade["action"] == _BUY else -qty
            if signed > 0:
                pos.bought += qty
            else:
                pos.sold += qty
            if pos.last_price is None:
                pos.last_price = price
            if pos.quantity == 0 or (pos.quantity > 0) == (signed > 0):
                # opening or adding: the average open price moves
                total = abs(pos.quantity) + qty
                pos.avg_price = (pos.avg_price * abs(pos.quantity) + price * qty) / total
                pos.quantity += signed
                return
            # closing (and perhaps reversing)
            closing = min(qty, abs(pos.quantity))
            direction = 1 if pos.quantity > 0 else -1
            pos.realized_pnl += (price - pos.avg_price) * closing * direction
            pos.quantity += signed
            if pos.quantity == 0:
                pos.avg_price = 0.0
            elif (pos.quantity > 0) != (direction > 0):
                pos.avg_price = price  # reversed: the remainder opened at this fill

    # Read-side helpers for strategies and the runner.
    def get(self, code: str) -> Position | None:
        return self.positions.get(code)

    def net_quantity(self, code: str) -> int:
        """Net shares (stocks) or contracts (futures) of ``code``."""
        pos = self.positions.get(code)
        return pos.quantity if pos else 0

    def net_lots(self, code: str) -> int:
        """Net whole board lots (stocks) or contracts (futures) of ``code``."""
        pos = self.positions.get(code)
        return pos.lots if pos else 0

    def summary(self) -> dict[str, dict[str, Any]]:
        with self._lock:
            return {code: pos.as_dict() for code, pos in self.positions.items()}
