"""A run's fills in TWD: contract sizes, costs per fill, realised P&L, round trips and
the net equity curve.

During a run a ``Recorder`` keeps what only the replay knows: the order kinds of every
order, the last price of each instrument at every session close, and how many ticks
found a position open. After the run ``book_fills`` replays the deal reports in order
through one average-cost book per instrument, in shares (stocks) or contracts
(futures), so odd and board lots of one stock net out correctly.

Reports and tick records carry POSIX seconds; times here are Taipei wall time written as
if UTC, in nanoseconds (the tick ``ts`` rule), so they compare with ``market``'s closes.
"""

from __future__ import annotations

import datetime as dt
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any

from tovik_backtest import market as mk
from tovik_backtest.costs import CostBook, Costs
from tovik_backtest.errors import BacktestError
from tovik_backtest.instruments import Instrument

__all__ = ["Sizes", "Recorder", "Fill", "RoundTrip", "Book", "book_fills", "seconds_to_ns"]




seconds_to_ns = mk.posix_seconds_to_ns


@dataclass(frozen=True)
class Sizes:
    """Contract sizes of a run's instruments.

    ``lot_shares``: shares in one board lot per stock code (odd-lot orders count
    shares). ``point_values``: TWD per point per futures code.
    """

    lot_shares: Mapping[str, int]
    point_values: Mapping[str, int]

    @classmethod
    def of(cls, instruments: Iterable[Instrument], contract_sizes: Mapping[str, int] | None = None,
           api: Any = None) -> Sizes:
        """Sizes for ``instruments``; ``contract_sizes`` keys are futures products (TXF),
        futures codes or stock codes (shares per board lot). Where ``api`` is given, a
        broker contract's ``unit`` (stocks) or ``multiplier`` (futures) wins over the tables.
        Unknown futures products raise BacktestError."""
        overrides = _check_overrides(contract_sizes)
        lots: dict[str, int] = {}
        points: dict[str, int] = {}
        for inst in instruments:
            broker = _broker_unit(api, inst)
            if inst.market == "Stock":
                lots[inst.code] = overrides.get(inst.code) or broker or mk.BOARD_LOT_SHARES
                continue
            # what the caller says wins, then the broker's contract, then the product table
            if inst.code in overrides:
                points[inst.code] = overrides[inst.code]
                continue
            if broker is not None and mk.product_of(inst.code) not in overrides:
                points[inst.code] = broker
                continue
            try:
                points[inst.code] = mk.point_value(inst.code, overrides)
            except mk.ContractSizeError as exc:
                raise BacktestError(str(exc)) from None
        return cls(lots, points)

    def units(self, code: str, market: str, order_lot: Any) -> tuple[str, int, int]:
        """(kind, base units per order unit, TWD per price point per base unit)."""
        if market == "Stock":
            per = mk.shares_per_unit(order_lot) if order_lot is not None else mk.BOARD_LOT_SHARES
            return "Stock", (self.lot_shares[code] if per == mk.BOARD_LOT_SHARES else 1), 1
        return "Future", 1, self.point_values[code]


def _check_overrides(contract_sizes: Mapping[str, int] | None) -> dict[str, int]:
    if contract_sizes is None:
        return {}
    if not isinstance(contract_sizes, Mapping):
        raise BacktestError(
            f"contract_sizes must be a dict of code or product to size, e.g. {{'XYZ': 2000}}, "
            f"not {type(contract_sizes).__name__}")
    out: dict[str, int] = {}
    for key, value in contract_sizes.items():
        if type(key) is not str or not key:
            raise BacktestError(f"contract_sizes keys must be codes or products, not {key!r}")
        if type(value) is not int or value <= 0:
            raise BacktestError(f"contract size of {key} must be a whole number > 0, not {value!r}")
        out[key] = value
    return out


def _broker_unit(api: Any, inst: Instrument) -> int | None:
    """The size a logged-in broker gives the contract: ``unit`` (shares per lot) of a
    stock, ``multiplier`` (TWD per point) of a future; None where it has none."""
    if api is None:
        return None
    try:
        group = api.Contracts.Stocks if inst.market == "Stock" else api.Contracts.Futures
        contract = group[inst.code]
        size = getattr(contract, "unit" if inst.market == "Stock" else "multiplier", None)
    except Exception:  # noqa: BLE001 - any lookup failure falls back to the exchange's sizes
        return None
    # a float field holding a whole number counts; zero, negatives and fractions do not
    if type(size) is float and size.is_integer():
        size = int(size)
    return size if type(size) is int and size > 0 else None


class Recorder:
    """What the replay tells the results: order kinds, prices at session closes, exposure."""

    def __init__(self, instruments: Iterable[Instrument], sizes: Sizes) -> None:
        self.markets = {i.code: i.market for i in instruments}
        self.sizes = sizes
        self.clocks = {m: mk.SessionClock(m) for m in sorted(set(self.markets.values()))}
        self.last: dict[str, float] = {}
        self.marks: list[tuple[int, str, dict[str, float]]] = []  # (close, market, last prices)
        self.orders: dict[str, dict[str, Any]] = {}
        self.net: dict[str, int] = {}
        self.ticks = 0
        self.exposed_ticks = 0

    def report(self, report: dict[str, Any]) -> None:
        if "operation_type" in report:
            order = report.get("order") or {}
            self.orders.setdefault(str(order.get("id")), order)
            return
        code = report["code"]
        market = self.markets.get(code)
        if market is None:
            return
        _, per, _ = self.sizes.units(code, market, report.get("order_lot"))
        signed = int(report["quantity"]) * per
        self.net[code] = self.net.get(code, 0) + (signed if str(report["action"]) == "Buy" else -signed)

    def tick(self, record: dict[str, Any], ts: int) -> None:
        """After the tick's fills (``ts`` its time in ns, as ``market`` counts): note passed
        closes, then the tick's price and exposure."""
        for name, clock in self.clocks.items():
            for close in clock.passed(ts):
                self.marks.append((close, name, dict(self.last)))
        self.last[record["code"]] = float(record["close"])
        self.ticks += 1
        if any(self.net.values()):
            self.exposed_ticks += 1

    def finish(self) -> None:
        """The closes of the sessions the last ticks were in."""
        for name, clock in self.clocks.items():
            if clock.next_close is not None:
                self.marks.append((clock.next_close, name, dict(self.last)))
        self.marks.sort(key=lambda m: m[0])


@dataclass
class Fill:
    time_ns: int
    trade_id: str
    code: str
    market: str
    action: str
    price_type: str | None
    order_type: str | None
    quantity: int
    price: float
    value: float
    commission: float
    tax: float
    realized_pnl: float  # TWD, before costs


@dataclass
class RoundTrip:
    code: str
    side: str
    entry_time_ns: int
    exit_time_ns: int = 0
    quantity: int = 0  # shares or contracts opened
    entry_value: float = 0.0
    exit_value: float = 0.0
    exit_quantity: int = 0
    gross: float = 0.0
    costs: float = 0.0

    @property
    def entry_price(self) -> float:
        return self.entry_value / self.quantity if self.quantity else 0.0

    @property
    def exit_price(self) -> float:
        return self.exit_value / self.exit_quantity if self.exit_quantity else 0.0

    @property
    def net(self) -> float:
        return self.gross - self.costs


@dataclass
class _Open:
    qty: int = 0  # signed base units
    avg: float = 0.0
    factor: int = 1
    realized: float = 0.0
    trip: RoundTrip | None = None


@dataclass
class Book:
    """TWD figures of a run, from its fills (see ``book_fills``)."""

    fills: list[Fill] = field(default_factory=list)
    round_trips: list[RoundTrip] = field(default_factory=list)
    equity: list[tuple[int, float]] = field(default_factory=list)  # (time, net equity)
    days: list[tuple[dt.date, float]] = field(default_factory=list)  # (trading day, equity at its end)
    realized: dict[str, float] = field(default_factory=dict)
    unrealized: dict[str, float] = field(default_factory=dict)
    commission: dict[str, float] = field(default_factory=dict)
    tax: dict[str, float] = field(default_factory=dict)
    futures_without_commission: bool = False


def _enum_text(value: Any) -> str | None:
    return None if value is None else str(getattr(value, "value", value))


def book_fills(deals: Iterable[dict[str, Any]], recorder: Recorder, costs: Costs, capital: float) -> Book:
    """Replay the deal reports (in order) into fills, round trips and the equity curve."""
    book = Book()
    charger = CostBook(costs)
    opens: dict[str, _Open] = {}
    last: dict[str, float] = {}
    marks = list(recorder.marks)
    cum_realized = 0.0
    cum_costs = 0.0

    def equity_at(prices: Mapping[str, float]) -> float:
        unreal = sum((prices.get(c, o.avg) - o.avg) * o.qty * o.factor for c, o in opens.items() if o.qty)
        return capital + cum_realized + unreal - cum_costs

    def mark_until(time_ns: int) -> None:
        # session closes before this fill: equity at the prices of that close
        while marks and marks[0][0] < time_ns:
            close, name, prices = marks.pop(0)
            value = equity_at({**last, **prices})
            book.equity.append((close, value))
            _end_of_day(book, mk.trading_day_of(name, close), value)

    for deal in deals:
        code = deal["code"]
        market = recorder.markets.get(code)
        if market is None:
            continue
        t = seconds_to_ns(deal["exchange_ts"])
        mark_until(t)
        order = recorder.orders.get(str(deal["id"]), {})
        lot = deal.get("order_lot", order.get("order_lot"))
        kind, per, factor = recorder.sizes.units(code, market, lot)
        qty = int(deal["quantity"])
        price = float(deal["price"])
        action = _enum_text(deal["action"]) or ""
        day = mk.trading_day_of(market, t)
        if kind == "Stock":
            cost = charger.charge(code, market, action, price, qty, shares_per_unit=per, trading_day=day)
        else:
            cost = charger.charge(code, market, action, price, qty, point_value=factor, trading_day=day)
        pos = opens.setdefault(code, _Open(factor=factor))
        realized = _apply(book, pos, code, action, qty * per, price, t, cost.total)
        cum_realized += realized
        cum_costs += cost.total
        last[code] = price
        book.commission[code] = book.commission.get(code, 0.0) + cost.commission
        book.tax[code] = book.tax.get(code, 0.0) + cost.tax
        book.fills.append(Fill(t, str(deal["id"]), code, market, action, _enum_text(order.get("price_type")),
                               _enum_text(order.get("order_type")), qty, price, cost.value,
                               cost.commission, cost.tax, realized))
        value = equity_at(last)
        book.equity.append((t, value))
        _end_of_day(book, day, value)
    mark_until(1 << 62)
    final = {**last, **recorder.last}
    for code, pos in opens.items():
        book.realized[code] = pos.realized
        book.unrealized[code] = (final.get(code, pos.avg) - pos.avg) * pos.qty * pos.factor if pos.qty else 0.0
    book.futures_without_commission = charger.futures_without_commission
    return book


def _end_of_day(book: Book, day: dt.date, value: float) -> None:
    if book.days and book.days[-1][0] == day:
        book.days[-1] = (day, value)
    else:
        book.days.append((day, value))


def _apply(book: Book, pos: _Open, code: str, action: str, units: int, price: float, t: int,
           cost: float) -> float:
    """Apply one fill of ``units`` shares/contracts; returns the TWD realised by it."""
    signed = units if action == "Buy" else -units
    if pos.qty == 0 or (pos.qty > 0) == (signed > 0):
        if pos.qty == 0:
            pos.trip = RoundTrip(code, "Long" if signed > 0 else "Short", t)
        trip = pos.trip
        assert trip is not None
        pos.avg = (pos.avg * abs(pos.qty) + price * units) / (abs(pos.qty) + units)
        pos.qty += signed
        trip.quantity += units
        trip.entry_value += price * units
        trip.costs += cost
        return 0.0
    closing = min(units, abs(pos.qty))
    direction = 1 if pos.qty > 0 else -1
    realized = (price - pos.avg) * closing * direction * pos.factor
    pos.realized += realized
    trip = pos.trip
    assert trip is not None
    trip.exit_quantity += closing
    trip.exit_value += price * closing
    trip.gross += realized
    trip.costs += cost * closing / units
    pos.qty += signed
    if pos.qty == 0 or (pos.qty > 0) != (direction > 0):
        trip.exit_time_ns = t
        book.round_trips.append(trip)
        pos.trip = None
        if pos.qty == 0:
            pos.avg = 0.0
        else:  # reversed: the remainder opens a new trip at this fill
            rest = units - closing
            pos.avg = price
            pos.trip = RoundTrip(code, "Long" if pos.qty > 0 else "Short", t, quantity=rest,
                                 entry_value=price * rest, costs=cost * rest / units)
    return realized
