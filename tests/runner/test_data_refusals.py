"""A run replays only data it can vouch for: ticks within their file's trading day,
sealed kept copies, header-only and damaged days counted as missing whether or not
their file could be set aside, and repeated rows counted in the summary."""

from __future__ import annotations

import os
import time

import numpy as np
import polars as pl
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tovik_backtest import days as dd
from tovik_backtest.constant import BASIC_INFO
from tovik_backtest.instruments import parse_instrument
from tovik_backtest.modules.ticker.ticker import Ticker
from tovik_backtest.runner import Backtest, BacktestError, Strategy
from tovik_backtest.sample_data import write_sample_data
from tovik_backtest.tick_cache import TABLES_FOLDER, TICK_SCHEMA, tick_file

DAYS = ["2024-01-02", "2024-01-03", "2024-01-04"]
DAY_NS = 86_400 * 10**9


@pytest.fixture
def cache(tmp_path):
    write_sample_data(tmp_path, days=3, seed=5)
    return tmp_path


def _run(cache, **kwargs):
    instruments = kwargs.pop("instruments", ["2330:Stock", "TXFR1:Future"])
    return Backtest(Strategy(), instruments, DAYS[0], DAYS[-1], data_dir=cache, **kwargs).run()


def _edit(cache, code, day, change):
    path = tick_file(cache, code, day)
    table = pl.read_csv(path, schema=TICK_SCHEMA)
    change(table).write_csv(path)


@pytest.mark.parametrize(
    "change",
    [
        lambda t: t.with_columns(pl.col("ts") + 5 * DAY_NS),  # the whole file shifted by five days
        lambda t: t.with_columns(pl.col("ts") + 400 * DAY_NS),
        lambda t: t.with_columns(pl.when(pl.int_range(pl.len()) == 7).then(-5).otherwise(pl.col("ts")).alias("ts")),
        lambda t: t.with_columns(pl.col("ts") - pl.col("ts") % DAY_NS + 3 * 3600 * 10**9),  # stock ticks at 03:00
        lambda t: t.with_columns(
            pl.when(pl.int_range(pl.len()) == 20).then(1e300).otherwise(pl.col("close")).alias("close")
        ),
    ],
    ids=["5 days away", "400 days away", "ts=-5", "at 03:00", "close 1e300"],
)
def test_a_file_with_ticks_a_day_cannot_hold_is_refused(cache, change):
    clean = _run(cache, instruments=["2330:Stock"]).summary()["overall"]
    _edit(cache, "2330", DAYS[1], change)
    with pytest.raises(BacktestError, match="found during the run") as raised:
        _run(cache, instruments=["2330:Stock"])
    assert "2330 2024-01-03: its cached file could not be read and was set aside" in str(raised.value)
    result = _run(cache, instruments=["2330:Stock"], allow_missing=True)
    overall = result.summary()["overall"]
    assert [s.split(":")[0] for s in overall["skipped_days"]] == ["2330 2024-01-03"]
    assert overall["ticks"] < clean["ticks"]  # the damaged day is not replayed
    assert len(list(tick_file(cache, "2330", DAYS[1]).parent.glob("2330 2024-01-03 - ticks.csv.corrupt.*"))) == 1


def test_a_header_only_file_of_a_trading_day_refuses_the_run(cache):
    path = tick_file(cache, "TXFR1", DAYS[1])
    path.write_text(",".join(TICK_SCHEMA) + "\n\n")
    with pytest.raises(BacktestError) as raised:
        _run(cache)
    message = str(raised.value)
    assert "TXFR1 2024-01-03: its cached file holds no ticks (only the header line)" in message
    assert "found during the run" not in message  # refused before anything ran
    summary = _run(cache, allow_missing=True).summary()
    assert summary["overall"]["skipped_days"] == [
        "TXFR1 2024-01-03: its cached file holds no ticks (only the header line); "
        "delete it to fetch the day again (`--login`)"
    ]
    # a header-only file for a day without trading is what the cache keeps for it
    path.unlink()
    write_sample_data(cache, days=5, seed=5)  # through Monday: the weekend's files hold only the header
    assert tick_file(cache, "2330", "2024-01-06").read_text() == ",".join(TICK_SCHEMA) + "\n"
    result = Backtest(Strategy(), ["2330:Stock"], DAYS[0], "2024-01-07", data_dir=cache).run()
    assert result.summary()["overall"]["skipped_days"] == []


@pytest.mark.parametrize("how", ["rename fails", "read-only folder"])
def test_a_damaged_day_counts_as_missing_when_it_cannot_be_moved(cache, monkeypatch, how):
    path = tick_file(cache, "2330", DAYS[1])
    path.write_text(_with_nan(path.read_text()))
    if how == "rename fails":

        def refuse(*args, **kwargs):
            raise PermissionError(13, "Permission denied")

        monkeypatch.setattr(os, "rename", refuse)
    else:
        if os.geteuid() == 0:
            pytest.skip("a read-only folder does not stop the superuser")
        path.parent.chmod(0o555)
    try:
        with pytest.raises(BacktestError, match="found during the run") as raised:
            _run(cache)
        message = str(raised.value)
        assert "2330 2024-01-03: its cached file is damaged" in message and "could not be moved aside" in message
        assert "close" in message  # the reason is named
        result = _run(cache, allow_missing=True)
        (skipped,) = result.summary()["overall"]["skipped_days"]
        assert skipped.startswith("2330 2024-01-03: its cached file is damaged")
        assert path.exists() and not list(path.parent.glob("*.corrupt.*"))
        assert result.summary()["instruments"]["2330"]["ticks"] > 0  # the other days ran
    finally:
        path.parent.chmod(0o755)


def _with_nan(text: str) -> str:
    lines = text.splitlines(keepends=True)
    fields = lines[5].split(",")
    fields[1] = "nan"
    lines[5] = ",".join(fields)
    return "".join(lines)


def test_repeated_rows_are_counted_per_instrument_day(cache):
    clean = _run(cache).summary()
    assert all("repeated_rows" not in figures for figures in clean["instruments"].values())
    _edit(cache, "TXFR1", DAYS[2], lambda t: pl.concat([t, t.head(3)]))  # three rows written twice
    _edit(cache, "2330", DAYS[0], lambda t: pl.concat([t, t]))  # a doubled file
    doubled = pl.read_csv(tick_file(cache, "2330", DAYS[0]), schema=TICK_SCHEMA).height
    for _ in range(2):  # parsed, then from the kept copies
        for path in tick_file(cache, "2330", DAYS[0]).parent.glob("*.csv"):
            stamp = time.time_ns() - 3600 * 10**9
            os.utime(path, ns=(stamp, stamp))
        figures = _run(cache).summary()["instruments"]
        assert figures["TXFR1"]["repeated_rows"] == {DAYS[2]: 3}
        assert figures["2330"]["repeated_rows"] == {DAYS[0]: doubled // 2}
    assert list(cache.joinpath(*TABLES_FOLDER).glob("*.ticks"))


class _Counting:
    """The ticker, counting the CSV files it is asked to parse."""

    def __init__(self):
        self.real = Ticker(None)
        self.api = None
        self.parsed = 0

    def read_cache_file(self, path, market=None):
        self.parsed += 1
        return self.real.read_cache_file(path, market)


def _day(folder, ticker=None):
    instruments = [parse_instrument(i) for i in ("2330:Stock", "TXFR1:Future")]
    with BASIC_INFO.override(folder):
        day = dd.DayReader(ticker or Ticker(None), instruments, folder).read(DAYS[1], DAYS[1])
    return [getattr(day, name).tobytes() for name in ("ts", "code", "close", "volume", "bid_price", "ask_volume")]


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(which=st.sampled_from(["2330", "TXFR1"]), where=st.floats(0, 1, exclude_max=True), mask=st.integers(1, 255))
def test_a_flipped_byte_in_a_copy_never_changes_the_day(cache, which, where, mask):
    for path in tick_file(cache, "2330", DAYS[1]).parent.glob("*.csv"):
        if path.stat().st_mtime > time.time() - 1800:  # dated back once: settled files get copies
            stamp = time.time_ns() - 3600 * 10**9
            os.utime(path, ns=(stamp, stamp))
    clean = _day(cache)  # parsed, or from copies made by an earlier example
    copy = cache.joinpath(*TABLES_FOLDER) / f"{which} {DAYS[1]} - ticks.csv.ticks"
    assert _day(cache) == clean and copy.exists()
    data = bytearray(copy.read_bytes())
    data[int(where * len(data))] ^= mask
    copy.write_bytes(bytes(data))
    counting = _Counting()
    assert _day(cache, counting) == clean
    assert counting.parsed == 1  # the flipped copy was passed over or refused and its CSV read again
    assert set(np.frombuffer(clean[1], dtype=np.int64).tolist()) == {0, 1}  # both instruments in the day
