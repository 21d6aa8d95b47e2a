"""The runner's order desk: a strategy's requests checked and carried out on the spot.

The desk calls the matcher's ``add_order``, ``modify_order`` and ``cancel_order`` on the
runner's own thread, so the strategy learns at once whether a request was taken (the
new order's id) or refused (``OrderRefused`` with the reason). It also expires day
(ROD) orders at the close of the session they were placed in, and applies the exchanges'
own refusals (``exchange_rules``). The tick data holds no odd-lot book, so the desk has
the matcher fill odd-lot orders whole at a tick's price, outside its board-lot volume.
"""

from __future__ import annotations

import math
import numbers
import operator
from typing import Any

from tovik_backtest import market as mk
from tovik_backtest.constant import BASIC_INFO, OCType, OrderCond, OrderLot, OrderType, PriceType
from tovik_backtest.errors import OrderRefused
from tovik_backtest.exchange_rules import ExchangeRules
from tovik_backtest.instruments import Instrument
from tovik_backtest.modules.positions.positions import BOARD_LOT_SHARES

__all__ = ["OrderDesk", "tick_ts_ns"]

_KNOWN_PRICES = 4096  # on-grid prices remembered per run before the memory starts over
_ODD_LOTS = (OrderLot.ODD.value, OrderLot.INTRADAY_ODD.value)



def tick_ts_ns(record: dict[str, Any]) -> int:
    """A replayed tick's time in the ``market`` convention (Taipei wall time as epoch ns)."""
    return mk.posix_seconds_to_ns(record["timestamp"])


def _quantity(value: Any, what: str) -> int:
    if isinstance(value, bool):
        raise OrderRefused(f"{what} must be a whole number, not the boolean {value}")
    try:
        return operator.index(value)
    except TypeError:
        raise OrderRefused(f"{what} must be a whole number, not {type(value).__name__} {value!r}") from None


def _price(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise OrderRefused(f"{what} must be a number, not {type(value).__name__} {value!r}")
    return float(value)


def _request(action: str, code: Any) -> str:
    """How a refusal names the order (made only when one is refused)."""
    return f"{action.lower()} {code!r}"


def _text(value: Any) -> str:
    return str(getattr(value, "value", value))


def _member_text(value: Any, kind: Any, what: str, request: str, used: bool = True) -> str:
    """The text value of an order field, given as its text or as a member of ``kind``; a
    field the order's market ``used`` must hold one of the member values."""
    if type(value) is kind:
        text: str = value.value
        return text
    if type(value) is not str:
        raise OrderRefused(f"{request}: {what} must be text such as {next(iter(kind)).value!r}, "
                           f"not {type(value).__name__} {value!r}")
    if used and value not in kind._value2member_map_:
        raise OrderRefused(f"{request} refused by the exchange: {what} {value!r} is not one of "
                           f"{', '.join(m.value for m in kind)}")
    return value


def _refusal(exc: Exception) -> bool:
    """Whether the matcher's exception is the exchange refusing a request: its refusals are
    plain ``Exception``s; anything else (a fault, a bug) is not the strategy's to catch."""
    return type(exc) is Exception


class OrderDesk:
    """Checks and places one run's orders and keeps the day orders' expiry times."""

    def __init__(self, matcher: Any, instruments: list[Instrument], stats: dict[str, Any]) -> None:
        self.matcher = matcher
        self.markets = {i.code: i.market for i in instruments}
        self.stats = stats
        self.now_ns: int | None = None  # time of the tick being handled; None before the first
        # trade_id -> (code, close in ns or None until the first tick tells the time)
        self._day_orders: dict[str, tuple[str, int | None]] = {}
        self._next_close: int | None = None
        self._unplaced = False  # day orders placed before the first tick, close not yet known
        self._on_grid: set[tuple[str, float]] = set()  # limit prices known to be on the grid
        self._closes: dict[str, tuple[int, int]] = {}  # market -> (a time asked, its session close)
        self.rules = ExchangeRules(BASIC_INFO.data_dir, stats)
        self._day_trade_sells: set[str] = set()  # ids of sell-first day trades (need no shares)
        # A back-test has no odd-lot book: odd-lot orders fill whole, beside the board
        # lots; and a modification that cuts every open lot cancels the order (also one
        # that reaches the exchange after a latency), so no 0-lot order is left to fill.
        for rule in ("fill_odd_lots_whole", "cancel_emptied_orders"):
            turn_on = getattr(matcher, rule, None)
            if turn_on is not None:
                turn_on(True)

    # ---- requests ----------------------------------------------------------------------
    def add(self, action: str, code: Any, price: Any, qty: Any, price_type: Any, order_type: Any,
            order_cond: Any, order_lot: Any, oc_type: Any, product_type: Any, daytrade_short: Any = False) -> str:
        market = self.markets.get(code) if isinstance(code, str) else None
        if market is None:
            raise OrderRefused(f"{_request(action, code)}: {code!r} is not an instrument of this back-test "
                               f"({', '.join(self.markets)})")
        if product_type is None:
            product_type = market
        elif product_type != market:
            raise OrderRefused(f"{_request(action, code)}: product_type {product_type!r} contradicts the market "
                               f"of {code}, {market}; leave product_type out")
        quantity = qty if type(qty) is int else _quantity(qty, f"{_request(action, code)}: the quantity")
        if quantity < 1:
            raise OrderRefused(f"{_request(action, code)}: the quantity must be at least 1, not {quantity}")
        value = price if type(price) is float else _price(price, f"{_request(action, code)}: the price")
        request = _request(action, code)
        price_type = _member_text(price_type, PriceType, "price_type", request)
        order_type = _member_text(order_type, OrderType, "order_type", request)
        # the fields of the other market are passed on unread, but must be text too
        stock = market == "Stock"
        order_cond = _member_text(order_cond, OrderCond, "order_cond", request, stock)
        order_lot = _member_text(order_lot, OrderLot, "order_lot", request, stock)
        oc_type = _member_text(oc_type, OCType, "oc_type", request, not stock)
        if type(daytrade_short) is not bool:
            raise OrderRefused(f"{request}: daytrade_short must be True or False, not {daytrade_short!r}")
        if price_type == "LMT" and (code, value) not in self._on_grid:
            reason = mk.price_off_grid_reason(market, code, value)
            if reason is not None:
                raise OrderRefused(f"{request}: {reason}")
            if len(self._on_grid) >= _KNOWN_PRICES:
                self._on_grid.clear()
            self._on_grid.add((code, value))
        now = self.now_ns
        close = None if now is None else self._session_close(market, now)
        reason = self.rules.order_reason(code, market, action, value, quantity, price_type, order_type,
                                         order_cond, order_lot, now, close)
        if reason is None and stock and action == "Sell" and order_cond == "Cash" and not daytrade_short:
            reason = self._uncovered_sell(code, quantity, order_lot)
        if reason is not None:
            raise OrderRefused(f"{request} refused by the exchange: {reason}")
        before = len(self.matcher.pending_orders)
        try:
            self.matcher.add_order(code, product_type, action, value, quantity, price_type, order_type,
                                   order_cond, order_lot, oc_type)
        except Exception as exc:
            if not _refusal(exc):
                raise
            raise OrderRefused(f"{request} refused by the exchange: {exc}") from None
        pending = self.matcher.pending_orders
        if len(pending) != before + 1:
            raise OrderRefused(f"{_request(action, code)}: the exchange took the order but stored no record of it")
        trade_id: str = pending[-1]["trade_id"]
        if daytrade_short:
            self._day_trade_sells.add(trade_id)
        if order_type == "ROD":
            self._day_orders[trade_id] = (code, close)
            self._unplaced = self._unplaced or close is None
            if close is not None and (self._next_close is None or close < self._next_close):
                self._next_close = close
        return trade_id

    def _uncovered_sell(self, code: str, quantity: int, order_lot: str) -> str | None:
        """Why a Cash sell of ``quantity`` is more than the shares held can cover (less what
        the resting Cash sells offer already), or None."""
        positions = getattr(self.matcher, "positions", None)
        if positions is None:
            return None
        lot = positions.lot_shares.get(code, BOARD_LOT_SHARES)
        offered = 0
        for record in self.matcher.pending_orders:
            if (record.get("code") == code and _text(record.get("action")) == "Sell"
                    and _text(record.get("order_cond")) == "Cash" and record["trade_id"] not in self._day_trade_sells):
                offered += int(record["quantity"]) * (1 if _text(record.get("order_lot")) in _ODD_LOTS else lot)
        shares = quantity * (1 if order_lot in _ODD_LOTS else lot)
        return self.rules.cash_sell_reason(code, shares, positions.net_quantity(code), offered)

    def _session_close(self, market: str, ts_ns: int) -> int:
        # Orders come in time order: the close found for an earlier time holds for every
        # time up to it (no close lies between that time and it).
        asked, close = self._closes.get(market, (None, 0))
        if asked is None or not asked <= ts_ns <= close:
            close = mk.session_close(market, ts_ns)
            self._closes[market] = (ts_ns, close)
        return close

    def modify(self, trade_id: Any, qty: Any, price: Any) -> None:
        record = self._resting(trade_id, "modify")
        what = f"modify {trade_id}"
        cut = None if qty is None else _quantity(qty, f"{what}: the quantity")
        value = None if price is None else _price(price, f"{what}: the price")
        if value is not None and value != 0.0:
            # Checked here so a refused price never leaves a quantity cut half-done.
            code = record["code"]
            if not (math.isfinite(value) and value > 0):
                raise OrderRefused(f"{what}: the price must be finite and > 0, not {value!r}")
            if _text(record.get("price_type")) == "LMT":
                market = self.markets[code]
                reason = mk.price_off_grid_reason(market, code, value)
                if reason is None and self.now_ns is not None:
                    reason = self.rules.price_reason(code, market, value, self.now_ns,
                                                     self._session_close(market, self.now_ns))
                if reason is not None:
                    raise OrderRefused(f"{what}: {reason}")
        self._send_modify(record, trade_id, cut, value)

    def _send_modify(self, record: dict[str, Any], trade_id: str, cut: int | None, value: float | None) -> None:
        """Hand the checked modification to the exchange."""
        try:
            self.matcher.modify_order(trade_id, cut, value)
        except Exception as exc:
            if not _refusal(exc):
                raise
            raise OrderRefused(f"modify {trade_id} refused by the exchange: {exc}") from None

    def cancel(self, trade_id: Any) -> None:
        self._resting(trade_id, "cancel")
        self._day_orders.pop(trade_id, None)
        try:
            self.matcher.cancel_order(trade_id)
        except Exception as exc:
            if not _refusal(exc):
                raise
            raise OrderRefused(f"cancel {trade_id} refused by the exchange: {exc}") from None

    def _resting(self, trade_id: Any, verb: str) -> dict[str, Any]:
        if type(trade_id) is not str:
            raise OrderRefused(f"{verb}: an order id is a text (what buy/sell returned), "
                               f"not {type(trade_id).__name__} {trade_id!r}")
        for record in self.matcher.pending_orders:
            if record["trade_id"] == trade_id:
                found: dict[str, Any] = record
                return found
        raise OrderRefused(f"{verb} {trade_id}: no resting order has this id "
                           "(filled, cancelled, expired or never placed)")

    # ---- day orders --------------------------------------------------------------------
    @property
    def next_close(self) -> int | None:
        """The earliest close (ns) of a resting day order, None when there is none."""
        return self._next_close

    def at_tick(self, ts_ns: int) -> int:
        """Expire the day orders whose session closed before ``ts_ns``; the count expired."""
        self.now_ns = ts_ns
        expired = 0
        if self._next_close is not None and ts_ns > self._next_close:
            expired = self._expire(lambda close: close is not None and close < ts_ns)
        if self._unplaced:
            # placed before the first tick: they live through the session of this one
            self._unplaced = False
            for trade_id, (code, close) in list(self._day_orders.items()):
                if close is None:
                    self._day_orders[trade_id] = (code, mk.session_close(self.markets[code], ts_ns))
            self._next_close = min((c for _, c in self._day_orders.values() if c is not None), default=None)
        return expired

    def expire_all(self) -> int:
        """End of the run: every day order still resting expires."""
        return self._expire(lambda close: True)

    def _expire(self, due: Any) -> int:
        resting = {r["trade_id"] for r in self.matcher.pending_orders}
        expired = 0
        for trade_id, (code, close) in list(self._day_orders.items()):
            if trade_id not in resting:
                del self._day_orders[trade_id]  # filled or cancelled meanwhile
            elif due(close):
                del self._day_orders[trade_id]
                self.matcher.cancel_order(trade_id)
                stats = self.stats.get(code)
                if stats is not None:
                    stats.expired += 1
                expired += 1
        closes = [c for _, c in self._day_orders.values() if c is not None]
        self._next_close = min(closes) if closes else None
        return expired
