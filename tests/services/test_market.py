import datetime as dt

import pytest

from tovik_backtest import market
from tovik_backtest.constant import OrderLot
from tovik_backtest.market import (
    ContractSizeError,
    SessionClock,
    parse_contract_size,
    point_value,
    price_off_grid_reason,
    product_of,
    session_close,
    shares_per_unit,
    tick_size,
    trading_days,
)


def ns(*parts: int) -> int:
    """Taipei wall time as epoch nanoseconds, the way ticks store ``ts``."""
    return int((dt.datetime(*parts) - dt.datetime(1970, 1, 1)).total_seconds()) * 1_000_000_000


class TestContractSizes:
    @pytest.mark.parametrize(
        "lot, shares",
        [("Common", 1000), (OrderLot.BLOCK_TRADE, 1000), ("Fixing", 1000), ("Odd", 1), (OrderLot.INTRADAY_ODD, 1)],
    )
    def test_shares_per_unit(self, lot, shares):
        assert shares_per_unit(lot) == shares

    def test_unknown_lot(self):
        with pytest.raises(ValueError, match="Lot"):
            shares_per_unit("Board")

    @pytest.mark.parametrize(
        "code, product, points",
        [("TXFR1", "TXF", 200), ("MXFA4", "MXF", 50), ("TMFR2", "TMF", 10), ("TXF202412", "TXF", 200)],
    )
    def test_products(self, code, product, points):
        assert (product_of(code), point_value(code)) == (product, points)

    def test_overrides_win(self):
        assert point_value("XYZA4", {"XYZ": 2000}) == 2000
        assert point_value("TXFR1", {"TXF": 100}) == 100
        assert point_value("TXFR1", {"XYZ": 2000}) == 200

    def test_unknown_product_names_the_fix(self):
        with pytest.raises(ContractSizeError) as info:
            point_value("XYZA4")
        text = str(info.value)
        assert "XYZ" in text and 'contract_sizes={"XYZ": 2000}' in text and "--contract-size XYZ=2000" in text
        assert isinstance(info.value, ValueError)

    @pytest.mark.parametrize("code", ["2330", "TXF", "txfr1", "TXFZ4", ""])
    def test_not_a_futures_code(self, code):
        with pytest.raises(ContractSizeError, match="futures code"):
            product_of(code)

    @pytest.mark.parametrize("bad", [0, -5, 2.5, "2000"])
    def test_bad_override(self, bad):
        with pytest.raises(ContractSizeError, match="XYZ"):
            point_value("XYZA4", {"XYZ": bad})

    @pytest.mark.parametrize("text, parsed", [("XYZ=2000", ("XYZ", 2000)), (" TXF = 100 ", ("TXF", 100))])
    def test_parse(self, text, parsed):
        assert parse_contract_size(text) == parsed

    @pytest.mark.parametrize(
        "text, words",
        [
            ("XYZ", "PRODUCT="),
            ("=2000", "PRODUCT="),
            ("XYZ=", "PRODUCT="),
            ("xyz=2000", "capital"),
            ("XYZ=0", "whole number"),
            ("XYZ=2.5", "whole number"),
            ("XYZ=-1", "whole number"),
        ],
    )
    def test_parse_errors(self, text, words):
        with pytest.raises(ContractSizeError, match=words):
            parse_contract_size(text)


class TestPriceGrid:
    @pytest.mark.parametrize(
        "price, step, reason",
        [
            (9.99, 0.01, None),
            (9.995, 0.01, "9.995 is off the price grid of 2330 (step 0.01 below 10): use 9.99 or 10"),
            (10, 0.05, None),
            (10.03, 0.05, "10.03 is off the price grid of 2330 (step 0.05 from 10 to 50): use 10 or 10.05"),
            (49.95, 0.05, None),
            (49.97, 0.05, "use 49.95 or 50"),
            (50, 0.1, None),
            (99.9, 0.1, None),
            (99.95, 0.1, "use 99.9 or 100"),
            (100, 0.5, None),
            (499.5, 0.5, None),
            (499.7, 0.5, "(step 0.5 from 100 to 500): use 499.5 or 500"),
            (500, 1, None),
            (590.5, 1, "590.5 is off the price grid of 2330 (step 1 from 500 to 1,000): use 590 or 591"),
            (999, 1, None),
            (999.5, 1, "use 999 or 1,000"),
            (1000, 5, None),
            (1002.0, 5, "1,002 is off the price grid of 2330 (step 5 from 1,000): use 1,000 or 1,005"),
            (1005, 5, None),
        ],
    )
    def test_stock_grid(self, price, step, reason):
        assert tick_size("Stock", "2330", price) == step
        got = price_off_grid_reason("Stock", "2330", price)
        assert got is None if reason is None else reason in got

    @pytest.mark.parametrize(
        "price, step, reason",
        [
            (0.1 + 0.2, 0.01, None),  # 0.30000000000000004
            (10.1 + 0.2, 0.05, None),  # 10.299999999999999
            (3 * 0.35, 0.01, None),  # 1.0499999999999998
            (10 - 1e-15, 0.05, None),  # noise just below a band edge stays in the upper band
            (49.9 + 0.05, 0.05, None),  # 49.949999999999996
            (0.1 * 3 * 1000 + 0.5, 0.5, None),  # 300.50000000000006
            (590.49, 1, "use 590 or 591"),  # real prices are never snapped
            (10.0001, 0.05, "use 10 or 10.05"),
        ],
    )
    def test_float_noise(self, price, step, reason):
        assert tick_size("Stock", "2330", price) == step
        got = price_off_grid_reason("Stock", "2330", price)
        assert got is None if reason is None else reason in got

    @pytest.mark.parametrize(
        "code, price, step, reason",
        [
            ("0050", 49.99, 0.01, None),
            ("0050", 49.995, 0.01, "(step 0.01 below 50): use 49.99 or 50"),
            ("0050", 150.05, 0.05, None),  # off the stock grid (0.5 from 100), on the fund's
            ("00878", 20.01, 0.01, None),
            ("0050", 150.07, 0.05, "(step 0.05 from 50): use 150.05 or 150.1"),
            ("0050", 1005.05, 0.05, None),
            ("2330", 150.05, 0.5, "use 150 or 150.5"),  # a stock keeps the stock grid
        ],
    )
    def test_etf_grid(self, code, price, step, reason):
        assert tick_size("Stock", code, price) == step
        got = price_off_grid_reason("Stock", code, price)
        assert got is None if reason is None else reason in got

    @pytest.mark.parametrize("code", ["TXFR1", "MXFA4", "TMFR2", "QFFR1"])
    def test_futures_step_one_point(self, code):
        assert tick_size("Future", code, 17500.0) == 1
        assert price_off_grid_reason("Future", code, 17500.0) is None
        assert price_off_grid_reason("Future", code, 17500.5) == (
            f"17,500.5 is off the price grid of {code} (step 1 point): use 17,500 or 17,501"
        )

    @pytest.mark.parametrize("price", [0, -1.5, float("nan"), float("inf")])
    def test_invalid_price(self, price):
        assert "valid price" in price_off_grid_reason("Stock", "2330", price)
        with pytest.raises(ValueError, match="2330"):
            tick_size("Stock", "2330", price)

    @pytest.mark.parametrize(
        "args, error", [(("Stock", "2330", "590"), TypeError), (("Stocks", "2330", 590), ValueError)]
    )
    def test_bad_arguments(self, args, error):
        with pytest.raises(error):
            price_off_grid_reason(*args)
        with pytest.raises(error):
            tick_size(*args)


class TestTradingDays:
    @pytest.mark.parametrize(
        "start, end, days",
        [
            # a weekend
            ("2024-01-05", "2024-01-08", ["2024-01-05", "2024-01-08"]),
            # 2024 Lunar New Year: closed 6 to 14 February
            ("2024-02-05", "2024-02-15", ["2024-02-05", "2024-02-15"]),
            ("2024-02-10", "2024-02-11", []),
            (dt.date(2024, 2, 15), dt.date(2024, 2, 15), ["2024-02-15"]),
        ],
    )
    def test_range(self, start, end, days):
        assert trading_days(start, end) == [dt.date.fromisoformat(d) for d in days]

    def test_far_back_rebuilds_the_calendar(self):
        assert trading_days("2005-01-03", "2005-01-04") == [dt.date(2005, 1, 3), dt.date(2005, 1, 4)]
        assert market.is_trading_day("2024-02-15") and not market.is_trading_day(dt.date(2024, 2, 8))

    @pytest.mark.parametrize(
        "start, end, error",
        [
            ("2024-02-15", "2024-02-05", ValueError),
            ("2024/02/05", "2024-02-15", ValueError),
            (20240205, "2024-02-15", TypeError),
            ("2024-01-01", "2999-01-01", None),
        ],
    )
    def test_bad_range(self, start, end, error):
        if error is None:  # past the calendar's horizon
            with pytest.raises(ValueError, match="exchange calendar"):
                trading_days(end, end)
            return
        with pytest.raises(error):
            trading_days(start, end)


class TestSessions:
    @pytest.mark.parametrize(
        "at, stock_close, future_close",
        [
            # Friday 2 February 2024, then a weekend
            ((2024, 2, 2, 8, 0), (2024, 2, 2, 13, 30), (2024, 2, 2, 13, 45)),  # before the open
            ((2024, 2, 2, 10, 0), (2024, 2, 2, 13, 30), (2024, 2, 2, 13, 45)),
            ((2024, 2, 2, 13, 30), (2024, 2, 2, 13, 30), (2024, 2, 2, 13, 45)),  # at the close: still in
            ((2024, 2, 2, 13, 40), (2024, 2, 5, 13, 30), (2024, 2, 2, 13, 45)),
            ((2024, 2, 2, 14, 0), (2024, 2, 5, 13, 30), (2024, 2, 3, 5, 0)),  # between sessions
            ((2024, 2, 2, 23, 0), (2024, 2, 5, 13, 30), (2024, 2, 3, 5, 0)),  # Friday night
            ((2024, 2, 3, 1, 0), (2024, 2, 5, 13, 30), (2024, 2, 3, 5, 0)),  # after midnight, Saturday
            ((2024, 2, 3, 6, 0), (2024, 2, 5, 13, 30), (2024, 2, 5, 13, 45)),  # weekend
            ((2024, 2, 4, 12, 0), (2024, 2, 5, 13, 30), (2024, 2, 5, 13, 45)),
            # Lunar New Year: the night after 5 February, then closed until the 15th
            ((2024, 2, 5, 16, 0), (2024, 2, 15, 13, 30), (2024, 2, 6, 5, 0)),
            ((2024, 2, 6, 9, 0), (2024, 2, 15, 13, 30), (2024, 2, 15, 13, 45)),
            ((2024, 2, 10, 9, 0), (2024, 2, 15, 13, 30), (2024, 2, 15, 13, 45)),
            # midweek night across midnight
            ((2024, 2, 20, 23, 59), (2024, 2, 21, 13, 30), (2024, 2, 21, 5, 0)),
            ((2024, 2, 21, 0, 1), (2024, 2, 21, 13, 30), (2024, 2, 21, 5, 0)),
            ((2024, 2, 21, 5, 0), (2024, 2, 21, 13, 30), (2024, 2, 21, 5, 0)),
        ],
    )
    def test_close(self, at, stock_close, future_close):
        assert session_close("Stock", ns(*at)) == ns(*stock_close)
        assert session_close("Future", ns(*at)) == ns(*future_close)

    @pytest.mark.parametrize(
        "market_, at, day",
        [
            ("Stock", (2024, 2, 2, 10), (2024, 2, 2)),
            ("Stock", (2024, 2, 2, 14), (2024, 2, 5)),
            ("Future", (2024, 2, 2, 10), (2024, 2, 2)),
            ("Future", (2024, 2, 2, 23), (2024, 2, 5)),  # Friday night is Monday's
            ("Future", (2024, 2, 3, 4, 59), (2024, 2, 5)),
            ("Future", (2024, 2, 20, 23), (2024, 2, 21)),
            ("Future", (2024, 2, 21, 1), (2024, 2, 21)),
            ("Future", (2024, 2, 5, 16), (2024, 2, 15)),  # the night before Lunar New Year
        ],
    )
    def test_trading_day_of(self, market_, at, day):
        assert market.trading_day_of(market_, ns(*at)) == dt.date(*day)

    def test_close_keeps_sub_second_precision(self):
        assert session_close("Stock", ns(2024, 2, 2, 13, 30) + 1) == ns(2024, 2, 5, 13, 30)

    @pytest.mark.parametrize("args, error", [(("Stock", 1.5e18), TypeError), (("Futures", 0), ValueError)])
    def test_bad_arguments(self, args, error):
        with pytest.raises(error):
            session_close(*args)

    @pytest.mark.parametrize(
        "market_, ticks, passed",
        [
            ("Stock", [(2024, 2, 2, 9), (2024, 2, 2, 13, 30), (2024, 2, 2, 13, 31)], [[], [], [(2024, 2, 2, 13, 30)]]),
            ("Stock", [(2024, 2, 2, 9), (2024, 2, 15, 9)], [[], [(2024, 2, 2, 13, 30), (2024, 2, 5, 13, 30)]]),
            (
                "Future",
                [(2024, 2, 2, 9), (2024, 2, 2, 15), (2024, 2, 3, 4), (2024, 2, 5, 9)],
                [[], [(2024, 2, 2, 13, 45)], [], [(2024, 2, 3, 5)]],
            ),
            (
                "Future",
                [(2024, 2, 5, 13), (2024, 2, 15, 8, 45)],
                [[], [(2024, 2, 5, 13, 45), (2024, 2, 6, 5)]],
            ),
        ],
    )
    def test_clock(self, market_, ticks, passed):
        clock = SessionClock(market_)
        assert [clock.passed(ns(*t)) for t in ticks] == [[ns(*c) for c in group] for group in passed]
        assert clock.next_close == session_close(market_, ns(*ticks[-1]))

    def test_clock_refuses_going_back(self):
        clock = SessionClock("Stock")
        clock.passed(ns(2024, 2, 2, 10))
        with pytest.raises(ValueError, match="go back"):
            clock.passed(ns(2024, 2, 2, 9))
        assert clock.passed(ns(2024, 2, 2, 14)) == [ns(2024, 2, 2, 13, 30)]


def test_yesterday_taipei():
    taipei_today = (dt.datetime.now(dt.UTC) + dt.timedelta(hours=8)).date()
    assert taipei_today - market.yesterday_taipei() in (dt.timedelta(days=1), dt.timedelta(0))


# ---- day price limits, the previous trading day, call auctions, the price range -------------

mk = market  # the tests below take a parameter named market


@pytest.mark.parametrize(
    "market, code, reference, limits",
    [
        ("Stock", "2330", 582.0, (524.0, 640.0)),  # 523.8 rounded up, 640.2 rounded down
        ("Stock", "2330", 500.0, (450.0, 550.0)),  # exactly on the grid: kept
        ("Stock", "2317", 9.5, (8.55, 10.45)),  # the limit-up price lies in the next band
        ("Stock", "2317", 47.0, (42.3, 51.7)),  # 42.3 on the 0.05 grid is 42.3; 51.7 is on the 0.1 grid
        ("Stock", "2317", 1010.0, (909.0, 1110.0)),  # 1,111 rounded down to the 5 grid
        ("Stock", "0050", 45.0, (40.5, 49.5)),  # the ETF grid
        ("Future", "TXFR1", 17523.0, (15771.0, 19275.0)),  # 15,770.7 up, 19,275.3 down
    ],
)
def test_price_limits(market, code, reference, limits):
    assert mk.price_limits(market, code, reference) == limits
    down, up = limits
    assert mk.price_off_grid_reason(market, code, down) is None
    assert mk.price_off_grid_reason(market, code, up) is None
    assert down >= reference * 0.9 - 1e-9 and up <= reference * 1.1 + 1e-9


@pytest.mark.parametrize(
    "day, previous",
    [
        ("2024-01-03", "2024-01-02"),
        ("2024-01-08", "2024-01-05"),
        ("2024-01-02", "2023-12-29"),
        ("2024-02-15", "2024-02-05"),
    ],  # after the Lunar New Year holidays
)
def test_previous_trading_day(day, previous):
    assert mk.previous_trading_day(day) == dt.date.fromisoformat(previous)


@pytest.mark.parametrize(
    "clock, auction",
    [
        ("08:29:59.999999", False),
        ("08:30:00", True),
        ("08:59:59.999999", True),
        ("09:00:00", False),
        ("13:24:59.999999", False),
        ("13:25:00", True),
        ("13:29:59.999999", True),
        ("13:30:00", False),
        ("03:00:00", False),
    ],
)
def test_stock_call_auctions(clock, auction):
    moment = dt.datetime.fromisoformat(f"2024-01-03 {clock}").replace(tzinfo=dt.UTC)
    assert mk.in_stock_call_auction(int(moment.timestamp() * 1_000_000) * 1000) is auction


@pytest.mark.parametrize(
    "market, code, price, refused",
    [
        ("Stock", "2330", 1e308, True),
        ("Stock", "2330", 1e-300, True),
        ("Stock", "2330", 0.01, False),
        ("Stock", "2330", 99_995.0, False),
        ("Stock", "2330", 100_000.0, True),
        ("Future", "TXFR1", 1.0, False),
        ("Future", "TXFR1", 0.5, True),
        ("Future", "TXFR1", 1e6, False),
        ("Future", "TXFR1", 1e6 + 1, True),
    ],
)
def test_prices_outside_the_range_are_refused_without_a_decimal_error(market, code, price, refused):
    low, high = mk.price_range(market, code)
    assert (not low <= price <= high) is refused
    reason = mk.price_off_grid_reason(market, code, price)
    assert (reason is not None and "outside the price range" in reason) is refused
