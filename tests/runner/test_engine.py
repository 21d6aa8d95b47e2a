"""The native loop against the queue-driven reference: same reports, fills, summary and
equity for the same seed, on the first run and on runs reading the kept day tables."""

import datetime as dt
import random
from array import array

import numpy as np
import pytest

from tovik_backtest import market as mk
from tovik_backtest import utils
from tovik_backtest.modules.matcher.matcher import Matcher
from tovik_backtest.runner import Backtest, OrderRefused, Strategy
from tovik_backtest.sample_data import sample_period, write_sample_data
from tovik_backtest.sample_strategy import MovingAverageCross
from tovik_backtest.state import EngineState
from tovik_backtest.tick_cache import TABLES_FOLDER

import testkit

INSTRUMENTS = ["2330:Stock", "TXFR1:Future"]


class RandomOrders(Strategy):
    """Seeded entries, modifications and cancellations of every kind on both markets."""

    params = {"seed": 0}

    def __init__(self, seed: int, **params):
        super().__init__(seed=seed, **params)
        self.rng = random.Random(seed)
        self.ids: list[str] = []
        self.seen = []
        self.refused: list[str] = []

    def on_tick(self, tick):
        self.seen.append(tick)
        if tick["is_backfilling"] or self.rng.random() > 0.03:
            return
        code, close, rng = tick["code"], tick["close"], self.rng
        choice = rng.random()
        if choice < 0.5 or not self.ids:
            side = self.buy if rng.random() < 0.5 else self.sell
            price_type = rng.choice(["LMT", "LMT", "MKT"])
            offset = rng.choice([-1, 0, 0, 1]) * mk.tick_size(tick["market_type"], code, close)
            try:
                self.ids.append(side(code, close + offset, rng.choice([1, 2, 3]), price_type=price_type,
                                     order_type=rng.choice(["ROD", "ROD", "IOC", "FOK"])))
            except OrderRefused as refused:  # off the grid at a band edge: the same in both loops
                self.refused.append(str(refused))
            return
        trade_id = rng.choice(self.ids)
        resting = {r["trade_id"]: r for r in self.pending_orders}
        if trade_id not in resting:
            return
        if choice < 0.75:
            self.cancel(trade_id)
        elif resting[trade_id]["quantity"] > 1:
            self.modify(trade_id, qty=1)
        else:
            self.quote(code)


def _run(strategy, folder, start, end, reference, **kwargs):
    bt = Backtest(strategy, INSTRUMENTS, start, end, data_dir=folder, seed=7, **kwargs)
    return bt.run_reference() if reference else bt.run()


def _comparable(result):
    summary = result.summary()
    for key in ("wall_seconds", "ticks_per_second"):
        summary.pop(key, None)
    for key in ("wall_seconds", "ticks_per_second"):
        summary.get("overall", {}).pop(key, None)
    tables = [result.equity(every).rows() for every in ("fill", "1m")]
    return result.reports, result.book.fills, result.book.round_trips, tables, summary


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    folder = tmp_path_factory.mktemp("engine")
    write_sample_data(folder, days=4)
    testkit.settle(folder)  # stored a while ago: runs keep copies of their tables
    return folder, *sample_period(4)


@pytest.mark.parametrize("make, warm_up", [
    (lambda: MovingAverageCross(fast=5, slow=20), False),
    (lambda: RandomOrders(11), False),
    (lambda: RandomOrders(12), True),
])
def test_engine_equals_the_reference_loop(sample, make, warm_up):
    folder, start, end = sample
    kwargs = {}
    if warm_up:
        start = (dt.date.fromisoformat(start) + dt.timedelta(days=1)).isoformat()
        kwargs = {"backfill_start": sample[1], "backfill_end": sample[1]}
    a, b = make(), make()
    ours = _run(a, folder, start, end, False, **kwargs)
    ref = _run(b, folder, start, end, True, **kwargs)
    assert ours.reports, "the strategy placed no order: nothing compared"
    assert _comparable(ours) == _comparable(ref)
    # every tick's marks: the one-minute table's lowest low is the run's max drawdown
    overall, minutes = ours.summary()["overall"], ours.equity("1m")
    assert minutes.height > 100 and -minutes["drawdown_low"].min() == overall["max_drawdown"] > 0
    assert minutes["equity_close"][-1] == ours.equity("fill")["equity"][-1]
    again = _run(make(), folder, start, end, False, **kwargs)  # the days now come from the kept tables
    assert _comparable(again) == _comparable(ref)
    assert list(folder.joinpath(*TABLES_FOLDER).glob("*.ticks"))
    assert (ours.ticks, ours.backfilling_ticks) == (ref.ticks, ref.backfilling_ticks)
    if isinstance(a, RandomOrders):  # the tick records themselves, keys in order
        assert [list(t.items()) for t in a.seen] == [list(t.items()) for t in b.seen]
        assert a.refused == b.refused


def _state(n):
    state = EngineState(n)
    state["interval_ns"] = 60 * 10**9
    return state.array


@pytest.mark.parametrize("args, error, match", [
    ({"ts": [1, 2]}, TypeError, "ts"),
    ({"close": np.zeros(3, dtype=np.int64)}, TypeError, "float64"),
    ({"code": np.array([0, 5, 0], dtype=np.int64)}, ValueError, "outside"),
    ({"codes": ("2330",)}, TypeError, "codes"),
    ({"state": array("q", [0] * 3)}, ValueError, "slots"),
    ({"equity": np.zeros(10, dtype=np.int64)}, ValueError, "whole rows"),
    ({"equity": np.zeros(9)}, TypeError, "int64"),
    ({"backfilling": 0}, TypeError, "bool"),
    ({"on_tick": 3}, TypeError, "callable"),
])
def test_drive_ticks_refuses_bad_columns_before_any_tick(args, error, match):
    seen = []
    call = {"ts": np.full(3, 1_704_186_000 * 10**9, dtype=np.int64), "code": np.zeros(3, dtype=np.int64),
            "close": np.ones(3), "qty": np.ones(3, dtype=np.int64), "tick_type": np.ones(3, dtype=np.int64),
            "codes": ["2330"], "markets": ["Stock"], "state": _state(1), "backfilling": True,
            "on_tick": seen.append, "on_reports": None, "on_boundary": None}
    call.update(args)
    with Matcher() as m:
        with pytest.raises(error, match=match):
            m.drive_ticks(**call)
        with pytest.raises(TypeError, match="list or None"):
            m.route_reports(())
    assert seen == []


class _Counting:
    def __init__(self):
        self.lines = []

    def print(self, *args, **kwargs):
        self.lines.append(args)


@pytest.mark.parametrize("quiet, lines", [(True, 0), (False, 3)])
def test_set_quiet_formats_no_console_line_and_route_reports_keeps_the_order(monkeypatch, quiet, lines):
    console = _Counting()
    monkeypatch.setattr(utils, "console", console)
    sink = []
    with Matcher() as m:
        m.set_quiet(quiet)
        m.route_reports(sink)
        m.add_order("2330", "Stock", "Buy", 500.0, 2, "LMT", "ROD")
        trade_id = m.pending_orders[0]["trade_id"]
        m.modify_order(trade_id, 1)
        m.cancel_order(trade_id)
        m.route_reports(None)
        assert m.response_queue.empty()
        with pytest.raises(TypeError, match="bool"):
            m.set_quiet(1)
    assert len(console.lines) == lines
    assert [r["operation_type"].value for r in sink] == ["New", "UpdateQty", "Cancel"]


def test_runs_leave_no_thread_behind(sample):
    import threading

    folder, start, end = sample
    before = {t.ident for t in threading.enumerate()}
    for _ in range(3):
        Backtest(Strategy(), ["2330:Stock", "TXFR1:Future"], start, end, data_dir=folder).run()
    assert {t.ident for t in threading.enumerate()} <= before  # each run ended its matcher's worker


def _watched(name, log):
    def get(self):
        return self.__dict__.get("_watched_" + name)

    def put(self, value):
        if value is not None:  # None: the dataclass's own default
            log.append((name, value if name == "last_price" else value["timestamp"]))
        self.__dict__["_watched_" + name] = value

    return property(get, put)


def test_a_position_book_with_its_own_attribute_access_sees_every_tick(sample, monkeypatch):
    # the loop writes the book's fields directly only while plain assignment would do the same
    from tovik_backtest.modules.positions import positions as book

    folder, start, end = sample
    logs = []
    for reference in (False, True):
        log = []
        monkeypatch.setattr(book.Positions, "current_tick", _watched("current_tick", log))
        monkeypatch.setattr(book.Position, "last_price", _watched("last_price", log))
        result = _run(RandomOrders(5), folder, start, end, reference)
        monkeypatch.undo()
        logs.append(log)
        assert sum(1 for name, _ in log if name == "current_tick") == result.ticks
    assert logs[0] == logs[1] and any(name == "last_price" for name, _ in logs[0])


def test_the_times_python_computes_agree_with_the_extensions_offset():
    # market's times (deal reports, session closes) and the native loop's tick times
    from tovik_backtest.modules.matcher.matcher import TAIPEI_OFFSET_NS

    assert mk.posix_seconds_to_ns(1_704_186_000.0) == 1_704_186_000 * 10**9 + TAIPEI_OFFSET_NS
