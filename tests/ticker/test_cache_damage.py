"""Reading a day back from the cache: blank lines at the end are harmless; a tick whose
price or volume cannot be real, or whose time lies outside the file's trading day, is
damage, and its file is set aside like an unreadable one, with an error record naming
the file, the line and the reason."""

from __future__ import annotations

import datetime as dt
import json

import polars as pl
import pytest

import testkit

DAY = "2024-01-02"
COLUMNS = testkit.TICK_COLUMNS


def cached_text(n: int = 4) -> str:
    return testkit.day_csv(DAY, n)


def with_value(text: str, line: int, column: str, value: str) -> str:
    """The CSV text with one field of the 1-based `line` replaced."""
    lines = text.splitlines(keepends=True)
    fields = lines[line - 1].rstrip("\n").split(",")
    fields[COLUMNS.index(column)] = value
    lines[line - 1] = ",".join(fields) + "\n"
    return "".join(lines)


def expected(n: int = 4) -> pl.DataFrame:
    return pl.read_csv(
        cached_text(n).encode(),
        schema=dict.fromkeys(COLUMNS, pl.Int64)
        | {"close": pl.Float64, "bid_price": pl.Float64, "ask_price": pl.Float64},
    )


@pytest.mark.parametrize("tail", ["\n", "\n\n\n", "\r\n\r\n", " \n\t\n", "\n  "], ids=repr)
def test_blank_lines_at_the_end_are_read_as_they_are(ticker, broker, tick_dir, console_lines, tail):
    tick_dir.mkdir(parents=True)
    path = testkit.cache_file(tick_dir, "2330", DAY)
    path.write_text(cached_text() + tail, newline="")
    table = ticker._Ticker__auto_fetch_ticks("2330", "Stock", DAY)
    assert table.drop("code").equals(expected())
    assert path.exists() and broker.calls == []
    assert not any(line.startswith("[red]") for line in console_lines)


@pytest.mark.parametrize(
    "column, value, ok",
    [
        ("close", "nan", False),
        ("close", "inf", False),
        ("close", "-inf", False),
        ("close", "0.0", False),
        ("close", "-1.5", False),
        ("close", "0.01", True),
        ("bid_price", "nan", False),
        ("bid_price", "-0.5", False),
        ("bid_price", "0.0", True),  # no bid at that moment
        ("ask_price", "inf", False),
        ("ask_price", "0.0", True),
        ("volume", "-1", False),
        ("volume", "0", True),
        ("bid_volume", "-3", False),
        ("ask_volume", "-1", False),
    ],
)
@pytest.mark.parametrize("line", [2, 4])
def test_impossible_values_are_damage(
    ticker, broker, tick_dir, console_lines, error_records, column, value, ok, line
):
    broker.data[("2330", DAY)] = testkit.day_ticks(DAY, 2)
    tick_dir.mkdir(parents=True)
    path = testkit.cache_file(tick_dir, "2330", DAY)
    content = with_value(cached_text(), line, column, value)
    path.write_text(content)
    if ok:
        table = ticker._Ticker__auto_fetch_ticks("2330", "Stock", DAY)
        assert table.height == 4 and path.exists() and error_records == []
        return
    with pytest.raises(ValueError, match=f"第 {line} 行") as raised:
        ticker._Ticker__auto_fetch_ticks("2330", "Stock", DAY)
    assert str(path) in str(raised.value) and column in str(raised.value)
    aside = [p for p in tick_dir.iterdir() if p.name.startswith(path.name + ".corrupt.")]
    assert len(aside) == 1 and not path.exists() and aside[0].read_text() == content
    assert str(aside[0]) in console_lines[-1] and broker.calls == []
    [record] = [json.loads(text) for text in error_records]
    assert record["data"]["file"] == str(path) and record["data"]["line"] == line
    assert column in record["data"]["reason"]
    # the day comes from the broker now; the damaged ticks are never returned
    table = ticker._Ticker__auto_fetch_ticks("2330", "Stock", DAY)
    assert table.height == 2 and len(broker.calls) == 1


@pytest.mark.parametrize(
    "content, line",
    [
        ("{header}{row}\n{row}", 3),  # a blank line between ticks
        ("{header}{row},,,,,,,\n", 3),  # a line of empty fields
        ("{header}1,500.0,1,499.5,1,500.5,1\n", 2),  # a field short
    ],
)
def test_missing_values_name_their_line(ticker, tick_dir, error_records, content, line):
    header, row = cached_text(1).splitlines(keepends=True)
    tick_dir.mkdir(parents=True)
    path = testkit.cache_file(tick_dir, "2330", DAY)
    path.write_text(content.format(header=header, row=row))
    with pytest.raises(ValueError, match=f"第 {line} 行"):
        ticker._Ticker__auto_fetch_ticks("2330", "Stock", DAY)
    assert json.loads(error_records[0])["data"]["line"] == line
    assert not path.exists()


def test_a_merge_returns_the_downloaded_day_not_the_damaged_one(ticker, broker, tick_dir):
    broker.data[("2330", DAY)] = testkit.day_ticks(DAY, 2)
    tick_dir.mkdir(parents=True)
    testkit.cache_file(tick_dir, "2330", DAY).write_text(with_value(cached_text(), 3, "close", "-1.0"))
    merged = ticker.get_ticks_df("2330", "Stock", DAY, DAY)
    assert merged.drop("code").equals(expected(2))
    assert len(broker.calls) == 1


@pytest.mark.parametrize("tail, damaged", [("\n\n", False), ("", True)])
def test_read_cache_file_reads_one_file_as_the_merge_does(ticker, broker, tick_dir, error_records, tail, damaged):
    tick_dir.mkdir(parents=True)
    path = testkit.cache_file(tick_dir, "2330", DAY)
    text = cached_text()
    path.write_text((with_value(text, 3, "close", "-1.0") if damaged else text) + tail)
    if not damaged:
        assert ticker.read_cache_file(str(path), "Stock").equals(expected())  # file order, no code column
        assert path.exists() and error_records == []
    else:
        with pytest.raises(ValueError, match="第 3 行"):
            ticker.read_cache_file(str(path), market="Stock")
        assert not path.exists() and len(error_records) == 1
    assert broker.calls == []  # never downloads: a missing or damaged day is the merge's to fetch
    with pytest.raises(TypeError, match="path"):
        ticker.read_cache_file(path)


def _ns(moment: str) -> int:
    """Tick ns of a Taipei wall time (written as UTC, the cache's rule)."""
    return int(dt.datetime.fromisoformat(moment).replace(tzinfo=dt.UTC).timestamp() * 1e6) * 1000


def _one_tick(ts: int, close: float = 500.0, bid: float = 499.0, ask: float = 501.0) -> str:
    return f"{','.join(COLUMNS)}\n{ts},{close!r},1,{bid!r},3,{ask!r},4,1\n"


# 2024-01-02 is a Tuesday after the New Year holiday: the futures night session of its
# trading day opened on Friday 2023-12-29, the trading day before.
@pytest.mark.parametrize("code, market, ts, prices, reason", [
    ("2330", "Stock", _ns("2024-01-02T08:30:00"), (), None),  # trial matching before the open
    ("2330", "Stock", _ns("2024-01-02T14:30:00.999"), (), None),  # the fixed-price session
    ("2330", "Stock", _ns("2024-01-02T08:29:59.999"), (), "ts 不在檔案日期 2024-01-02 的交易時段內"),
    ("2330", "Stock", _ns("2024-01-02T14:31:00"), (), "交易時段"),
    ("2330", "Stock", _ns("2024-01-02T03:00:00"), (), "交易時段"),
    ("2330", "Stock", _ns("2024-01-07T09:00:00"), (), "交易時段"),  # five days away
    ("2330", "Stock", _ns("2025-02-05T09:00:00"), (), "交易時段"),  # 400 days away
    ("2330", "Stock", -5, (), "交易時段"),
    ("2330", "Stock", 0, (), "交易時段"),
    ("TXFR1", "Future", _ns("2023-12-29T14:50:00"), (17500.0, 17499.0, 17501.0), None),  # night pre-open
    ("TXFR1", "Future", _ns("2023-12-30T05:00:30"), (17500.0, 17499.0, 17501.0), None),
    ("TXFR1", "Future", _ns("2024-01-02T08:45:00"), (17500.0, 17499.0, 17501.0), None),
    ("TXFR1", "Future", _ns("2024-01-02T13:45:59"), (17500.0, 17499.0, 17501.0), None),
    ("TXFR1", "Future", _ns("2024-01-02T13:46:00"), (17500.0, 17499.0, 17501.0), "交易時段"),
    # the night session after the day session belongs to the next trading day's file
    ("TXFR1", "Future", _ns("2024-01-02T15:00:00"), (17500.0, 17499.0, 17501.0), "交易時段"),
    ("TXFR1", "Future", _ns("2024-01-01T20:00:00"), (17500.0, 17499.0, 17501.0), "交易時段"),  # a holiday
    ("TXFR1", "Future", _ns("2023-12-29T14:49:59"), (17500.0, 17499.0, 17501.0), "交易時段"),
    ("2330", "Stock", _ns("2024-01-02T09:00:00"), (1e300, 499.0, 501.0), "close 超過價格上限 99995.0"),
    ("2330", "Stock", _ns("2024-01-02T09:00:00"), (99995.0, 99990.0, 99995.0), None),  # the grid's top
    ("2330", "Stock", _ns("2024-01-02T09:00:00"), (100000.0, 99995.0, 0.0), "close 超過價格上限"),
    ("2330", "Stock", _ns("2024-01-02T09:00:00"), (500.0, 499.0, 1e9), "ask_price 超過價格上限"),
    ("0050", "Stock", _ns("2024-01-02T09:00:00"), (99999.95, 99999.9, 0.0), None),  # an ETF's grid
    ("TXFR1", "Future", _ns("2024-01-02T09:00:00"), (1e300, 17499.0, 17501.0), "close 超過價格上限 1000000.0"),
    ("TXFR1", "Future", _ns("2024-01-02T09:00:00"), (17500.0, 2e6, 17501.0), "bid_price 超過價格上限"),
])
@pytest.mark.parametrize("read", ["merge", "one file"])
def test_ticks_outside_their_day_or_price_range_are_damage(
    ticker, broker, tick_dir, error_records, code, market, ts, prices, reason, read
):
    tick_dir.mkdir(parents=True)
    path = tick_dir / f"{code} 2024-01-02 - ticks.csv"
    content = _one_tick(ts, *prices)
    path.write_text(content)

    def load():
        if read == "merge":
            return ticker._Ticker__auto_fetch_ticks(code, market, "2024-01-02").drop("code")
        return ticker.read_cache_file(str(path), market)

    if reason is None:
        assert load()["ts"].to_list() == [ts]
        assert path.exists() and error_records == []
        return
    with pytest.raises(ValueError, match="第 2 行") as raised:
        load()
    assert reason in str(raised.value)
    assert not path.exists() and broker.calls == []
    [aside] = tick_dir.glob(f"{path.name}.corrupt.*")
    assert aside.read_text() == content
    [record] = [json.loads(text)["data"] for text in error_records]
    assert (record["file"], record["line"], record["set_aside"]) == (str(path), 2, str(aside))
    assert reason in record["reason"]


def test_read_cache_file_needs_a_market_it_knows(ticker, tick_dir, error_records):
    tick_dir.mkdir(parents=True)
    path = testkit.cache_file(tick_dir, "2330", DAY)
    path.write_text(cached_text())
    with pytest.raises(ValueError, match="市場未知"):
        ticker.read_cache_file(str(path))
    with pytest.raises(ValueError, match="檔名"):
        ticker.read_cache_file(str(tick_dir / "stray.csv"), "Stock")
    with pytest.raises(TypeError, match="market"):
        ticker.read_cache_file(str(path), 1)
    assert path.exists() and error_records == []  # refused before the file was read
    ticker.code_market_map["2330"] = "Stock"  # registered by a merge: that market counts
    assert ticker.read_cache_file(str(path)).height == 4


def test_a_damaged_file_that_cannot_be_moved_says_so(ticker, tick_dir, error_records, console_lines,
                                                     monkeypatch):
    import os

    tick_dir.mkdir(parents=True)
    path = testkit.cache_file(tick_dir, "2330", DAY)
    path.write_text(with_value(cached_text(), 2, "close", "nan"))

    def refuse(*args):
        raise PermissionError(13, "Permission denied")

    monkeypatch.setattr(os, "rename", refuse)
    with pytest.raises(ValueError, match="第 2 行"):
        ticker.read_cache_file(str(path), "Stock")
    assert path.exists()
    [record] = [json.loads(text)["data"] for text in error_records]
    assert record["set_aside"] is None and "Permission denied" in record["not_moved"]
    assert "無法移開" in console_lines[-1]
