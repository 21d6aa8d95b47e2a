import json
import queue
import threading

import pytest

from tovik_backtest.constant import FLAG
from tovik_backtest.runner import Backtest, BacktestError, Strategy, parse_instrument
from tovik_backtest.sample_data import sample_period, write_sample_data
from tovik_backtest.sample_strategy import MovingAverageCross

# ---- call order, with recording doubles ----------------------------------------------

class RecordingMatcher:
    def __init__(self, positions, log):
        self.positions = positions
        self.log = log
        self.pending_order_queue = queue.Queue()
        self.response_queue = queue.Queue()
        self.pending_orders = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            action, payload = self.pending_order_queue.get()
            self.log.append(("serve", action))
            self.response_queue.put({"operation_type": "New",
                                     "order": {"code": payload["code"], "id": "x"}})
            self.pending_order_queue.task_done()

    def add_pending_order_queue(self, action, payload):
        self.log.append(("submit", action))
        self.pending_order_queue.put((action, payload))

    def add_order(self, code, *args):
        self.log.append(("add_order", code))
        self.pending_orders.append({"trade_id": f"id{len(self.pending_orders)}", "code": code})
        self.response_queue.put({"operation_type": "New", "order": {"code": code, "id": "x"}})

    def cancel_order(self, trade_id):
        self.log.append(("cancel_order", trade_id))
        self.pending_orders = [r for r in self.pending_orders if r["trade_id"] != trade_id]
        self.response_queue.put({"operation_type": "Cancel", "order": {"code": "2330", "id": trade_id}})

    def set_current_tick(self, tick):
        self.log.append(("set_current_tick", tick["close"]))

    def match_deal(self, code, close, qty, ts):
        self.log.append(("match_deal", close))


class RecordingTicker:
    def __init__(self, ticks, log):
        self.records = list(ticks) + [{"tovik_status": FLAG.exit_send_tick.value}]
        self.log = log
        self.tokens = 1

    def _Ticker__process_and_combine_ticks(self, codes, start, end):
        raise AssertionError("not used by the double")

    def send_ticks(self, *args):
        self.log.append(("send_ticks",))

    def pop_tick(self):
        assert self.tokens > 0 or "tovik_status" in self.records[0], "popped ahead of the grant"
        record = self.records.pop(0)
        if "tovik_status" not in record:
            self.tokens -= 1
        return record

    def allow_next_tick(self):
        self.log.append(("allow_next_tick",))
        self.tokens += 1

    def stop_send_ticks(self):
        pass


def tick(close, backfilling=False):
    return {"market_type": "Stock", "timestamp": 1.0, "code": "2330", "close": close, "qty": 1,
            "tick_type": 1, "is_simulate": False, "is_backfilling": backfilling}


class BuysOnce(Strategy):
    params = {"log": None}  # the list the calls are written to

    def on_tick(self, t):
        self.record(("on_tick", t["close"]))
        if t["close"] == 2.0:
            self.buy("2330", 2.0, 1)

    def on_order(self, report):
        self.record(("on_order",))

    def record(self, item):
        self.log.append(item)


def test_runner_order_of_calls_per_tick():
    log = []
    strategy = BuysOnce(log=log)
    bt = Backtest(strategy, ["2330:Stock"], "2024-01-02", "2024-01-02")
    result = bt.run_reference(lambda positions, **_: RecordingMatcher(positions, log),
                     lambda api: RecordingTicker([tick(1.0), tick(2.0)], log))
    assert log == [
        ("send_ticks",),
        ("set_current_tick", 1.0), ("match_deal", 1.0), ("on_tick", 1.0), ("allow_next_tick",),
        ("set_current_tick", 2.0), ("match_deal", 2.0), ("on_tick", 2.0),
        ("add_order", "2330"), ("on_order",),  # carried out before the grant
        ("allow_next_tick",),
        ("cancel_order", "id0"), ("on_order",),  # the day order expires when the data ends
    ]
    assert result.ticks == 2 and len(result.reports) == 2


def test_backfilling_ticks_are_not_matched_and_refuse_orders():
    log = []

    class OrdersDuringWarmUp(Strategy):
        def on_tick(self, t):
            log.append(("on_tick", t["is_backfilling"]))
            if t["is_backfilling"]:
                with pytest.raises(BacktestError, match="back-filling"):
                    self.buy("2330", 1.0, 1)

        def on_backfilling_finished(self):
            log.append(("finished",))

    ticks = [tick(1.0, True), {"tovik_status": FLAG.finish_backfilling.value}, tick(2.0)]
    bt = Backtest(OrdersDuringWarmUp(), ["2330:Stock"], "2024-01-02", "2024-01-02")
    result = bt.run_reference(lambda p, **_: RecordingMatcher(p, log), lambda api: RecordingTicker(ticks, log))
    assert [e for e in log if e[0] in ("on_tick", "finished", "match_deal", "submit")] == [
        ("on_tick", True), ("finished",), ("match_deal", 2.0), ("on_tick", False)]
    assert (result.backfilling_ticks, result.ticks) == (1, 1)


class TestSetUpErrors:
    @pytest.mark.parametrize("bad", ["2330", "2330:stock", ":Stock", {"code": "2330"}, 5])
    def test_bad_instruments(self, bad):
        with pytest.raises(BacktestError):
            parse_instrument(bad)

    def test_bad_dates_and_strategy(self):
        with pytest.raises(BacktestError, match="not a date"):
            Backtest(Strategy(), ["2330:Stock"], "2024/01/02", "2024-01-03")
        with pytest.raises(BacktestError):
            Backtest(object(), ["2330:Stock"], "2024-01-02", "2024-01-03")
        with pytest.raises(BacktestError):
            Backtest(Strategy(), [], "2024-01-02", "2024-01-03")

    def test_orders_outside_a_run_are_refused(self):
        with pytest.raises(BacktestError, match="not running"):
            Strategy().buy("2330", 1.0, 1)


# ---- the real modules ------------------------------------------------------------------

@pytest.fixture(scope="module")
def sample_dir(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sample")
    write_sample_data(folder, days=2, seed=7)
    return folder


def run_sample(folder, **kwargs):
    start, end = sample_period(2)
    bt = Backtest(MovingAverageCross(fast=5, slow=20), ["2330:Stock", "TXFR1:Future"], start, end,
                  data_dir=folder, **kwargs)
    return bt.run()


def test_real_run_is_deterministic_and_balanced(sample_dir):
    first, second = run_sample(sample_dir), run_sample(sample_dir)
    assert first.reports_jsonl() == second.reports_jsonl()
    assert first.ticks > 1000 and first.summary()["overall"]["fills"] > 0
    # every fill reached the book: net positions equal bought minus sold in the deals
    for code, figures in first.summary()["instruments"].items():
        signed = sum((d["quantity"] if d["action"] == "Buy" else -d["quantity"])
                     for d in first.deals if d["code"] == code)
        assert figures["net_position"] == signed


def test_result_save_writes_reports_trades_summary(sample_dir, tmp_path):
    result = run_sample(sample_dir)
    folder = result.save(tmp_path / "out")
    lines = (folder / "reports.jsonl").read_text(encoding="utf-8").splitlines()
    assert len(lines) == len(result.reports) and json.loads(lines[0])
    summary = json.loads((folder / "summary.json").read_text(encoding="utf-8"))
    assert summary["overall"]["fills"] == result.trades().height
    assert (folder / "trades.csv").read_text().startswith(
        "time,trade_id,code,action,price_type,order_type,order_lot,quantity,price")


def test_warm_up_period_reaches_strategy_marked(sample_dir):
    seen = []

    class Watcher(Strategy):
        def on_tick(self, t):
            seen.append(t["is_backfilling"])

        def on_backfilling_finished(self):
            seen.append("finished")

    start, end = sample_period(2)
    Backtest(Watcher(), ["2330:Stock"], end, end, backfill_start=start, backfill_end=start,
             data_dir=sample_dir).run()
    marker = seen.index("finished")
    assert marker > 0 and all(v is True for v in seen[:marker])
    assert all(v is False for v in seen[marker + 1:]) and len(seen) > marker + 1


def test_merged_ticks_reads_the_cache_in_time_order(tmp_path):
    from tovik_backtest.constant import BASIC_INFO
    from tovik_backtest.runner import merged_ticks

    write_sample_data(tmp_path, days=2, seed=4)
    start, end = sample_period(2)
    before = BASIC_INFO.data_dir
    table = merged_ticks(["2330:Stock", ("TXFR1", "Future")], start, end, data_dir=tmp_path)
    assert BASIC_INFO.data_dir == before  # the data directory is only borrowed
    assert set(table["code"].unique()) == {"2330", "TXFR1"}
    assert table["ts"].is_sorted()
    result = Backtest(MovingAverageCross(), ["2330:Stock", "TXFR1:Future"], start, end,
                      data_dir=tmp_path).run()
    assert table.height == result.ticks  # what the run replays


@pytest.mark.parametrize("seed", [0, 1, 7, 2**40 + 3])
def test_seeded_ids_draw_what_random_choice_draws(seed):
    import random

    from tovik_backtest.runner import _ID_ALPHABET, _seeded_ids

    rng, fast = random.Random(seed), _seeded_ids(seed)
    for _ in range(400):  # past several blocks of draws
        assert fast() == "".join(rng.choice(_ID_ALPHABET) for _ in range(16))


# ---- the order of events both loops keep -------------------------------------------------

class Watches(Strategy):
    """Logs what happens when; ``act`` says what to do on the first tick of 2330."""

    def __init__(self, act):
        super().__init__()
        self.act, self.log, self.ticks, self.placed, self.tick = act, [], 0, [], None

    def on_tick(self, t):
        self.ticks += 1
        self.tick = t
        if t["is_backfilling"]:
            if self.act == "warm-up order":
                try:
                    self.placed.append(self.buy("2330", t["close"], 1))
                except BacktestError as refused:
                    self.log.append(("refused", str(refused)))
            return
        if t["code"] == "2330" and not self.placed and self.act != "warm-up order":
            # a ROD buy far below the market, within the day's 10% limit: it rests to the end
            self.placed.append(self.buy("2330", round(t["close"] * 0.93), 1))

    def on_order(self, report):
        # the tick the loop is at: the one last handed to on_tick, or a later one
        at = self.ticks if self.positions.current_tick is self.tick else self.ticks + 0.5
        self.log.append((at, report["operation_type"].value, report["order"]["id"]))
        if self.act == "order in on_order" and len(self.placed) == 1 and report["order"]["id"] == self.placed[0]:
            self.placed.append(self.buy("2330", report["order"]["price"], 1))

    def on_end(self):
        self.log.append(("end", [r["trade_id"] for r in self.pending_orders]))


def watched(sample_dir, act, reference, warm_up=False, last_day=False):
    start, end = sample_period(2)
    kwargs = {"backfill_start": start, "backfill_end": start} if warm_up else {}
    strategy = Watches(act)
    bt = Backtest(strategy, ["2330:Stock"], end if warm_up or last_day else start, end, data_dir=sample_dir,
                  **kwargs)
    result = bt.run_reference() if reference else bt.run()
    return strategy, result


@pytest.mark.parametrize("reference", [False, True], ids=["engine", "reference"])
class TestEventOrder:
    def test_orders_during_the_warm_up_are_refused(self, sample_dir, reference):
        strategy, result = watched(sample_dir, "warm-up order", reference, warm_up=True)
        refusals = [e for e in strategy.log if e[0] == "refused"]
        assert refusals and all("back-filling" in text for _, text in refusals)
        assert strategy.placed == [] and result.summary()["overall"]["orders"] == 0

    def test_a_report_of_an_order_placed_in_on_order_comes_in_the_same_tick(self, sample_dir, reference):
        strategy, _ = watched(sample_dir, "order in on_order", reference)
        first, second = strategy.placed
        news = {order_id: tick for tick, kind, order_id in (e for e in strategy.log if e[0] != "end")
                if kind == "New"}
        assert news[second] == news[first]  # not a tick later

    def test_day_orders_left_at_the_end_expire_before_on_end(self, sample_dir, reference):
        # placed on the last day, the order's session has not closed before the data ends
        strategy, result = watched(sample_dir, "resting order", reference, last_day=True)
        (order_id,) = strategy.placed
        end = strategy.log.index(("end", []))  # nothing rests when on_end runs
        cancels = [n for n, e in enumerate(strategy.log) if e[1:] == ("Cancel", order_id)]
        assert cancels and cancels[0] < end
        assert result.summary()["instruments"]["2330"]["expired"] == 1


class OrdersAtStart(Strategy):
    def __init__(self):
        super().__init__()
        self.outcome, self.first_tick, self.news = None, None, []

    def on_start(self):
        try:
            self.outcome = self.buy("2330", 1.0, 1)  # far below the market: it rests
        except BacktestError as refused:
            self.outcome = str(refused)

    def on_tick(self, t):
        if self.first_tick is None and not t["is_backfilling"]:
            self.first_tick = t["timestamp"]

    def on_order(self, report):
        self.news.append((report["operation_type"].value, report["order"]["id"], report["trade_status"]["exchange_ts"]))


@pytest.mark.parametrize("reference", [False, True], ids=["engine", "reference"])
@pytest.mark.parametrize("warm_up", [False, True], ids=["no warm-up", "warm-up"])
def test_orders_from_on_start_arrive_at_the_first_tick_or_are_refused_in_a_warm_up(sample_dir, reference, warm_up):
    start, end = sample_period(2)
    kwargs = {"backfill_start": start, "backfill_end": start} if warm_up else {}
    strategy = OrdersAtStart()
    bt = Backtest(strategy, ["2330:Stock"], end if warm_up else start, end, data_dir=sample_dir, **kwargs)
    result = bt.run_reference() if reference else bt.run()
    if warm_up:
        assert "back-filling" in strategy.outcome and result.summary()["overall"]["orders"] == 0
        return
    # the order carries the first tick's time and expires at that session's close
    assert strategy.news[0] == ("New", strategy.outcome, strategy.first_tick)
    assert strategy.news[1][:2] == ("Cancel", strategy.outcome)
    assert result.summary()["instruments"]["2330"]["expired"] == 1
