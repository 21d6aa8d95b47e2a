"""The exchanges' own refusals at the order desk: price limits from the previous trading
day, the stock call auctions, futures market orders, prices at the door; and which of
the matcher's exceptions are refusals at all."""

import datetime as dt
import math

import polars as pl
import pytest

from tovik_backtest.constant import BASIC_INFO
from tovik_backtest.errors import OrderRefused
from tovik_backtest.instruments import parse_instrument
from tovik_backtest.orders import OrderDesk
from tovik_backtest.results import InstrumentStats
from tovik_backtest.tick_cache import TICK_SCHEMA, tick_file

DAY = "2024-01-03"  # a Wednesday; the trading day before it is 2024-01-02
PREVIOUS = "2024-01-02"


def _at(day, clock):
    """Taipei wall time as epoch ns, the tick convention."""
    moment = dt.datetime.fromisoformat(f"{day} {clock}")
    return int(moment.replace(tzinfo=dt.UTC).timestamp() * 1_000_000) * 1000


class _Book:
    """A matcher stand-in: takes every order and rests it; ``fault`` is raised instead when set."""

    def __init__(self, fault=None):
        self.pending_orders = []
        self.fault = fault
        self.cancelled = []

    def add_order(self, code, product_type, action, price, qty, *rest):
        if self.fault is not None:
            raise self.fault
        self.pending_orders.append(
            {
                "trade_id": f"t{len(self.pending_orders)}",
                "code": code,
                "quantity": qty,
                "price_type": rest[0],
                "action": action,
                "order_cond": rest[2],
                "order_lot": rest[3],
            }
        )

    def modify_order(self, trade_id, qty, price):
        if self.fault is not None:
            raise self.fault

    def cancel_order(self, trade_id):
        if self.fault is not None:
            raise self.fault
        self.cancelled.append(trade_id)
        self.pending_orders = [r for r in self.pending_orders if r["trade_id"] != trade_id]


def _write_day(data_dir, code, day, closes):
    path = tick_file(data_dir, code, day)
    path.parent.mkdir(parents=True, exist_ok=True)
    start = _at(day, "09:00:00")
    n = len(closes)
    pl.DataFrame(
        {
            "ts": [start + k * 10**9 for k in range(n)],
            "close": closes,
            "volume": [1] * n,
            "bid_price": closes,
            "bid_volume": [1] * n,
            "ask_price": closes,
            "ask_volume": [1] * n,
            "tick_type": [1] * n,
        },
        schema=TICK_SCHEMA,
    ).write_csv(path)


def _desk(data_dir, book=None, when=(DAY, "10:00:00")):
    instruments = [parse_instrument("2330:Stock"), parse_instrument("TXFR1:Future")]
    stats = {i.code: InstrumentStats(i.code, i.market) for i in instruments}
    with BASIC_INFO.override(data_dir):
        desk = OrderDesk(book if book is not None else _Book(), instruments, stats)
    desk.now_ns = None if when is None else _at(*when)
    return desk, stats


def _order(desk, code, price, *, action="Buy", price_type="LMT", order_type="ROD", qty=1):
    return desk.add(action, code, price, qty, price_type, order_type, "Cash", "Common", "Auto", None)


@pytest.fixture
def cached(tmp_path):
    """A cache whose previous trading day closed 2330 at 582 and TXFR1 at 17,500."""
    _write_day(tmp_path, "2330", PREVIOUS, [590.0, 575.0, 582.0])
    _write_day(tmp_path, "TXFR1", PREVIOUS, [17400.0, 17500.0])
    return tmp_path


# ---- price limits: 10% either side of the previous trading day, rounded into the band --

LIMITS = [
    # (code, price, taken?)
    ("2330", 640.0, True),  # 582 x 1.1 = 640.2, rounded down to the grid: the limit-up price
    ("2330", 641.0, False),
    ("2330", 524.0, True),  # 582 x 0.9 = 523.8, rounded up: the limit-down price
    ("2330", 523.0, False),
    ("2330", 582.0, True),
    ("TXFR1", 19250.0, True),
    ("TXFR1", 19251.0, False),
    ("TXFR1", 15750.0, True),
    ("TXFR1", 15749.0, False),
]


@pytest.mark.parametrize("code, price, taken", LIMITS)
@pytest.mark.parametrize("action", ["Buy", "Sell"])
def test_a_limit_price_beyond_the_day_limits_is_refused(cached, code, price, taken, action):
    desk, stats = _desk(cached)
    if taken:
        assert _order(desk, code, price, action=action).startswith("t")
    else:
        with pytest.raises(OrderRefused, match="limit-(up|down) price of " + code):
            _order(desk, code, price, action=action)
    assert stats[code].limits_unchecked == []


def test_the_previous_days_last_tick_is_the_reference_even_when_stored_out_of_order(tmp_path):
    # the last tick by time, not the last row, closes the day
    _write_day(tmp_path, "2330", PREVIOUS, [582.0, 600.0])
    path = tick_file(tmp_path, "2330", PREVIOUS)
    table = pl.read_csv(path, schema=TICK_SCHEMA)
    table.reverse().write_csv(path)
    desk, _ = _desk(tmp_path)
    _order(desk, "2330", 660.0)  # 600 x 1.1
    with pytest.raises(OrderRefused, match="limit-up"):
        _order(desk, "2330", 661.0)


def test_a_new_price_beyond_the_limits_is_refused_and_leaves_the_order(cached):
    desk, _ = _desk(cached)
    trade_id = _order(desk, "2330", 600.0)
    with pytest.raises(OrderRefused, match="limit-up"):
        desk.modify(trade_id, None, 641.0)
    desk.modify(trade_id, None, 640.0)


@pytest.mark.parametrize("previous", ["missing", "header only"])
def test_without_the_previous_day_the_limits_are_not_checked_and_the_day_is_listed(tmp_path, previous):
    if previous == "header only":
        _write_day(tmp_path, "2330", PREVIOUS, [])
    desk, stats = _desk(tmp_path)
    _order(desk, "2330", 9000.0)
    _order(desk, "2330", 100.0)
    assert stats["2330"].limits_unchecked == [DAY]  # listed once per instrument-day
    assert stats["TXFR1"].limits_unchecked == []


def test_a_futures_night_session_takes_the_limits_of_the_day_it_belongs_to(cached):
    # Tuesday 2024-01-02 at 20:00 is Wednesday's night session: Tuesday's price is the reference
    desk, stats = _desk(cached, when=(PREVIOUS, "20:00:00"))
    _order(desk, "TXFR1", 19250.0)
    with pytest.raises(OrderRefused, match="limit-up"):
        _order(desk, "TXFR1", 19251.0)
    assert stats["TXFR1"].limits_unchecked == []


def test_a_market_order_is_not_held_to_the_limits(cached):
    desk, _ = _desk(cached)
    assert _order(desk, "TXFR1", 0.0, price_type="MKT", order_type="IOC")


# ---- what the stock call auctions and the futures market take -----------------------------

AUCTIONS = [
    # (clock, price type, order type, taken?)
    ("08:29:59", "MKT", "IOC", True),
    ("08:30:00", "MKT", "ROD", False),
    ("08:30:00", "LMT", "IOC", False),
    ("08:45:00", "LMT", "FOK", False),
    ("08:59:59.999", "MKT", "FOK", False),
    ("08:30:00", "LMT", "ROD", True),
    ("09:00:00", "MKT", "IOC", True),  # continuous trading begins with the opening print
    ("09:00:00", "LMT", "FOK", True),
    ("13:24:59.999", "LMT", "IOC", True),
    ("13:25:00", "LMT", "IOC", False),
    ("13:29:59", "MKT", "ROD", False),
    ("13:29:59", "LMT", "ROD", True),
    ("13:30:00", "LMT", "IOC", True),  # the closing auction's own print has been made
]


@pytest.mark.parametrize("clock, price_type, order_type, taken", AUCTIONS)
def test_the_stock_call_auctions_take_only_rod_limit_orders(cached, clock, price_type, order_type, taken):
    desk, _ = _desk(cached, when=(DAY, clock))
    price = 0.0 if price_type == "MKT" else 582.0
    if taken:
        assert _order(desk, "2330", price, price_type=price_type, order_type=order_type)
    else:
        with pytest.raises(OrderRefused, match="call auction"):
            _order(desk, "2330", price, price_type=price_type, order_type=order_type)


@pytest.mark.parametrize("clock", ["08:30:00", "13:27:00"])
def test_futures_know_no_stock_auction(cached, clock):
    desk, _ = _desk(cached, when=(DAY, clock))
    assert _order(desk, "TXFR1", 0.0, price_type="MKT", order_type="IOC")


FUTURES_MARKET = [
    ("MKT", "ROD", False),
    ("MKT", "IOC", True),
    ("MKT", "FOK", True),
    ("MKP", "ROD", True),  # a range-market order becomes a limit order and may rest
    ("LMT", "ROD", True),
]


@pytest.mark.parametrize("price_type, order_type, taken", FUTURES_MARKET)
def test_a_futures_market_order_must_be_ioc_or_fok(cached, price_type, order_type, taken):
    desk, _ = _desk(cached)
    price = 17500.0 if price_type == "LMT" else 0.0
    if taken:
        assert _order(desk, "TXFR1", price, price_type=price_type, order_type=order_type)
    else:
        with pytest.raises(OrderRefused, match="futures market order must be IOC or FOK"):
            _order(desk, "TXFR1", price, price_type=price_type, order_type=order_type)


def test_an_order_before_the_first_tick_is_not_held_to_time_rules(tmp_path):
    desk, stats = _desk(tmp_path, when=None)
    assert _order(desk, "2330", 9000.0)
    assert stats["2330"].limits_unchecked == []


# ---- prices at the door ---------------------------------------------------------------------

DOOR = [
    # (code, price, what the refusal says)
    ("2330", 1e308, "outside the price range"),
    ("2330", 1e-300, "outside the price range"),
    ("2330", 0.001, "outside the price range"),
    ("2330", 99_996.0, "outside the price range"),
    ("2330", math.inf, "finite and > 0"),
    ("2330", math.nan, "finite and > 0"),
    ("2330", -582.0, "finite and > 0"),
    ("2330", 0.0, "finite and > 0"),
    ("TXFR1", 0.5, "outside the price range"),
    ("TXFR1", 1e7, "outside the price range"),
    ("TXFR1", 1e308, "outside the price range"),
]


@pytest.mark.parametrize("code, price, message", DOOR)
def test_a_limit_price_outside_the_instruments_range_is_refused(tmp_path, code, price, message):
    desk, _ = _desk(tmp_path)
    with pytest.raises(OrderRefused, match=message):
        _order(desk, code, price)
    trade_id = _order(desk, code, 582.0 if code == "2330" else 17500.0)
    if price != 0.0:  # a new price of 0 stands for "no new price"
        with pytest.raises(OrderRefused, match=message):
            desk.modify(trade_id, None, price)


@pytest.mark.parametrize("code, price", [("2330", 0.01), ("2330", 99_995.0), ("TXFR1", 1.0), ("TXFR1", 1_000_000.0)])
def test_the_ends_of_the_price_range_are_taken(tmp_path, code, price):
    desk, _ = _desk(tmp_path)
    assert _order(desk, code, price)


# ---- which exceptions are refusals ----------------------------------------------------------

FAULTS = [
    # (raised by the matcher, what reaches the strategy)
    (Exception("委託數量超出上限"), OrderRefused),
    (RuntimeError("a fault in the native code"), RuntimeError),
    (TypeError("a bug"), TypeError),
    (ValueError("a bug"), ValueError),
    (KeyError("trade_id"), KeyError),
]


@pytest.mark.parametrize("raised, expected", FAULTS)
@pytest.mark.parametrize("request_kind", ["add", "modify", "cancel"])
def test_only_the_exchanges_refusals_become_order_refused(tmp_path, raised, expected, request_kind):
    book = _Book()
    desk, _ = _desk(tmp_path, book)
    trade_id = _order(desk, "2330", 582.0, qty=3)
    book.fault = raised
    with pytest.raises(expected) as info:
        if request_kind == "add":
            _order(desk, "2330", 582.0)
        elif request_kind == "modify":
            desk.modify(trade_id, 1, None)
        else:
            desk.cancel(trade_id)
    assert type(info.value) is expected
    if expected is OrderRefused:
        assert "委託數量超出上限" in str(info.value)


BAD_FIELDS = [
    # (field, value, what the refusal says)
    ("order_type", "rod", "'rod' is not one of ROD, IOC, FOK"),
    ("price_type", 5, "price_type must be text"),
    ("order_cond", None, "order_cond must be text"),
    ("order_lot", "odd", "'odd' is not one of"),
    ("oc_type", b"Auto", "oc_type must be text"),
]


@pytest.mark.parametrize("name, value, message", BAD_FIELDS)
def test_order_fields_are_checked_at_the_desk(tmp_path, name, value, message):
    desk, _ = _desk(tmp_path)
    fields = {
        "price_type": "LMT",
        "order_type": "ROD",
        "order_cond": "Cash",
        "order_lot": "Common",
        "oc_type": "Auto",
        name: value,
    }
    with pytest.raises(OrderRefused, match=message):
        desk.add(
            "Buy",
            "2330",
            582.0,
            1,
            fields["price_type"],
            fields["order_type"],
            fields["order_cond"],
            fields["order_lot"],
            fields["oc_type"],
            None,
        )


def test_order_fields_may_be_given_as_members(tmp_path):
    from tovik_backtest.constant import OrderCond, OrderLot, OrderType, PriceType

    book = _Book()
    desk, _ = _desk(tmp_path, book)
    desk.add("Buy", "2330", 582.0, 1, PriceType.LMT, OrderType.IOC, OrderCond.CASH, OrderLot.COMMON, "Auto", None)
    assert book.pending_orders[-1]["price_type"] == "LMT"
    with pytest.raises(OrderRefused, match="off the price grid"):  # a member is held to the grid too
        desk.add("Buy", "2330", 582.5, 1, PriceType.LMT, OrderType.ROD, "Cash", "Common", "Auto", None)


# ---- a Cash sell needs the shares ------------------------------------------------------------


def _holding(shares):
    from tovik_backtest.modules.positions.positions import Positions

    book = _Book()
    book.positions = Positions()
    if shares:
        odd, lots = shares % 1000, shares // 1000
        if lots:
            book.positions.set_positions(
                {"code": "2330", "action": "Buy", "quantity": lots, "price": 580.0, "order_lot": "Common"}, "Stock"
            )
        if odd:
            book.positions.set_positions(
                {"code": "2330", "action": "Buy", "quantity": odd, "price": 580.0, "order_lot": "IntradayOdd"}, "Stock"
            )
    return book


def _sell(desk, qty, cond="Cash", lot="Common", daytrade_short=False):
    return desk.add("Sell", "2330", 582.0, qty, "LMT", "ROD", cond, lot, "Auto", None, daytrade_short)


CASH_SELLS = [
    # (shares held, resting sells as (qty, lot, daytrade_short), the sell (qty, cond, lot, daytrade_short), taken?)
    (0, [], (1, "Cash", "Common", False), False),
    (0, [], (1, "Cash", "Common", True), True),
    (0, [], (1, "MarginTrading", "Common", False), True),
    (0, [], (1, "ShortSelling", "Common", False), True),
    (2000, [], (2, "Cash", "Common", False), True),
    (2000, [], (3, "Cash", "Common", False), False),
    (2000, [(1, "Common", False)], (2, "Cash", "Common", False), False),
    (2000, [(1, "Common", False)], (1, "Cash", "Common", False), True),
    (2000, [(1, "Common", True)], (2, "Cash", "Common", False), True),  # a day-trade sell holds no shares back
    (2000, [(600, "Odd", False)], (1, "Cash", "Common", False), True),
    (2000, [(600, "Odd", False)], (2, "Cash", "Common", False), False),
    (500, [], (500, "Cash", "IntradayOdd", False), True),
    (500, [], (501, "Cash", "Odd", False), False),
    (500, [], (1, "Cash", "Common", False), False),
    (1500, [], (1, "Cash", "Common", False), True),
]


@pytest.mark.parametrize("held, resting, sell, taken", CASH_SELLS)
def test_a_cash_sell_of_shares_not_held_is_refused(tmp_path, held, resting, sell, taken):
    desk, _ = _desk(tmp_path, _holding(held))
    for qty, lot, short in resting:
        _sell(desk, qty, lot=lot, daytrade_short=short)
    qty, cond, lot, short = sell
    if taken:
        assert _sell(desk, qty, cond, lot, short)
    else:
        with pytest.raises(OrderRefused, match="Cash sell of .* needs shares held"):
            _sell(desk, qty, cond, lot, short)


def test_a_futures_sell_needs_no_position(tmp_path):
    desk, _ = _desk(tmp_path, _holding(0))
    assert desk.add("Sell", "TXFR1", 17500.0, 1, "LMT", "ROD", "Cash", "Common", "Auto", None)


@pytest.mark.parametrize(
    "qty, price_type, message", [(1000, "LMT", "1 to 999 shares"), (5, "MKT", "odd-lot orders are limit orders")]
)
def test_odd_lot_orders_take_up_to_999_shares_at_a_limit(tmp_path, qty, price_type, message):
    desk, _ = _desk(tmp_path)
    with pytest.raises(OrderRefused, match=message):
        desk.add("Buy", "2330", 582.0, qty, price_type, "ROD", "Cash", "IntradayOdd", "Auto", None)
    assert desk.add("Buy", "2330", 582.0, 999, "LMT", "ROD", "Cash", "IntradayOdd", "Auto", None)


def test_the_reference_is_read_from_a_kept_copy_of_the_previous_day(tmp_path):
    import os

    from tovik_backtest import tick_cache

    _write_day(tmp_path, "2330", PREVIOUS, [590.0, 582.0])
    path = tick_file(tmp_path, "2330", PREVIOUS)
    os.utime(path, (1_600_000_000, 1_600_000_000))  # settled: a copy may be kept
    stat = os.stat(path)
    rows = tick_cache.table_rows(pl.read_csv(path, schema=TICK_SCHEMA))
    tick_cache.write_table_copy(tmp_path, path, stat, rows)
    assert tick_cache.read_table_copy(tmp_path, path, stat) is not None
    desk, stats = _desk(tmp_path)
    _order(desk, "2330", 640.0)
    with pytest.raises(OrderRefused, match="limit-up"):
        _order(desk, "2330", 641.0)
    assert stats["2330"].limits_unchecked == []
