import datetime as dt
import re

import polars as pl
import pytest

from tovik_backtest.sample_data import (
    SAMPLE_INSTRUMENTS,
    TICK_SCHEMA,
    cache_dir,
    sample_period,
    stock_tick_size,
    write_sample_data,
)
from tovik_backtest.tick_cache import tick_file, tick_file_name


def test_deterministic_per_seed(tmp_path):
    a = write_sample_data(tmp_path / "a", days=1, seed=3)
    b = write_sample_data(tmp_path / "b", days=1, seed=3)
    c = write_sample_data(tmp_path / "c", days=1, seed=4)
    assert [p.read_bytes() for p in a] == [p.read_bytes() for p in b]
    assert [p.read_bytes() for p in a] != [p.read_bytes() for p in c]


def test_files_follow_the_cache_format_and_market_rules(tmp_path):
    files = write_sample_data(tmp_path, days=3, seed=1, start="2024-01-05")  # Fri, Mon, Tue
    names = sorted(p.name for p in files)
    assert tick_file_name("2330", "2024-01-06") in names  # the weekend is stored as an empty day
    assert all(p.parent == cache_dir(tmp_path) for p in files)
    for profile in SAMPLE_INSTRUMENTS:
        day = pl.read_csv(tick_file(tmp_path, profile.code, "2024-01-05"), schema=TICK_SCHEMA)
        assert day.columns == list(TICK_SCHEMA) and day.height > 100
        assert day["ts"].is_sorted()
        times = [dt.datetime(1970, 1, 1) + dt.timedelta(microseconds=ts // 1000) for ts in day["ts"]]
        session = [t for t in times if t.date() == dt.date(2024, 1, 5) and t.time() >= profile.session[0]]
        assert session[0].time() == profile.session[0]
        continuous = [t for t in session if t.time() < profile.session[1]]
        assert len(session) - len(continuous) == (1 if profile.closing_auction else 0)
        if profile.closing_auction:
            assert session[-1].time() == profile.closing_auction
        for price in day["close"]:
            size = stock_tick_size(price) if profile.market == "Stock" else 1.0
            assert abs(price / size - round(price / size)) < 1e-6
        assert set(day["tick_type"].unique()) <= {1, 2} and day["volume"].min() >= 1
        empty = pl.read_csv(tick_file(tmp_path, profile.code, "2024-01-07"), schema=TICK_SCHEMA)
        assert empty.height == 0


def _clock(ts):
    moment = dt.datetime(1970, 1, 1) + dt.timedelta(microseconds=ts // 1000)
    return moment


@pytest.mark.parametrize("day, evening", [("2024-01-05", "2024-01-04"), ("2024-01-08", "2024-01-05")])
def test_the_future_file_of_a_day_holds_the_night_session_before_it(tmp_path, day, evening):
    # Monday's file opens with Friday's night session, which ran to Saturday 05:00
    write_sample_data(tmp_path, days=3, seed=1, start="2024-01-05")
    table = pl.read_csv(tick_file(tmp_path, "TXFR1", day), schema=TICK_SCHEMA)
    times = [_clock(ts) for ts in table["ts"]]
    opening = dt.datetime.fromisoformat(f"{day} 08:45")
    night = [t for t in times if t < opening]
    start = dt.datetime.fromisoformat(f"{evening} 15:00")
    # 15:00 to 05:00 the morning after; nothing after it until the day session opens
    assert night[0] == start and night[-1] < start + dt.timedelta(hours=14)
    assert len(night) > 100 and len(times) - len(night) > 1000 and times[len(night)] == opening


@pytest.mark.parametrize("code", ["2330", "TXFR1"])
def test_every_day_trades_within_its_price_limits(tmp_path, code):
    from tovik_backtest import market as mk

    market = "Stock" if code == "2330" else "Future"
    write_sample_data(tmp_path, days=12, seed=5)
    days = sorted({p.name.split(" ")[1] for p in cache_dir(tmp_path).iterdir()})
    previous = None
    for day in days:
        close = pl.read_csv(tick_file(tmp_path, code, day), schema=TICK_SCHEMA)["close"]
        if not len(close):
            continue
        if previous is not None:
            down, up = mk.price_limits(market, code, previous)
            assert down <= close.min() and close.max() <= up, day
        previous = close[-1]


def test_the_stock_prints_its_auctions_and_rests_between_13_25_and_13_30(tmp_path):
    write_sample_data(tmp_path, days=2, seed=9)
    for day in sample_period(2):
        times = [_clock(ts).time() for ts in pl.read_csv(tick_file(tmp_path, "2330", day), schema=TICK_SCHEMA)["ts"]]
        assert times[0] == dt.time(9, 0) and times[-1] == dt.time(13, 30)
        assert not [t for t in times if dt.time(13, 25) <= t < dt.time(13, 30)]


def test_ticker_reads_sample_files_back(tmp_path):
    from tovik_backtest.constant import BASIC_INFO
    from tovik_backtest.modules.ticker.ticker import Ticker
    from tovik_backtest.utils import quiet_console

    write_sample_data(tmp_path, days=1, seed=2)
    start, end = sample_period(1)
    with BASIC_INFO.override(tmp_path), quiet_console(True):
        table = Ticker(None).get_ticks_df("2330", "Stock", start, end)
    on_disk = pl.read_csv(tick_file(tmp_path, "2330", start), schema=TICK_SCHEMA)
    assert table.drop("code").equals(on_disk)


@pytest.mark.parametrize("price, size", [(9.99, 0.01), (10, 0.05), (99.9, 0.1), (100, 0.5), (999, 1), (1000, 5)])
def test_price_bands(price, size):
    assert stock_tick_size(price) == size


def test_bad_arguments(tmp_path):
    with pytest.raises(ValueError):
        write_sample_data(tmp_path, days=0)
    assert sample_period(1, "2024-01-06") == ("2024-01-06", "2024-01-08")


# ---- never days to come ----------------------------------------------------------------------


@pytest.mark.parametrize(
    ("days", "start", "until", "expected"),
    [
        (3, "2024-01-05", dt.date(2024, 1, 31), ["2024-01-05", "2024-01-08", "2024-01-09"]),
        (10, "2024-01-02", dt.date(2024, 1, 4), ["2024-01-02", "2024-01-03", "2024-01-04"]),
        (5, "2024-01-05", dt.date(2024, 1, 7), ["2024-01-05"]),  # the weekend adds nothing
        (2, "2024-01-02", dt.date(2024, 1, 2), ["2024-01-02"]),
    ],
)
def test_days_stop_at_until(days, start, until, expected, tmp_path):
    from tovik_backtest.sample_data import trading_days

    assert [d.isoformat() for d in trading_days(days, start, until)] == expected
    assert sample_period(days, start, until) == (start, expected[-1])
    seen = []
    files = write_sample_data(tmp_path, days=days, start=start, until=until,
                              progress=lambda done, total, day: seen.append((done, total, day)))
    assert [(d, t, day.isoformat()) for d, t, day in seen] == [
        (i, len(expected), day) for i, day in enumerate(expected, start=1)]
    written = sorted({p.name.split(" ")[1] for p in files})
    assert written[-1] == expected[-1] and written[0] == start


def test_default_end_is_yesterday_in_taipei(tmp_path, monkeypatch):
    from tovik_backtest import sample_data

    monkeypatch.setattr(sample_data, "yesterday_taipei", lambda: dt.date(2024, 1, 3))
    files = write_sample_data(tmp_path, days=30)
    assert sorted({p.name.split(" ")[1] for p in files}) == ["2024-01-02", "2024-01-03"]
    with pytest.raises(ValueError, match="after 2024-01-03.*yesterday"):
        write_sample_data(tmp_path, days=1, start="2024-01-04")


@pytest.mark.parametrize(
    ("command", "days", "shown"),
    [
        (["sample-data", "--out", "{tmp}"], "30", 3),
        (["sample-data", "--out", "{tmp}"], "2", 2),
        (["demo"], "30", 3),
    ],
)
def test_commands_stop_at_yesterday_and_show_each_day(command, days, shown, tmp_path,
                                                      monkeypatch, capsys):
    from tovik_backtest import cli
    from tovik_backtest.cli import sample_data as command_module

    monkeypatch.setattr(command_module, "yesterday_taipei", lambda: dt.date(2024, 1, 4))
    argv = [a.replace("{tmp}", str(tmp_path)) for a in command] + ["--days", days]
    assert cli.main(argv) == 0
    text = capsys.readouterr().out
    cut = [line for line in text.splitlines() if line.startswith("only ")]
    if int(days) > shown:
        assert cut == [f"only 3 of the {days} trading days asked for fit between 2024-01-02 and "
                       "yesterday (2024-01-04, Taipei): the sample data stops there"]
    else:
        assert cut == []
    days_shown = re.findall(r"sample data: (\S+) written \((\d+)/(\d+)\)", text)
    assert days_shown == [(f"2024-01-0{2 + i}", str(i + 1), str(shown)) for i in range(shown)]
    assert f"2024-01-02 to 2024-01-0{1 + shown}" in text
    if command[0] == "sample-data":
        assert not tick_file(tmp_path, "2330", "2024-01-05").exists()


@pytest.mark.parametrize("start, days, holiday", [
    ("2024-02-05", 5, "2024-02-08"),  # the Lunar New Year break
    ("2024-04-03", 2, "2024-04-04"),  # Children's Day
])
def test_no_ticks_on_exchange_holidays(tmp_path, start, days, holiday):
    from tovik_backtest.market import is_trading_day

    write_sample_data(tmp_path, days=days, seed=1, start=start, until=dt.date(2024, 12, 31))
    assert not is_trading_day(holiday)
    text = tick_file(tmp_path, "2330", holiday).read_text(encoding="utf-8")
    assert text.count("\n") == 1  # the header alone, like a weekend
