"""The TWD book of a run, kept in integer cents as the fills happen: cash, costs,
realised P&L per fill, round trips with their excursions, and the net equity marks.

Every money figure of a result (the summary's ``gross_pnl``, ``commission``, ``tax``,
``net_pnl``, the trades, round trips and equity tables) comes from this book; the
position book (``Positions``) keeps the strategy's view in price points. A price is
taken to the cent (rounded half to even), a fee through ``Decimal`` to the cent, so
sums are exact and every table adds up to the summary.

Per instrument the book keeps the open units (shares or contracts, buys positive) and
their cost basis in cents; a closing fill takes the basis of the units it closes (the
average cost, rounded to the cent, all of what is left when it closes the position),
so the realised cents of a round trip's fills add up to its gross P&L exactly. A
reversing fill's costs are shared between the trip it closes and the one it opens in
proportion to the units of each.

Net equity is capital + cash received - cash paid - costs + the open positions at
their own last tick prices. The native loop marks it at every tick (``equity.cpp``);
``mark`` here is the same rule for the queue-driven reference loop.
"""

from __future__ import annotations

import datetime as dt
from dataclasses import dataclass, field
from decimal import ROUND_HALF_EVEN, Decimal

from tovik_backtest.state import UNSET, EngineState

__all__ = ["Fill", "Ledger", "RoundTrip", "cents", "fee_cents", "to_twd"]

_CENT = Decimal("0.01")


def cents(price: float) -> int:
    """A price (or any TWD amount read as a float) in whole cents, half to even (as
    the native loop rounds a tick's price)."""
    return round(price * 100)


def fee_cents(amount: float) -> int:
    """A fee in cents, from the decimal text of the amount (12.345 is 1,234 cents)."""
    if type(amount) is int or (type(amount) is float and amount.is_integer()):
        return int(amount) * 100  # whole TWD, as most fees are
    return int(Decimal(str(amount)).quantize(_CENT, rounding=ROUND_HALF_EVEN) * 100)


def to_twd(amount_cents: int) -> float:
    return amount_cents / 100 + 0.0  # + 0.0 turns -0.0 into 0.0


def _round_div(a: int, b: int) -> int:
    """a / b rounded half to even (b > 0)."""
    q, r = divmod(a, b)
    return q + (1 if 2 * r > b or (2 * r == b and q % 2) else 0)


@dataclass(slots=True)
class Fill:
    time_ns: int
    trade_id: str
    code: str
    market: str
    action: str
    price_type: str | None
    order_type: str | None
    quantity: int  # as ordered (lots, shares of odd lots, contracts)
    price: float
    value_cents: int
    commission_cents: int
    tax_cents: int
    realized_cents: int  # what the fill closed, before costs
    order_lot: str | None = None  # a stock fill's lot kind: Common (board lots), Odd, IntradayOdd...


@dataclass(slots=True)
class RoundTrip:
    """Flat to flat (or to a reversal) on one instrument; money in cents, quantities in
    shares or contracts; ``factor`` TWD per point per unit."""

    code: str
    side: str
    entry_time_ns: int
    factor: int
    exit_time_ns: int = 0
    quantity: int = 0  # units opened
    entry_value: int = 0  # units x price in cents, summed over the opening fills
    exit_value: int = 0
    exit_quantity: int = 0
    gross_cents: int = 0
    costs_cents: int = 0
    mae_cents: int = 0  # lowest P&L before costs while open (0 or below)
    mfe_cents: int = 0  # highest (0 or above)
    worst_time_ns: int = 0

    @property
    def entry_price(self) -> float:
        return self.entry_value / self.quantity / 100 if self.quantity else 0.0

    @property
    def exit_price(self) -> float:
        return self.exit_value / self.exit_quantity / 100 if self.exit_quantity else 0.0

    @property
    def net_cents(self) -> int:
        return self.gross_cents - self.costs_cents

    def points(self, amount_cents: int) -> float:
        """An amount of this trip in price points: TWD over TWD per point of the units opened."""
        return amount_cents / 100 / (self.factor * self.quantity) + 0.0 if self.quantity else 0.0


@dataclass(slots=True)
class _Held:
    basis: int = 0  # cents paid (+) or received (-) for the open units
    trip: RoundTrip | None = None


@dataclass
class Ledger:
    """The run's TWD book over the codes of ``state`` (index k in the run's order)."""

    codes: list[str]
    state: EngineState
    capital_cents: int
    fills: list[Fill] = field(default_factory=list)
    round_trips: list[RoundTrip] = field(default_factory=list)
    # (time, net equity, drawdown) after each fill and at each session close
    points: list[tuple[int, int, int]] = field(default_factory=list)
    days: list[tuple[dt.date, int]] = field(default_factory=list)  # (trading day, equity at its end)
    realized: list[int] = field(init=False)
    commission: list[int] = field(init=False)
    tax: list[int] = field(init=False)
    rows: list[tuple[int, ...]] = field(default_factory=list)  # equity table rows the reference loop closed
    _held: list[_Held] = field(init=False)
    _open_codes: int = 0  # codes with a position open
    _at: list[tuple[int, ...]] = field(init=False)
    _base: int = field(init=False)
    _open_value: int = field(init=False)
    _peak: int = field(init=False)

    def __post_init__(self) -> None:
        n = len(self.codes)
        self.realized, self.commission, self.tax = [0] * n, [0] * n, [0] * n
        self._held = [_Held() for _ in range(n)]
        s = self.state
        s["base_cents"] = s["peak_cents"] = self.capital_cents
        # where the fields a fill changes lie: (units, factor, cash, price) per code
        self._at = [tuple(s.at(f, k) for f in ("units", "factor", "cash_cents", "price_cents")) for k in range(n)]
        self._base, self._open_value, self._peak = s.slot("base_cents"), s.slot("open_cents"), s.slot("peak_cents")

    # ---- fills -------------------------------------------------------------------------
    def deal(self, k: int, fill: Fill, units: int, buy: bool) -> None:
        """Book one fill of ``units`` shares or contracts of code ``k`` (``fill`` carries its
        price, costs and kinds; its realised cents are filled in here)."""
        a, held = self.state.array, self._held[k]
        i_units, i_factor, i_cash, i_price = self._at[k]
        factor = a[i_factor]
        price = cents(fill.price)
        signed = units if buy else -units
        flow = signed * factor * price
        cost = fill.commission_cents + fill.tax_cents
        before = a[i_units]
        after = before + signed
        cash = a[i_cash] - flow
        a[i_cash] = cash
        a[i_units] = after
        a[self._base] -= flow + cost
        a[self._open_value] += signed * factor * a[i_price]
        t = fill.time_ns
        realized = 0
        if before == 0 or (before > 0) == buy:  # opening or adding
            if held.trip is None:
                held.trip = self._open(k, t, cash, after, price)
            held.basis += flow
            held.trip.quantity += units
            held.trip.entry_value += units * price
            held.trip.costs_cents += cost
        else:
            closing = min(units, abs(before))
            removed = held.basis if closing == abs(before) else _round_div(held.basis * closing, abs(before))
            realized = (1 if before > 0 else -1) * closing * factor * price - removed
            held.basis -= removed
            share = cost if closing == units else _round_div(cost * closing, units)
            trip = held.trip
            assert trip is not None
            trip.exit_quantity += closing
            trip.exit_value += closing * price
            trip.gross_cents += realized
            trip.costs_cents += share
            if after == 0 or (after > 0) != (before > 0):
                self._close(k, trip, t)
                held.trip = None
                if after != 0:  # reversed: the rest opens a new trip at this fill
                    held.basis = after * factor * price
                    held.trip = self._open(k, t, cash, after, price)
                    held.trip.quantity = units - closing
                    held.trip.entry_value = (units - closing) * price
                    held.trip.costs_cents = cost - share
        fill.realized_cents = realized
        self.realized[k] += realized
        self.commission[k] += fill.commission_cents
        self.tax[k] += fill.tax_cents
        if (before == 0) != (after == 0):  # a position opened or closed
            self._open_codes += 1 if before == 0 else -1
            self.state["exposed"] = 1 if self._open_codes else 0
        self.fills.append(fill)
        self.point(t)

    def _open(self, k: int, t: int, cash: int, after: int, price: int) -> RoundTrip:
        s = self.state
        factor = s.of("factor", k)
        anchor = cash + after * factor * price
        s.put("anchor_cents", k, anchor)
        pnl = cash + after * factor * s.of("price_cents", k) - anchor
        for name, value in (("trip_low_cents", pnl), ("trip_high_cents", pnl), ("trip_low_ns", t),
                            ("trip_high_ns", t)):
            s.put(name, k, value)
        return RoundTrip(self.codes[k], "Long" if after > 0 else "Short", t, factor)

    def _close(self, k: int, trip: RoundTrip, t: int) -> None:
        s = self.state
        final = trip.gross_cents
        low, high = s.of("trip_low_cents", k), s.of("trip_high_cents", k)
        trip.exit_time_ns = t
        trip.mae_cents = min(0, low, final)
        trip.mfe_cents = max(0, high, final)
        trip.worst_time_ns = s.of("trip_low_ns", k) if low <= final else t
        self.round_trips.append(trip)

    # ---- marks -------------------------------------------------------------------------
    def equity_now(self) -> int:
        a = self.state.array
        return a[self._base] + a[self._open_value]

    def point(self, t: int) -> None:
        """A row of the fill table at ``t``: equity now, and its fall from the peak."""
        equity = self.equity_now()
        self.points.append((t, equity, equity - max(self.state.array[self._peak], equity)))

    def end_of_day(self, day: dt.date) -> None:
        equity = self.equity_now()
        if self.days and self.days[-1][0] == day:
            self.days[-1] = (day, equity)
        else:
            self.days.append((day, equity))

    def price(self, k: int, close: float) -> None:
        """A tick of code ``k`` at ``close``: its open position marked there (as
        ``equity.cpp``'s mark_price)."""
        s = self.state
        px = cents(close)
        units = s.of("units", k)
        if units:
            s["open_cents"] += units * s.of("factor", k) * (px - s.of("price_cents", k))
        s.put("price_cents", k, px)

    def mark(self, k: int, now: int) -> None:
        """After a tick's fills: the same marks as ``equity.cpp``'s mark_equity."""
        s = self.state
        equity = s["base_cents"] + s["open_cents"]
        if s["peak_ns"] == UNSET:
            s["peak_ns"] = now
        if equity >= s["peak_cents"]:
            if s["under"] and now - s["peak_ns"] > s["duration_ns"]:
                s["duration_ns"] = now - s["peak_ns"]
            s["under"], s["peak_cents"], s["peak_ns"] = 0, equity, now
        else:
            s["under"] = 1
        peak = s["peak_cents"]
        drawdown = equity - peak
        if -drawdown > s["drawdown_cents"]:
            s["drawdown_cents"] = -drawdown
        if drawdown < 0 and peak > 0 and -drawdown * s["share_peak_cents"] > s["share_fall_cents"] * peak:
            s["share_fall_cents"], s["share_peak_cents"] = -drawdown, peak
        s["last_ns"] = now
        bucket = now // s["interval_ns"]
        if bucket != s["bucket"]:
            if s["bucket"] != UNSET:
                self.rows.append(s.open_row())
            s["bucket"] = bucket
            s["equity_open"] = s["equity_high"] = s["equity_low"] = equity
            s["drawdown_open"] = s["drawdown_high"] = s["drawdown_low"] = drawdown
        else:
            s["equity_high"] = max(s["equity_high"], equity)
            s["equity_low"] = min(s["equity_low"], equity)
            s["drawdown_high"] = max(s["drawdown_high"], drawdown)
            s["drawdown_low"] = min(s["drawdown_low"], drawdown)
        s["equity_close"], s["drawdown_close"] = equity, drawdown
        units = s.of("units", k)
        if units:
            pnl = s.of("cash_cents", k) + units * s.of("factor", k) * s.of("price_cents", k) - s.of("anchor_cents", k)
            if pnl < s.of("trip_low_cents", k):
                s.put("trip_low_cents", k, pnl)
                s.put("trip_low_ns", k, now)
            if pnl > s.of("trip_high_cents", k):
                s.put("trip_high_cents", k, pnl)
                s.put("trip_high_ns", k, now)

    # ---- read-out ----------------------------------------------------------------------
    @property
    def equity(self) -> list[tuple[int, float]]:
        """(time, net equity in TWD) of the fill table's rows."""
        return [(t, to_twd(v)) for t, v, _ in self.points]

    def unrealized(self, k: int) -> int:
        s = self.state
        return s.of("units", k) * s.of("factor", k) * s.of("price_cents", k) - self._held[k].basis

    def max_drawdown_duration_ns(self) -> int:
        """The longest time from a peak to its recovery, or to the last tick when it never recovered."""
        s = self.state
        longest = s["duration_ns"]
        if s["under"]:
            longest = max(longest, s["last_ns"] - s["peak_ns"])
        return longest
