"""Reading a day back from the cache: blank lines at the end are harmless; a tick whose
price or volume cannot be real is damage, and its file is set aside like an unreadable
one, with an error record naming the file, the line and the reason."""

from __future__ import annotations

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
        assert ticker.read_cache_file(str(path)).equals(expected())  # file order, no code column
        assert path.exists() and error_records == []
    else:
        with pytest.raises(ValueError, match="第 3 行"):
            ticker.read_cache_file(str(path))
        assert not path.exists() and len(error_records) == 1
    assert broker.calls == []  # never downloads: a missing or damaged day is the merge's to fetch
    with pytest.raises(TypeError, match="path"):
        ticker.read_cache_file(path)
