"""The engine's day reader: days in the whole period's merged order, ticks of one time
stamp in file order, and the kept tables used only while their CSV is unchanged."""

import datetime as dt
import os

import numpy as np
import pytest

from tovik_backtest import days as dd
from tovik_backtest.constant import BASIC_INFO
from tovik_backtest.instruments import parse_instrument
from tovik_backtest.modules.ticker.ticker import Ticker
from tovik_backtest.runner import merged_ticks
from tovik_backtest.sample_data import cache_dir
from tovik_backtest.tick_cache import TABLES_FOLDER, tick_file

from testkit import settle as _settle
from testkit import write_cache_day as _write

INSTRUMENTS = ["2330:Stock", "TXFR1:Future"]


def _ns(day, hour, minute=0):
    moment = dt.datetime.fromisoformat(day) + dt.timedelta(hours=hour, minutes=minute)
    return int(moment.replace(tzinfo=dt.UTC).timestamp()) * 10**9


class _Ticker:
    """The ticker, counting what the reader asks of it."""

    def __init__(self):
        self.real = Ticker(None)
        self.api = None
        self.files: list[str] = []
        self.merges: list[tuple[str, str]] = []

    def read_cache_file(self, path, market=None):
        self.files.append(os.path.basename(path))
        return self.real.read_cache_file(path, market)

    def merge_ticks(self, codes, begin, end):
        self.merges.append((begin, end))
        return self.real.merge_ticks(codes, begin, end)


def _reader(folder, ticker=None):
    return dd.DayReader(ticker or Ticker(None), [parse_instrument(i) for i in INSTRUMENTS], folder)


def _columns(day):
    return day.ts.tolist(), day.code.tolist(), day.close.tolist()


def test_days_keep_the_whole_period_order_with_night_sessions(tmp_path):
    # A futures trading day opens with the night session of the trading day before:
    # Friday's night session (past midnight into Saturday) is in Monday's file, and
    # Thursday's in Friday's, stamped after Thursday's stock ticks.
    cache_dir(tmp_path).mkdir(parents=True)
    days = ["2024-01-04", "2024-01-05", "2024-01-06", "2024-01-07", "2024-01-08"]
    for day in days:
        _write(tmp_path, "2330", day, [_ns(day, 9, m) for m in range(0, 240, 37)] if day in ("2024-01-04",
               "2024-01-05", "2024-01-08") else [])
    _write(tmp_path, "TXFR1", "2024-01-04", [_ns("2024-01-03", 20), _ns("2024-01-04", 4, 59), _ns("2024-01-04", 8, 45),
                                             _ns("2024-01-04", 9)])
    _write(tmp_path, "TXFR1", "2024-01-05", [_ns("2024-01-04", 15), _ns("2024-01-05", 2), _ns("2024-01-05", 9),
                                             _ns("2024-01-05", 13, 45)])
    for day in ("2024-01-06", "2024-01-07"):
        _write(tmp_path, "TXFR1", day, [])
    # two ticks of one instrument at one time stamp: they stay in file order (102, then 103)
    _write(tmp_path, "TXFR1", "2024-01-08", [_ns("2024-01-05", 15), _ns("2024-01-06", 1), _ns("2024-01-08", 9, 0),
                                             _ns("2024-01-08", 9, 0)])
    whole = merged_ticks(INSTRUMENTS, days[0], days[-1], data_dir=tmp_path).sort(["ts", "code", "close"])
    assert whole.height == 3 * 7 + 3 * 4 and not list(cache_dir(tmp_path).glob("*.corrupt.*"))  # all within their days
    expected = (whole["ts"].to_list(), [INSTRUMENTS.index(f"{c}:{'Stock' if c == '2330' else 'Future'}")
                                        for c in whole["code"]], whole["close"].to_list())
    chunks = dd.calendar_chunks(days[0], days[-1])
    assert chunks == [("2024-01-04", "2024-01-04"), ("2024-01-05", "2024-01-05"), ("2024-01-06", "2024-01-08")]
    _settle(tmp_path)
    for readers in (0, 1, 2, 3):  # days read ahead on helper threads still come in order
        for _ in range(2):  # parsed, then from the kept tables
            with BASIC_INFO.override(tmp_path):
                pieces = list(dd.day_ticks(_reader(tmp_path), [(d, d) for d in days], readers))
            assert len(pieces) > 1
            got = dd.DayTicks.merged(pieces, np.arange(2))  # already in order: merging keeps it
            assert _columns(got) == expected, readers
            assert [_columns(p) for p in pieces] == [_columns(p.take(np.arange(len(p)))) for p in pieces]


DAY = "2024-01-02"


def _one_day(folder):
    cache_dir(folder).mkdir(parents=True, exist_ok=True)
    _write(folder, "2330", DAY, [_ns(DAY, 9, m) for m in (0, 5, 10)])
    _write(folder, "TXFR1", DAY, [_ns(DAY, 9, m) for m in (1, 5, 7)])
    _settle(folder)


def _copies(folder):
    return sorted(p.name for p in folder.joinpath(*TABLES_FOLDER).glob("*.ticks"))


def _touch_csv(folder, code="2330"):
    _write(folder, code, DAY, [_ns(DAY, 9, m) for m in (0, 5, 10)], base=200.0)  # new content, same size
    _settle(folder, ago=1800, pattern=f"{code} *.csv")


def _copy_of(folder, code="2330"):
    (copy,) = folder.joinpath(*TABLES_FOLDER).glob(f"{code} *.ticks")
    return copy


def _cut_copy(folder):
    copy = _copy_of(folder)
    copy.write_bytes(copy.read_bytes()[:-5])


def _garble_copy(folder):
    copy = _copy_of(folder)
    data = bytearray(copy.read_bytes())
    data[-40:-32] = b"\xff" * 8  # the last row's bid volume becomes -1
    copy.write_bytes(bytes(data))


def _header_only_copy(folder):
    copy = _copy_of(folder)
    copy.write_bytes(copy.read_bytes()[:10])


@pytest.mark.parametrize("change, parsed, closes", [
    (None, [], [100.0, 100.0, 101.0, 101.0, 102.0, 102.0]),
    (_touch_csv, ["2330 2024-01-02 - ticks.csv"], [200.0, 100.0, 201.0, 101.0, 102.0, 202.0]),
    (_cut_copy, ["2330 2024-01-02 - ticks.csv"], [100.0, 100.0, 101.0, 101.0, 102.0, 102.0]),
    (_garble_copy, ["2330 2024-01-02 - ticks.csv"], [100.0, 100.0, 101.0, 101.0, 102.0, 102.0]),
    (_header_only_copy, ["2330 2024-01-02 - ticks.csv"], [100.0, 100.0, 101.0, 101.0, 102.0, 102.0]),
], ids=["unchanged", "csv rewritten", "copy cut short", "copy with an impossible price", "copy without header"])
def test_a_kept_table_counts_only_for_the_csv_it_was_read_from(tmp_path, change, parsed, closes):
    _one_day(tmp_path)
    with BASIC_INFO.override(tmp_path):
        first = _Ticker()
        _reader(tmp_path, first).read(DAY, DAY)
        assert sorted(first.files) == ["2330 2024-01-02 - ticks.csv", "TXFR1 2024-01-02 - ticks.csv"]
        if change:
            change(tmp_path)
        second = _Ticker()
        day = _reader(tmp_path, second).read(DAY, DAY)
    assert second.files == parsed and second.merges == []
    assert day.close.tolist() == closes
    assert len(_copies(tmp_path)) == 2  # one per CSV: the stale or broken one was replaced


def test_a_csv_changed_just_now_gets_no_copy_yet(tmp_path):
    # its next change could keep the same modification time
    _one_day(tmp_path)
    _write(tmp_path, "2330", DAY, [_ns(DAY, 9, m) for m in (0, 5, 10)], base=200.0)
    with BASIC_INFO.override(tmp_path):
        for _ in range(2):
            ticker = _Ticker()
            day = _reader(tmp_path, ticker).read(DAY, DAY)
            assert day.close.tolist()[0] == 200.0
        assert ticker.files == ["2330 2024-01-02 - ticks.csv"]  # parsed again; TXFR1 from its copy
    assert [n[:4] for n in _copies(tmp_path)] == ["TXFR"]


def test_damaged_days_and_with_a_broker_missing_ones_are_left_to_the_ticker(tmp_path):
    _one_day(tmp_path)
    path = tick_file(tmp_path, "TXFR1", DAY)
    path.write_text(path.read_text().replace("101.0", "-1.0", 1))  # a close that cannot be real
    _settle(tmp_path)
    with BASIC_INFO.override(tmp_path):
        ticker = _Ticker()
        day = _reader(tmp_path, ticker).read(DAY, DAY)
        assert ticker.merges == [(DAY, DAY)]  # the ticker's own merge reports and retries the day
        assert day.code.tolist() == [0, 0, 0]
        assert not path.exists() and list(cache_dir(tmp_path).glob("TXFR1 *.corrupt.*"))
        assert _copies(tmp_path) == [n for n in _copies(tmp_path) if n.startswith("2330")]
        for api, merges in [(None, []), ("a broker", [(DAY, DAY)])]:  # the set-aside file is now missing
            missing = _Ticker()
            missing.api = api
            day = _reader(tmp_path, missing).read(DAY, DAY)
            assert missing.merges == merges and day.code.tolist() == [0, 0, 0]


def test_an_unwritable_tables_folder_only_costs_parsing(tmp_path):
    _one_day(tmp_path)
    tmp_path.joinpath(*TABLES_FOLDER).write_text("a file where the folder goes")
    with BASIC_INFO.override(tmp_path):
        for _ in range(2):
            ticker = _Ticker()
            day = _reader(tmp_path, ticker).read(DAY, DAY)
            assert len(ticker.files) == 2 and len(day) == 6


@pytest.mark.parametrize("readers", [-1, 1.0, True])
def test_readers_must_be_a_whole_number(tmp_path, readers):
    with pytest.raises(ValueError, match="readers"):
        list(dd.day_ticks(_reader(tmp_path), [(DAY, DAY)], readers))
