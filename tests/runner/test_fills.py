"""The fill models in whole runs over the sample data: for one order stream that does not
react to fills, Touch fills every order at least as early and as much as
Queue(proportional), which fills at least as much as Queue(none); no model fills on a
tick whose price does not reach the order, and none before the request has arrived."""

from __future__ import annotations

import random
from collections import defaultdict

import pytest

from tovik_backtest import market as mk
from tovik_backtest.errors import BacktestError, OrderRefused
from tovik_backtest.fills import Queue, Touch, parse_fill_list, parse_fills
from tovik_backtest.runner import Backtest, Strategy
from tovik_backtest.sample_data import sample_period, write_sample_data

INSTRUMENTS = ["2330:Stock", "TXFR1:Future"]


class Quoting(Strategy):
    """Now and then replaces its one resting limit order per instrument by a new one at,
    one step inside or one step outside the last price; never looks at its fills."""

    params = {"seed": 0}

    def __init__(self, seed: int, **params):
        super().__init__(seed=seed, **params)
        self.rng = random.Random(seed)
        self.tick_no = 0
        self.times: list[int] = []  # tick number -> market time (ns)
        self.closes: list[float] = []
        self.resting: dict[str, str] = {}
        self.placed: dict[str, tuple[int, str, float]] = {}  # id -> (tick number, action, price)
        self.deals: list[tuple[int, str, int]] = []  # (tick number, id, quantity)
        self.refused: list[tuple[str, str]] = []  # the exchange's refusals: (operation, id)

    def on_tick(self, tick):
        self.times.append(mk.posix_seconds_to_ns(tick["timestamp"]))
        self.closes.append(tick["close"])
        rng, code, close = self.rng, tick["code"], tick["close"]
        draw, side, offset, qty = rng.random(), rng.random() < 0.5, rng.choice([-1, 0, 0, 1]), rng.choice([1, 2])
        if draw < 0.02:
            previous = self.resting.pop(code, None)
            if previous is not None:
                try:
                    self.cancel(previous)
                except OrderRefused:
                    pass  # filled already under this model
            step = mk.tick_size(tick["market_type"], code, close)
            price = close - offset * step if side else close + offset * step  # 1: a step away, -1: through
            try:
                # sells are sold first (day trades): a Cash sell would need the shares its
                # fills bought, and the stream would depend on the model
                trade_id = self.buy(code, price, qty) if side else self.sell(code, price, qty, daytrade_short=True)
            except OrderRefused:
                trade_id = None  # off the grid at a band's edge: refused alike under every model
            if trade_id is not None:
                self.resting[code] = trade_id
                self.placed[trade_id] = (self.tick_no, "Buy" if side else "Sell", price)
        self.tick_no += 1

    def on_deal(self, report):
        self.deals.append((self.tick_no, report["id"], int(report["quantity"])))

    def on_order(self, report):
        if report["operation_status_code"] != "00":
            self.refused.append((report["operation_type"].value, report["order"]["id"]))


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    folder = tmp_path_factory.mktemp("fills")
    write_sample_data(folder, days=2, seed=3)
    return folder, *sample_period(2)


def _run(sample, model, seed=5):
    folder, start, end = sample
    strategy = Quoting(seed)
    result = Backtest(strategy, INSTRUMENTS, start, end, data_dir=folder, seed=seed, fills=model).run()
    return strategy, result


def _cumulative(deals):
    """id -> [(tick number, filled so far)]"""
    out = defaultdict(list)
    total = defaultdict(int)
    for tick_no, trade_id, qty in deals:
        total[trade_id] += qty
        out[trade_id].append((tick_no, total[trade_id]))
    return out


def _filled_by(history, tick_no):
    filled = 0
    for at, total in history:
        if at > tick_no:
            break
        filled = total
    return filled


@pytest.mark.parametrize("latency_ms, seed", [(0.0, 5), (0.0, 6), (5.0, 5)])
def test_touch_fills_at_least_queue_proportional_at_least_queue_none(sample, latency_ms, seed):
    runs = [_run(sample, model, seed) for model in (Touch(latency_ms), Queue("proportional", latency_ms),
                                                    Queue("none", latency_ms))]
    placed = runs[0][0].placed
    assert all(s.placed == placed for s, _ in runs), "the order stream depends on the model"
    histories = [_cumulative(s.deals) for s, _ in runs]
    ticks = sorted({t for s, _ in runs for t, _, _ in s.deals})
    for trade_id in placed:
        for t in ticks:
            touch, proportional, none = (_filled_by(h.get(trade_id, []), t) for h in histories)
            assert touch >= proportional >= none, (trade_id, t)
    filled = [sum(q for _, _, q in s.deals) for s, _ in runs]
    assert filled[0] > filled[2] > 0  # the queue holds some orders back, and fills others


@pytest.mark.parametrize("model", [Queue(), Queue("proportional"), Touch(), Queue(latency_ms=5, jitter_ms=3)])
def test_fills_only_on_ticks_whose_price_reaches_the_order_and_after_it_arrived(sample, model):
    strategy, result = _run(sample, model)
    assert strategy.deals
    latency_ns = round(model.latency_ms * 1e6)
    for tick_no, trade_id, _ in strategy.deals:
        placed_at, action, price = strategy.placed[trade_id]
        close = strategy.closes[tick_no]
        assert tick_no > placed_at
        assert (close <= price) if action == "Buy" else (close >= price)
        assert strategy.times[tick_no] >= strategy.times[placed_at] + latency_ns
    reasons = result.trades()["fill_reason"].to_list()
    assert len(reasons) == len(strategy.deals)
    allowed = {"touch"} if isinstance(model, Touch) else {"queue", "through", "aggressive"}
    assert set(reasons) <= allowed


def test_a_run_names_its_model_and_touch_warns_of_passive_fills(sample):
    _, touch = _run(sample, None)
    _, queue = _run(sample, Queue(latency_ms=2.5))
    assert touch.summary()["overall"]["fill_model"] == "touch(latency=0 ms)"
    assert queue.summary()["overall"]["fill_model"] == "queue(cancels=none, latency=2.5 ms)"
    assert any("--fills touch,queue" in note for note in touch.notes)
    assert not any("--fills touch,queue" in note for note in queue.notes)


@pytest.mark.parametrize("text, models", [
    ("touch", [Touch()]),
    ("queue", [Queue()]),
    ("queue-proportional", [Queue("proportional")]),
    ("touch, queue", [Touch(), Queue()]),
])
def test_command_line_names_give_models(text, models):
    assert parse_fill_list(text) == models


@pytest.mark.parametrize("call, match", [
    (lambda: parse_fills("fifo"), "unknown fill model"),
    (lambda: parse_fill_list("touch,touch"), "twice"),
    (lambda: parse_fill_list(" , "), "needs a model"),
    (lambda: Queue(cancels="all"), "'none' or 'proportional'"),
    (lambda: Touch(latency_ms=-1), ">= 0"),
    (lambda: Queue(jitter_ms=float("nan")), ">= 0"),
    (lambda: Touch(latency_ms="5"), "milliseconds"),
])
def test_bad_models_are_refused_with_the_choices(call, match):
    with pytest.raises(BacktestError, match=match):
        call()


def test_backtest_refuses_what_is_not_a_model(sample):
    folder, start, end = sample
    with pytest.raises(BacktestError, match="Touch\\(\\) or Queue\\(\\)"):
        Backtest(Strategy(), INSTRUMENTS, start, end, data_dir=folder, fills="queue")


@pytest.mark.parametrize("model", [Touch(latency_ms=30_000), Queue(latency_ms=30_000, jitter_ms=20_000)])
def test_cancellations_arrive_late_and_the_exchange_refuses_them(sample, model):
    # ticks come some seconds apart: a latency of half a minute spans several of them
    strategy, result = _run(sample, model)
    overall = result.summary()["overall"]
    assert overall["late_requests"] == len(strategy.refused) > 0
    assert {operation for operation, _ in strategy.refused} == {"Cancel"}
    filled = {trade_id for _, trade_id, _ in strategy.deals}
    assert {trade_id for _, trade_id in strategy.refused} <= filled | set(strategy.placed)
    per_code = sum(s["late_requests"] for s in result.summary()["instruments"].values())
    assert per_code == overall["late_requests"]


def test_the_html_report_names_the_model(sample, tmp_path):
    pytest.importorskip("plotly")
    _, result = _run(sample, Queue("proportional", latency_ms=1))
    page = result.report(tmp_path / "run.html").read_text(encoding="utf-8")
    assert "queue(cancels=proportional, latency=1 ms)" in page


def test_jitter_is_drawn_from_the_seed(sample):
    folder, start, end = sample

    def fill_times(model, seed):
        result = Backtest(Quoting(5), INSTRUMENTS, start, end, data_dir=folder, seed=seed, fills=model).run()
        return result.trades()["time"].to_list()

    jittered = Queue(latency_ms=2_000, jitter_ms=8_000)
    first = fill_times(jittered, 5)
    assert fill_times(jittered, 5) == first  # a rerun gives the same fills
    assert fill_times(Queue(latency_ms=2_000), 5) != first  # the jitter moves some
    assert fill_times(jittered, 6) != first  # another seed draws others


def test_the_reference_loop_runs_touch_without_latency_only(sample):
    folder, start, end = sample
    with pytest.raises(BacktestError, match="touch model without latency only"):
        Backtest(Quoting(1), INSTRUMENTS, start, end, data_dir=folder, fills=Queue()).run_reference()
