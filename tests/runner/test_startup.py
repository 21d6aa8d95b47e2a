"""What a run loads: a cached run reads its days from the kept tables and its trading
days from the kept calendar, so neither the ticker extension (and the broker library
it imports) nor the calendar library (and pandas) is loaded; a day that must come
from the ticker loads it, once, for every thread of the run."""

import json
import threading

import pytest

from tovik_backtest import Backtest
from tovik_backtest.lazy_ticker import LazyTicker
from tovik_backtest.sample_data import sample_period, write_sample_data
from tovik_backtest.sample_strategy import MovingAverageCross
from tovik_backtest.tick_cache import TABLES_FOLDER

import testkit

HEAVY = ("shioaji", "tovik_backtest.modules.ticker.ticker", "exchange_calendars", "pandas")

CHILD = """
import json, sys
from tovik_backtest import Backtest
from tovik_backtest.sample_strategy import MovingAverageCross
data_dir, start, end, heavy = sys.argv[1], sys.argv[2], sys.argv[3], json.loads(sys.argv[4])
result = Backtest(MovingAverageCross(), ["2330:Stock", "TXFR1:Future"], start, end, data_dir=data_dir,
                  quiet=True).run()
print(json.dumps({"loaded": [m for m in heavy if m in sys.modules], "trades": len(result.book.fills),
                  "ticks": result.summary()["overall"]["ticks"]}))
"""


@pytest.fixture(scope="module")
def cached(tmp_path_factory):
    data_dir = tmp_path_factory.mktemp("startup")
    write_sample_data(data_dir, days=2)
    testkit.settle(data_dir)  # settled files: a run keeps copies of their tables
    return data_dir, *sample_period(2)


def run_child(data_dir, start, end):
    done = testkit.run_python(["-c", CHILD, str(data_dir), start, end, json.dumps(HEAVY)], timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_a_cached_run_loads_neither_the_ticker_nor_the_calendar_library(cached):
    data_dir, start, end = cached
    first = run_child(data_dir, start, end)  # reads the CSV files through the ticker, keeps their tables
    assert "tovik_backtest.modules.ticker.ticker" in first["loaded"]
    again = run_child(data_dir, start, end)
    assert again["loaded"] == []
    assert (again["trades"], again["ticks"]) == (first["trades"], first["ticks"]) and again["ticks"] > 0


def test_a_day_without_a_kept_table_is_read_through_the_ticker(cached, tmp_path):
    data_dir, start, end = cached
    run_child(data_dir, start, end)
    whole = run_child(data_dir, start, end)
    for kept in data_dir.joinpath(*TABLES_FOLDER).glob("2330 *"):
        kept.unlink()
    partly = run_child(data_dir, start, end)
    assert "tovik_backtest.modules.ticker.ticker" in partly["loaded"] and "exchange_calendars" not in partly["loaded"]
    assert (partly["trades"], partly["ticks"]) == (whole["trades"], whole["ticks"])


def test_in_process_runs_give_the_same_result_whether_the_ticker_was_loaded(cached):
    data_dir, start, end = cached
    results = [
        Backtest(MovingAverageCross(), ["2330:Stock"], start, end, data_dir=data_dir, quiet=True).run()
        for _ in range(2)
    ]
    assert results[0].book.fills == results[1].book.fills and results[0].reports == results[1].reports


class _Counting:
    """Stands for the ticker class: counts how often it is made."""

    made = 0

    def __init__(self, api):
        type(self).made += 1
        self.api = api

    def read_cache_file(self, path):
        return f"read {path}"


def test_the_ticker_is_made_once_on_first_use_and_shared_by_threads(monkeypatch):
    import tovik_backtest.modules.ticker.ticker as ticker_module

    monkeypatch.setattr(ticker_module, "Ticker", _Counting)
    monkeypatch.setattr(_Counting, "made", 0)
    lazy = LazyTicker(api="session")
    assert lazy.api == "session" and not lazy.loaded and _Counting.made == 0
    barrier = threading.Barrier(8)
    seen = []

    def use():
        barrier.wait()
        seen.append(lazy.read_cache_file("x.csv"))

    threads = [threading.Thread(target=use) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert seen == ["read x.csv"] * 8 and _Counting.made == 1 and lazy.loaded
    with pytest.raises(AttributeError):
        lazy.no_such_method  # noqa: B018


def test_the_day_reader_loads_neither_the_exchange_nor_the_ticker():
    script = (
        "import sys\n"
        "import tovik_backtest.days\n"
        "print(*[m for m in ('tovik_backtest.modules.matcher.matcher', 'tovik_backtest.modules.ticker.ticker',"
        " 'tovik_backtest.modules.records.records') if m in sys.modules])\n"
    )
    done = testkit.run_python(["-c", script], timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["tovik_backtest.modules.records.records"]
