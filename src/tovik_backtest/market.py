"""Exchange facts a simulation needs: contract sizes, the price grid, sessions.

Timestamps
    Tick ``ts`` values are Taipei wall-clock time written as if it were UTC: the
    nanoseconds from 1970-01-01 00:00 *naive* to the local time (the broker stamps ticks
    that way and the tick cache keeps it). 09:00 in Taipei is therefore ``ts % day ==
    9 h``. Every ``ts_ns`` taken or returned here uses the same convention, so
    ``session_close`` compares directly with tick timestamps; no time zone is applied.
Sessions
    Trading days come from the XTAI calendar of ``exchange_calendars``, built once and
    kept beside the tick cache (see ``trading_calendar``). Stocks close at 13:30. Futures trade a day session
    08:45-13:45 and a night session from 15:00 of a trading day to 05:00 the next
    morning; the night session belongs to the next trading day (a Friday night runs to
    Saturday 05:00). A night session is assumed after every trading day. An order placed
    outside a session lasts until the next close.
Ticks of a day
    A tick cache file holds one trading day as the broker delivers it (``api.ticks(date=D)``
    gives a trading day): a stock's ticks lie on the calendar day, 08:30 to the end of
    14:30 (trial matching before the open, the fixed-price session after the close); a
    future's trading day opens with the night session of the evening before (from 14:50,
    the night session's pre-open, of the previous trading day to the end of 05:00 the next
    morning), then the day session, 08:30 (pre-open) to the end of 13:45.
    ``tick_windows`` gives those stretches. ``price_range`` tells the prices an
    instrument can print: up to the last step of the exchange's top price band for
    stocks and ETFs (the exchange's price field holds five integer digits), up to a
    bound far above any index level for futures.
Price grid
    Stocks: 0.01 below 10, 0.05 below 50, 0.1 below 100, 0.5 below 500, 1 below 1,000,
    5 from 1,000. Futures: 1 point (index futures TXF/MXF/TMF; other products are
    assumed to step 1 point too). Prices are read as ``Decimal(str(price))`` rounded to
    six places, so float noise such as 10.299999999999999 counts as 10.3.
"""

from __future__ import annotations

import bisect
import datetime as dt
import math
import re
from collections.abc import Mapping
from decimal import ROUND_CEILING, ROUND_FLOOR, Decimal

from tovik_backtest import trading_calendar
from tovik_backtest.constant import OrderLot

_TAIPEI_OFFSET_NS = 8 * 3600 * 1_000_000_000

__all__ = [
    "TAIPEI",
    "is_etf",
    "posix_seconds_to_ns",
    "BOARD_LOT_SHARES",
    "POINT_VALUES",
    "ContractSizeError",
    "PastCalendarError",
    "shares_per_unit",
    "product_of",
    "point_value",
    "parse_contract_size",
    "tick_size",
    "price_off_grid_reason",
    "price_range",
    "previous_trading_day",
    "tick_windows",
    "price_limits",
    "in_stock_call_auction",
    "trading_days",
    "is_trading_day",
    "session_close",
    "trading_day_of",
    "SessionClock",
    "yesterday_taipei",
]

BOARD_LOT_SHARES = 1000

POINT_VALUES: Mapping[str, int] = {"TXF": 200, "MXF": 50, "TMF": 10}
"""TWD per index point of one contract, by futures product."""

_MARKETS = ("Stock", "Future")
_ODD_LOTS = (OrderLot.ODD, OrderLot.INTRADAY_ODD)

NS = 1_000_000_000
_DAY_NS = 86_400 * NS
_EPOCH = dt.date(1970, 1, 1)
TAIPEI = dt.timezone(dt.timedelta(hours=8))  # no daylight saving since 1979


class ContractSizeError(ValueError):
    """The size of a contract is unknown or was given wrongly."""


class PastCalendarError(ValueError):
    """A day after the last trading day the exchange calendar knows."""


def _check_market(market: object) -> str:
    if market not in _MARKETS:
        raise ValueError(f"market must be one of {', '.join(_MARKETS)}, not {market!r}")
    return market


# --- contract sizes ---------------------------------------------------------------------


def shares_per_unit(order_lot: OrderLot | str) -> int:
    """Shares in one unit of order quantity: 1,000 for board-lot kinds, 1 for odd lots.

    "Common", "BlockTrade" and "Fixing" orders count lots of 1,000 shares; "Odd" and
    "IntradayOdd" orders count shares.
    """
    lot = OrderLot.from_value(order_lot)
    return 1 if lot in _ODD_LOTS else BOARD_LOT_SHARES


# product letters, then a month letter (A-L) or the rolling R, then digits; or the
# product followed by a yyyymm month
_CODE = re.compile(r"^([A-Z]+?)(?:\d{6}|[A-LR]\d)$")


def product_of(code: str) -> str:
    """The futures product of ``code``: "TXFR1" -> "TXF", "MXFA4" -> "MXF", "TXF202412" -> "TXF"."""
    if type(code) is not str:
        raise TypeError(f"futures code must be a str, not {type(code).__name__}")
    match = _CODE.match(code)
    if match is None:
        raise ContractSizeError(
            f"{code!r} is not a futures code: expected product letters and a month, e.g. TXFR1 or MXFA4"
        )
    return match.group(1)


def point_value(code: str, overrides: Mapping[str, int] | None = None) -> int:
    """TWD per point of one contract of future ``code``; ``overrides`` (by product) win."""
    product = product_of(code)
    if overrides and product in overrides:
        value = overrides[product]
        if type(value) is not int or value <= 0:
            raise ContractSizeError(f"contract size of {product} must be a whole number > 0, not {value!r}")
        return value
    try:
        return POINT_VALUES[product]
    except KeyError:
        raise ContractSizeError(
            f"contract size of futures product {product} (code {code}) is unknown: give it in TWD per point, "
            f'e.g. contract_sizes={{"{product}": 2000}} or --contract-size {product}=2000'
        ) from None


def parse_contract_size(text: str) -> tuple[str, int]:
    """Parse "PRODUCT=TWD_PER_POINT" (as given on the command line) into (product, size)."""
    if type(text) is not str:
        raise TypeError(f"contract size must be text like XYZ=2000, not {type(text).__name__}")
    product, sep, size = (part.strip() for part in text.partition("="))
    if not sep or not product or not size:
        raise ContractSizeError(f"contract size {text!r} must look like PRODUCT=TWD_PER_POINT, e.g. XYZ=2000")
    if not re.fullmatch(r"[A-Z]+", product):
        raise ContractSizeError(f"product in {text!r} must be capital letters, e.g. XYZ=2000")
    if not size.isdigit() or int(size) <= 0:
        raise ContractSizeError(f"size in {text!r} must be a whole number of TWD per point > 0, e.g. {product}=2000")
    return product, int(size)


# --- price grid -------------------------------------------------------------------------

# (upper bound of the band, step); the last band is open
_STOCK_BANDS: tuple[tuple[Decimal | None, Decimal], ...] = (
    (Decimal(10), Decimal("0.01")),
    (Decimal(50), Decimal("0.05")),
    (Decimal(100), Decimal("0.1")),
    (Decimal(500), Decimal("0.5")),
    (Decimal(1000), Decimal(1)),
    (None, Decimal(5)),
)
# Exchange-traded funds (codes beginning "00") have a grid of their own
_ETF_BANDS: tuple[tuple[Decimal | None, Decimal], ...] = (
    (Decimal(50), Decimal("0.01")),
    (None, Decimal("0.05")),
)
_FUTURE_STEP = Decimal(1)
_NOISE = Decimal("0.000001")

def _price(code: str, price: object) -> Decimal:
    if type(price) not in (int, float):
        raise TypeError(f"price of {code} must be an int or float, not {type(price).__name__}")
    value = float(price)  # type: ignore[arg-type]
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"price of {code} must be a finite number > 0, not {price!r}")
    if value > _FUTURE_RANGE[1]:
        # beyond every market's range; Decimal would also run out of places on it
        raise ValueError(f"price of {code} must be at most {_FUTURE_RANGE[1]:,.0f}, not {price!r}")
    # no grid has steps below 0.01: six places absorb the noise of float arithmetic
    # (0.1 + 0.2 is 0.30000000000000004) without ever moving a real price
    return Decimal(str(price)).quantize(_NOISE)


def _fmt(value: Decimal) -> str:
    return f"{value.normalize():,f}"


def is_etf(code: str) -> bool:
    """Whether stock ``code`` is an exchange-traded fund (its code begins "00")."""
    return code.startswith("00")


def _band(market: str, code: str, price: Decimal) -> tuple[Decimal, str]:
    """Step at ``price`` and the band's description for messages."""
    if market == "Future":
        return _FUTURE_STEP, "step 1 point"
    low = Decimal(0)
    for high, step in _ETF_BANDS if is_etf(code) else _STOCK_BANDS:
        if high is None:
            return step, f"step {_fmt(step)} from {_fmt(low)}"
        if price < high:
            where = f"below {_fmt(high)}" if low == 0 else f"from {_fmt(low)} to {_fmt(high)}"
            return step, f"step {_fmt(step)} {where}"
        low = high
    raise AssertionError("unreachable")


def tick_size(market: str, code: str, price: float) -> float:
    """The price step of ``code`` at ``price`` (bands of the stock or ETF grid, 1 point for futures)."""
    _check_market(market)
    return float(_band(market, code, _price(code, price))[0])


def price_off_grid_reason(market: str, code: str, price: float) -> str | None:
    """None when ``price`` is on the exchange's grid, else why not and the valid neighbours.

    E.g. "590.5 is off the price grid of 2330 (step 1 from 500 to 1,000): use 590 or 591".
    """
    _check_market(market)
    if type(price) in (int, float) and not (math.isfinite(price) and price > 0):
        return f"{price!r} is not a valid price of {code}: prices are finite and > 0"
    low, high = price_range(market, code)
    if type(price) in (int, float) and not low <= price <= high:
        return (f"{price!r} is outside the price range of {code} "
                f"({_fmt(Decimal(str(low)))} to {_fmt(Decimal(str(high)))})")
    value = _price(code, price)
    step, band = _band(market, code, value)
    below = (value / step).to_integral_value(rounding=ROUND_FLOOR) * step
    if below == value:
        return None
    return f"{_fmt(value)} is off the price grid of {code} ({band}): use {_fmt(below)} or {_fmt(below + step)}"


# The prices a stock or ETF can trade at: from the grid's first step up to the last
# step of its top band that the exchange's five-digit price field holds (the band is
# open-ended: steps of 5 for stocks, 0.05 for ETFs). No index future has come within a
# fortieth of its ceiling; a price above it is not real.
_STOCK_RANGE = (0.01, 99_995.0)
_ETF_RANGE = (0.01, 99_999.95)
_FUTURE_RANGE = (1.0, 1_000_000.0)


def price_range(market: str, code: str) -> tuple[float, float]:
    """The lowest and highest price ``code`` can trade at, both included: a stock 0.01
    to 99,995 TWD, an ETF 0.01 to 99,999.95 (the top steps of their grids below the
    exchange's five-digit price field), a future 1 to 1,000,000 points. A tick or a
    limit price above the top is not a real price."""
    _check_market(market)
    if market == "Future":
        return _FUTURE_RANGE
    return _ETF_RANGE if is_etf(code) else _STOCK_RANGE


def _to_grid(market: str, code: str, price: Decimal, rounding: str) -> Decimal:
    step, _ = _band(market, code, price)
    return (price / step).to_integral_value(rounding=rounding) * step


def price_limits(market: str, code: str, reference: float) -> tuple[float, float]:
    """The limit-down and limit-up prices of a day whose reference price (the previous
    trading day's close of a stock, last price of a future) is ``reference``: 90% rounded
    up to the price grid and 110% rounded down, so both lie within 10% of it
    (582 gives 524 and 640)."""
    _check_market(market)
    ref = _price(code, reference)
    up = _to_grid(market, code, ref * Decimal("1.1"), ROUND_FLOOR)
    down = _to_grid(market, code, ref * Decimal("0.9"), ROUND_CEILING)
    return float(down), float(up)


# --- trading days -----------------------------------------------------------------------

def _sessions(covering: dt.date) -> list[dt.date]:
    """The trading days from at least the year before ``covering``'s on."""
    days = trading_calendar.sessions(covering).days
    if covering > days[-1]:
        raise PastCalendarError(
            f"{covering} is past the last trading day the exchange calendar knows ({days[-1]}): "
            "upgrade exchange-calendars"
        )
    return days


def _as_date(name: str, value: object) -> dt.date:
    if type(value) is dt.date:
        return value
    if type(value) is str:
        try:
            return dt.date.fromisoformat(value)
        except ValueError:
            pass
        raise ValueError(f"{name} must be a date like 2024-01-02, not {value!r}")
    raise TypeError(f"{name} must be a datetime.date or YYYY-MM-DD text, not {type(value).__name__}")


def trading_days(start: dt.date | str, end: dt.date | str) -> list[dt.date]:
    """Trading days of the Taiwan exchanges from ``start`` to ``end``, both included."""
    first, last = _as_date("start", start), _as_date("end", end)
    if first > last:
        raise ValueError(f"start {first} is after end {last}")
    days = _sessions(first)
    return days[bisect.bisect_left(days, first) : bisect.bisect_right(days, last)]


def is_trading_day(day: dt.date | str) -> bool:
    """Whether ``day`` is a trading day of the Taiwan exchanges."""
    day = _as_date("day", day)
    days = _sessions(day)
    i = bisect.bisect_left(days, day)
    return i < len(days) and days[i] == day


# --- sessions ---------------------------------------------------------------------------

_STOCK_CLOSE = (13 * 3600 + 30 * 60) * NS
_FUTURE_DAY_CLOSE = (13 * 3600 + 45 * 60) * NS
_FUTURE_NIGHT_CLOSE = _DAY_NS + 5 * 3600 * NS  # 05:00 the morning after


def _day_ns(day: dt.date) -> int:
    return (day - _EPOCH).days * _DAY_NS


def _closes_of(market: str, day: dt.date) -> tuple[int, ...]:
    base = _day_ns(day)
    if market == "Stock":
        return (base + _STOCK_CLOSE,)
    return (base + _FUTURE_DAY_CLOSE, base + _FUTURE_NIGHT_CLOSE)


# Stock call auctions: the opening one before 09:00, the closing one from 13:25 to the
# 13:30 close; the prints at 09:00:00 and 13:30:00 are their results.
_STOCK_AUCTIONS = (((8 * 60 + 30) * 60 * NS, 9 * 3600 * NS), ((13 * 60 + 25) * 60 * NS, _STOCK_CLOSE))


def in_stock_call_auction(ts_ns: int) -> bool:
    """Whether ``ts_ns`` (tick convention) lies in a stock call auction: 08:30 up to 09:00
    or 13:25 up to 13:30 (the auctions' own prints at 09:00 and 13:30 are outside)."""
    clock = ts_ns % _DAY_NS
    (open_begin, open_end), (close_begin, close_end) = _STOCK_AUCTIONS
    return open_begin <= clock < open_end or close_begin <= clock < close_end


def session_close(market: str, ts_ns: int) -> int:
    """The close of the session ``ts_ns`` is in, or the next close when it is in none.

    A timestamp exactly at a close still belongs to that session. ``ts_ns`` and the
    result are Taipei wall time as epoch nanoseconds (the tick ``ts`` convention).
    """
    _check_market(market)
    if type(ts_ns) is not int:
        raise TypeError(f"ts_ns must be an int of nanoseconds, not {type(ts_ns).__name__}")
    day = _EPOCH + dt.timedelta(days=ts_ns // _DAY_NS)
    # the previous trading day's night session may still be open after midnight
    days = _sessions(day - dt.timedelta(days=1))
    i = max(bisect.bisect_left(days, day) - 1, 0)
    while i < len(days):
        for close in _closes_of(market, days[i]):
            if close >= ts_ns:
                return close
        i += 1
    raise PastCalendarError(
        f"{day} is past the last trading day the exchange calendar knows ({days[-1]}): upgrade exchange-calendars"
    )


def trading_day_of(market: str, ts_ns: int) -> dt.date:
    """The trading day of the session ``ts_ns`` is in (or of the next session when none).

    A futures night session belongs to the next trading day: Tuesday 23:00 is
    Wednesday's, Friday 23:00 is Monday's. Give this as ``trading_day`` when charging a
    fill, so that day-trade matching follows the exchange's day.
    """
    close = session_close(market, ts_ns)
    day = _EPOCH + dt.timedelta(days=close // _DAY_NS)
    days = _sessions(day)
    return days[bisect.bisect_left(days, day)]


class SessionClock:
    """Tells a replay which session closes it has passed, to expire day orders on time.

    Call ``passed(ts)`` with each tick's timestamp, in time order, before handling the
    tick: it returns the closes (ascending, ns) strictly before ``ts`` and after the
    previous call's ``ts``. The first call returns none. Costs one comparison per tick
    between closes.
    """

    __slots__ = ("market", "_last", "_next")

    def __init__(self, market: str) -> None:
        self.market = _check_market(market)
        self._last: int | None = None
        self._next: int | None = None

    @property
    def next_close(self) -> int | None:
        """The next close still ahead (ns), or None before the first call."""
        return self._next

    def passed(self, ts_ns: int) -> list[int]:
        """Closes passed since the previous call: strictly before ``ts_ns``."""
        if type(ts_ns) is not int:
            raise TypeError(f"ts_ns must be an int of nanoseconds, not {type(ts_ns).__name__}")
        nxt = self._next
        if nxt is None:
            self._next = session_close(self.market, ts_ns)
            self._last = ts_ns
            return []
        if ts_ns < self._last:  # type: ignore[operator]
            raise ValueError(f"timestamps must not go back: {ts_ns} came after {self._last}")
        self._last = ts_ns
        if ts_ns <= nxt:
            return []
        out = []
        while nxt < ts_ns:
            out.append(nxt)
            nxt = session_close(self.market, nxt + 1)
        self._next = nxt
        return out


_MINUTE_NS = 60 * NS
# (start, last minute) of each stretch a tick of the trading day may lie in, as offsets
# from midnight of the trading day; "previous" stretches start on the previous trading
# day. The last minute is taken whole (a print at 14:30:00.4 is the 14:30 match).
_STOCK_HOURS = ((8 * 3600 + 30 * 60) * NS, (14 * 3600 + 30 * 60) * NS)
_FUTURE_DAY_HOURS = ((8 * 3600 + 30 * 60) * NS, (13 * 3600 + 45 * 60) * NS)
_FUTURE_NIGHT_HOURS = ((14 * 3600 + 50 * 60) * NS, _FUTURE_NIGHT_CLOSE)


def previous_trading_day(day: dt.date | str) -> dt.date:
    """The last trading day before ``day`` (past the exchange calendar's end: the last
    weekday before it)."""
    day = _as_date("day", day)
    try:
        days = _sessions(day - dt.timedelta(days=1))  # the list starts a year before that day
    except ValueError:
        back = day - dt.timedelta(days=1)
        while back.weekday() >= 5:
            back -= dt.timedelta(days=1)
        return back
    return days[bisect.bisect_left(days, day) - 1]


def tick_windows(market: str, day: dt.date | str) -> tuple[tuple[int, int], ...]:
    """The stretches ``[start, end)`` (tick ``ts`` nanoseconds) in which the ticks of
    ``market``'s cache file for ``day`` lie, in time order.

    Stocks: ``day`` 08:30 to the end of 14:30. Futures: the night session before the
    trading day (14:50 of the previous trading day to the end of 05:00 the next morning),
    then the day session (08:30 to the end of 13:45)."""
    _check_market(market)
    day = _as_date("day", day)
    base = _day_ns(day)
    if market == "Stock":
        return ((base + _STOCK_HOURS[0], base + _STOCK_HOURS[1] + _MINUTE_NS),)
    before = _day_ns(previous_trading_day(day))
    return ((before + _FUTURE_NIGHT_HOURS[0], before + _FUTURE_NIGHT_HOURS[1] + _MINUTE_NS),
            (base + _FUTURE_DAY_HOURS[0], base + _FUTURE_DAY_HOURS[1] + _MINUTE_NS))


def posix_seconds_to_ns(seconds: float) -> int:
    """POSIX seconds (tick records, deal reports) to this module's ``ts_ns``: Taipei wall
    time written as epoch nanoseconds, the tick cache's rule."""
    # microseconds first: a float of epoch seconds carries no finer digits
    return round(float(seconds) * 1_000_000) * 1000 + _TAIPEI_OFFSET_NS


def yesterday_taipei() -> dt.date:
    """Yesterday's calendar date in Taipei (the latest day with complete tick data)."""
    return dt.datetime.now(TAIPEI).date() - dt.timedelta(days=1)
