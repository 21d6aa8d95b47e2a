"""A run's fills in TWD: contract sizes, and the recorder both loops tell what happens.

During a run the ``Recorder`` is told every report (``report``), every session close
passed (``closes``) and, in the queue-driven reference loop, every tick (``price``
before its fills, ``mark`` after them; the native loop does those two itself on the
shared state). Each deal is charged through the run's ``CostBook`` and booked at once
in the TWD ledger (``ledger.Ledger``), in shares (stocks) or contracts (futures), so
odd and board lots of one stock net out correctly.

Reports and tick records carry POSIX seconds; times here are Taipei wall time written as
if UTC, in nanoseconds (the tick ``ts`` rule), so they compare with ``market``'s closes.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any

from tovik_backtest import market as mk
from tovik_backtest.costs import CostBook, Costs
from tovik_backtest.errors import BacktestError
from tovik_backtest.instruments import Instrument
from tovik_backtest.ledger import Fill, Ledger, cents, fee_cents
from tovik_backtest.state import EngineState

__all__ = ["EVERY", "Sizes", "Recorder", "parse_every", "seconds_to_ns"]

# Lengths of the equity table's rows a run may keep, in ns.
EVERY = {"1s": 10**9, "1m": 60 * 10**9, "5m": 300 * 10**9, "1d": 86_400 * 10**9}


def parse_every(every: object, what: str = "every") -> int:
    """The length in ns of an equity-table interval named like "1m"."""
    if not isinstance(every, str) or every not in EVERY:
        raise BacktestError(f"{what} must be one of {', '.join(map(repr, EVERY))}, not {every!r}")
    return EVERY[every]

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
    """What a run tells its results, booked as it happens (see the module's text).

    ``every`` is the length of the equity table's rows the run keeps ("1m" unless a
    finer table is asked for)."""

    def __init__(self, instruments: Iterable[Instrument], sizes: Sizes, costs: Costs | None = None,
                 capital: float = 1_000_000.0, every: str = "1m") -> None:
        instruments = list(instruments)
        self.codes = [i.code for i in instruments]
        self.index = {c: k for k, c in enumerate(self.codes)}
        self.markets = {i.code: i.market for i in instruments}
        self.sizes = sizes
        self.every = every
        self.clocks = {m: mk.SessionClock(m) for m in sorted(set(self.markets.values()))}
        self.orders: dict[str, dict[str, Any]] = {}
        self.charger = CostBook(costs if costs is not None else Costs())
        self.state = EngineState(len(self.codes))
        self.state["interval_ns"] = parse_every(every)
        for k, inst in enumerate(instruments):
            self.state.put("factor", k, sizes.units(inst.code, inst.market, None)[2])
        self.ledger = Ledger(self.codes, self.state, cents(float(capital)))
        self.tables: list[Any] = []  # the native loop's equity rows, a day's array at a time
        self.finished = False
        self._days: dict[tuple[str, int], Any] = {}  # (market, session close) -> its trading day
        self._units: dict[tuple[str, Any], tuple[str, int, int]] = {}  # (code, order lot) -> Sizes.units

    # ---- what both loops tell it ---------------------------------------------------------
    def report(self, report: dict[str, Any]) -> None:
        """An order report (its kinds are kept) or a deal report (charged and booked)."""
        if "operation_type" in report:
            order = report.get("order") or {}
            self.orders.setdefault(str(order.get("id")), order)
            return
        code = report["code"]
        k = self.index.get(code)
        if k is None:
            return
        market = self.markets[code]
        t = seconds_to_ns(report["exchange_ts"])
        order = self.orders.get(str(report["id"]), {})
        lot = report.get("order_lot", order.get("order_lot"))
        units = self._units.get((code, lot))
        if units is None:
            units = self._units[code, lot] = self.sizes.units(code, market, lot)
        kind, per, factor = units
        qty = int(report["quantity"])
        price = float(report["price"])
        action = _enum_text(report["action"]) or ""
        day = self._trading_day(market, t)
        if kind == "Stock":
            cost = self.charger.charge(code, market, action, price, qty, shares_per_unit=per, trading_day=day)
        else:
            cost = self.charger.charge(code, market, action, price, qty, point_value=factor, trading_day=day)
        fill = Fill(t, str(report["id"]), code, market, action, _enum_text(order.get("price_type")),
                    _enum_text(order.get("order_type")), qty, price, qty * per * factor * cents(price),
                    fee_cents(cost.commission), fee_cents(cost.tax), 0, _enum_text(lot) if kind == "Stock" else None)
        self.ledger.deal(k, fill, qty * per, action == "Buy")
        self.ledger.end_of_day(day)

    def _trading_day(self, market: str, t: int) -> Any:
        # Every time up to the session close ahead is of that close's trading day (the
        # closes before it were passed), so the day is looked up once per session.
        close = self.clocks[market].next_close
        if close is None or t > close:
            return mk.trading_day_of(market, t)
        day = self._days.get((market, close))
        if day is None:
            day = self._days[market, close] = mk.trading_day_of(market, close)
        return day

    def closes(self, ts_ns: int) -> None:
        """Before the first tick after ``ts_ns``'s predecessor: the session closes passed
        are marked at the equity of the last tick before them."""
        for name, clock in self.clocks.items():
            for close in clock.passed(ts_ns):
                self._close_mark(name, close)

    @property
    def next_close(self) -> int | None:
        """The earliest session close still ahead (ns), None before the first tick."""
        ahead = [c.next_close for c in self.clocks.values() if c.next_close is not None]
        return min(ahead) if ahead else None

    # ---- what the reference loop tells it (the native loop does this itself) -------------
    def price(self, code: str, close: float) -> None:
        """A tick of ``code`` at ``close``, before its fills."""
        self.ledger.price(self.index[code], close)

    def mark(self, code: str, ts_ns: int) -> None:
        """After the tick's fills: its count, exposure and the equity marks."""
        k = self.index[code]
        s = self.state
        s.put("ticks", k, s.of("ticks", k) + 1)
        if s["exposed"]:
            s["exposed_ticks"] += 1
        self.ledger.mark(k, ts_ns)

    # ---- the native loop's tables and the end ----------------------------------------------
    def add_table(self, rows: Any) -> None:
        """Rows of the equity table the native loop wrote (int64, ``state.ROW_FIELDS`` wide)."""
        if len(rows):
            self.tables.append(rows)

    def finish(self) -> None:
        """The closes of the sessions the last ticks were in, and the table's open row."""
        if self.finished:
            return
        self.finished = True
        last = sorted((c.next_close, name) for name, c in self.clocks.items() if c.next_close is not None)
        for close, name in last:
            self._close_mark(name, close)
        self.ledger.points.sort(key=lambda p: p[0])

    def _close_mark(self, market: str, close: int) -> None:
        self.ledger.point(close)
        day = self._days.pop((market, close), None)
        self.ledger.end_of_day(day if day is not None else mk.trading_day_of(market, close))

    def per_point(self, code: str) -> int:
        """TWD per price point of one board lot (stocks) or contract (futures) of ``code``."""
        _, per, factor = self.sizes.units(code, self.markets[code], None)
        return per * factor

    @property
    def ticks(self) -> int:
        return sum(self.state.of("ticks", k) for k in range(len(self.codes)))

    @property
    def exposed_ticks(self) -> int:
        return self.state["exposed_ticks"]


def _enum_text(value: Any) -> str | None:
    return None if value is None else str(getattr(value, "value", value))
