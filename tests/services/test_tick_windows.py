"""What a tick of a day's cache file can be: its time within the trading day the file is
named for, its prices up to the instrument's ceiling."""

import datetime as dt

import pytest

from tovik_backtest import market as mk


def ns(moment: str) -> int:
    return int(dt.datetime.fromisoformat(moment).replace(tzinfo=dt.UTC).timestamp()) * 10**9


def inside(market: str, day: str, moment: str) -> bool:
    ts = ns(moment)
    return any(start <= ts < end for start, end in mk.tick_windows(market, day))


@pytest.mark.parametrize(
    "market, day, moment, expected",
    [
        ("Stock", "2024-01-03", "2024-01-03T08:30:00", True),
        ("Stock", "2024-01-03", "2024-01-03T08:29:59", False),
        ("Stock", "2024-01-03", "2024-01-03T14:30:59", True),
        ("Stock", "2024-01-03", "2024-01-03T14:31:00", False),
        ("Stock", "2024-01-03", "2024-01-02T09:00:00", False),
        ("Stock", "2024-01-03", "2024-01-03T03:00:00", False),
        # a future's Wednesday opens on Tuesday evening
        ("Future", "2024-01-03", "2024-01-02T14:50:00", True),
        ("Future", "2024-01-03", "2024-01-02T14:49:59", False),
        ("Future", "2024-01-03", "2024-01-03T05:00:59", True),
        ("Future", "2024-01-03", "2024-01-03T05:01:00", False),
        ("Future", "2024-01-03", "2024-01-03T08:30:00", True),
        ("Future", "2024-01-03", "2024-01-03T13:45:59", True),
        ("Future", "2024-01-03", "2024-01-03T13:46:00", False),
        ("Future", "2024-01-03", "2024-01-03T15:00:00", False),  # Thursday's night session
        # Monday opens on Friday evening; the night runs to Saturday 05:00
        ("Future", "2024-01-08", "2024-01-05T15:00:00", True),
        ("Future", "2024-01-08", "2024-01-06T04:59:00", True),
        ("Future", "2024-01-08", "2024-01-07T20:00:00", False),
        # after the New Year holiday: from Friday 2023-12-29's evening
        ("Future", "2024-01-02", "2023-12-29T23:00:00", True),
        ("Future", "2024-01-02", "2024-01-01T23:00:00", False),
        # after the Lunar New Year break (no trading 2024-02-06 to 02-14): from the evening
        # of the last trading day before it
        ("Future", "2024-02-15", "2024-02-05T22:00:00", True),
        ("Future", "2024-02-15", "2024-02-07T22:00:00", False),
        ("Future", "2024-02-15", "2024-02-14T22:00:00", False),
    ],
)
def test_a_tick_lies_in_its_files_trading_day(market, day, moment, expected):
    assert inside(market, day, moment) is expected
    assert inside(market, dt.date.fromisoformat(day), moment) is expected  # a date works as well


def test_windows_are_in_time_order_and_apart():
    for market in ("Stock", "Future"):
        windows = mk.tick_windows(market, "2024-03-04")
        flat = [t for window in windows for t in window]
        assert flat == sorted(flat) and len(set(flat)) == len(flat)


@pytest.mark.parametrize(
    "market, code, lowest, highest",
    [
        ("Stock", "2330", 0.01, 99_995.0),
        ("Stock", "0050", 0.01, 99_999.95),
        ("Stock", "00632R", 0.01, 99_999.95),
        ("Future", "TXFR1", 1.0, 1_000_000.0),
        ("Future", "2330", 1.0, 1_000_000.0),
    ],
)
def test_price_range(market, code, lowest, highest):
    assert mk.price_range(market, code) == (lowest, highest)
    for price in (lowest, highest):  # both ends are prices of the grid
        assert mk.price_off_grid_reason(market, code, price) is None


@pytest.mark.parametrize(
    "day, before",
    [
        ("2024-01-03", "2024-01-02"),
        ("2024-01-08", "2024-01-05"),  # Monday: Friday
        ("2024-01-02", "2023-12-29"),  # after the New Year holiday
        ("2024-01-06", "2024-01-05"),  # a Saturday: the Friday before
        ("2024-02-15", "2024-02-05"),  # after the Lunar New Year break
    ],
)
def test_previous_trading_day(day, before):
    assert mk.previous_trading_day(day).isoformat() == before


@pytest.mark.parametrize(
    "call",
    [
        lambda: mk.price_range("Bond", "2330"),
        lambda: mk.tick_windows("stock", "2024-01-02"),
        lambda: mk.tick_windows("Stock", "2024/01/02"),
    ],
)
def test_bad_arguments(call):
    with pytest.raises(ValueError):
        call()
