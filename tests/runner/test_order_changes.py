"""Whole runs: an order cut to nothing is cancelled, and a fault inside the exchange stops
the run instead of reaching the strategy as a refusal."""

import pytest

from tovik_backtest import runner
from tovik_backtest.constant import OperationType
from tovik_backtest.fills import Touch
from tovik_backtest.modules.matcher.matcher import Matcher
from tovik_backtest.runner import Backtest, OrderRefused, Strategy
from tovik_backtest.sample_data import sample_period, write_sample_data

START, END = sample_period(1)


@pytest.fixture(scope="module")
def sample_dir(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sample")
    write_sample_data(folder, days=1, seed=11)
    return folder


class Cuts(Strategy):
    """At the first 2330 tick: a resting buy of 3 at the tick's price, then ``cuts`` applied."""

    def __init__(self, cuts, **kw):
        super().__init__(**kw)
        self.cuts = cuts
        self.id = None

    def on_tick(self, tick):
        if self.id is None and tick["code"] == "2330":
            self.id = self.buy("2330", tick["close"], 3)
            for cut in self.cuts:
                self.modify(self.id, qty=cut)


CUTS = [
    # (cuts, the order's reports after NEW, its open quantity left)
    ([3], [OperationType.CANCEL], 0),
    ([1, 2], [OperationType.UPDATE_QTY, OperationType.CANCEL], 0),
    ([2], [OperationType.UPDATE_QTY], 1),
]


@pytest.mark.parametrize("cuts, after, left", CUTS)
@pytest.mark.parametrize("latency_ms", [0.0, 5.0])
def test_cutting_the_last_open_lots_cancels_the_order(sample_dir, tmp_path, cuts, after, left, latency_ms):
    # with a latency the cut reaches the exchange later, and is still a cancellation
    strategy = Cuts(cuts)
    result = Backtest(strategy, ["2330:Stock"], START, END, data_dir=sample_dir, fills=Touch(latency_ms)).run()
    mine = [r for r in result.reports if r.get("order", {}).get("id") == strategy.id or r.get("id") == strategy.id]
    kinds = [r.get("operation_type") for r in mine if "operation_type" in r]
    assert kinds[: 1 + len(after)] == [OperationType.NEW, *after]
    deals = [r for r in mine if "operation_type" not in r]
    assert all(d["quantity"] > 0 for d in deals)
    if left == 0:
        assert deals == [] and result.summary()["instruments"]["2330"]["filled_qty"] == 0
    else:
        assert sum(d["quantity"] for d in deals) <= left
    # every way of reading the results works
    assert result.trades().height == len(result.deals)
    result.save(tmp_path / "out")
    assert (tmp_path / "out" / "summary.json").exists()


def test_a_cut_order_is_gone(sample_dir):
    class CutsThenCancels(Cuts):
        def on_tick(self, tick):
            first = self.id is None
            super().on_tick(tick)
            if first and self.id is not None:
                with pytest.raises(OrderRefused, match="no resting order"):
                    self.cancel(self.id)
                self.done = True

    strategy = CutsThenCancels([3])
    Backtest(strategy, ["2330:Stock"], START, END, data_dir=sample_dir).run()
    assert strategy.done


class _FaultyMatcher(Matcher):
    """An exchange whose order entry fails the way a fault in its native code would."""

    def add_order(self, *args, **kwargs):
        raise RuntimeError("std::bad_alloc")


class _Catches(Strategy):
    def on_start(self):
        self.caught = []

    def on_tick(self, tick):
        try:
            self.buy(tick["code"], tick["close"], 1)
        except OrderRefused as exc:  # a strategy that shrugs refusals off must not see the fault as one
            self.caught.append(exc)


def test_a_fault_in_the_exchange_stops_the_run_with_its_traceback(sample_dir, monkeypatch):
    made = runner._new_matcher
    monkeypatch.setattr(runner, "_new_matcher", lambda cls, positions, seed: made(_FaultyMatcher, positions, seed))
    strategy = _Catches()
    with pytest.raises(RuntimeError, match="std::bad_alloc") as info:
        Backtest(strategy, ["2330:Stock"], START, END, data_dir=sample_dir).run()
    assert strategy.caught == []
    partial = info.value.partial_result
    assert partial.summary()["partial"] is True and partial.ticks == 1


class OddAndBoard(Strategy):
    """Buys 1 lot and 999 + 511 odd shares at the first 2330 tick (priced to fill at
    once), then records what it holds after every fill and tries Cash sells."""

    def on_start(self):
        self.ids, self.held, self.refused = [], [], []

    def on_tick(self, tick):
        if tick["code"] != "2330":
            return
        if not self.ids:
            price = tick["close"]
            self.ids = [
                self.buy("2330", price, 1),
                self.buy("2330", price, 999, order_lot="IntradayOdd"),
                self.buy("2330", price, 511, order_lot="IntradayOdd"),
            ]
            try:
                self.sell("2330", price, 1)  # nothing held yet
            except OrderRefused as exc:
                self.refused.append(str(exc))

    def on_deal(self, report):
        self.held.append((self.position("2330"), self.position_shares("2330")))


def test_odd_lots_fill_whole_and_add_up_with_board_lots_in_shares(sample_dir):
    strategy = OddAndBoard()
    result = Backtest(strategy, ["2330:Stock"], START, END, data_dir=sample_dir).run()
    mine = [d for d in result.deals if d["id"] in strategy.ids]
    # one deal per odd-lot order, whole; the board lot may take more than one tick
    odd = [(d["id"], d["quantity"]) for d in mine if d["id"] != strategy.ids[0]]
    assert sorted(odd) == sorted([(strategy.ids[1], 999), (strategy.ids[2], 511)])
    assert strategy.held[-1] == (2, 2510)
    assert result.summary()["instruments"]["2330"]["net_position"] == 2510
    trades = result.trades()
    lots = dict(zip(trades["trade_id"].to_list(), trades["order_lot"].to_list(), strict=True))
    assert [lots[i] for i in strategy.ids] == ["Common", "IntradayOdd", "IntradayOdd"]
    assert len(strategy.refused) == 1 and "needs shares held" in strategy.refused[0]
