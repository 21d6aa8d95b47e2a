"""A run on a hand-made day: the closing auction's print at 13:30:00 still fills the day
orders resting before it, the summary counts orders, filled quantity, the exchange's
cancellations and expiries as the fills happened, and a price off the grid is refused
whatever the order type."""

import datetime as dt

import pytest

from tovik_backtest import Backtest
from tovik_backtest.runner import BacktestError, OrderRefused, Strategy

import testkit

DAY = "2024-01-02"  # a Tuesday


def _at(hour, minute=0, second=0):
    moment = dt.datetime.fromisoformat(DAY).replace(hour=hour, minute=minute, second=second, tzinfo=dt.UTC)
    return int(moment.timestamp()) * 10**9


def _taipei(exchange_ts):
    """A report's POSIX time as Taipei wall time, HH:MM:SS."""
    return dt.datetime.fromtimestamp(exchange_ts, dt.timezone(dt.timedelta(hours=8))).strftime("%H:%M:%S")


@pytest.fixture(scope="module")
def day(tmp_path_factory):
    """2330: 09:00:00 at 101 (5 lots), 09:00:01 at 100 (2), 13:29:59 at 101 (5) and the
    closing print 13:30:00 at 99 (5). TXFR1: 09:00:00 at 17,500, 09:00:01 at 17,499."""
    data_dir = tmp_path_factory.mktemp("closes")
    testkit.write_cache_day(
        data_dir,
        "2330",
        DAY,
        [_at(9), _at(9, 0, 1), _at(13, 29, 59), _at(13, 30)],
        closes=[101.0, 100.0, 101.0, 99.0],
        volumes=[5, 2, 5, 5],
    )
    testkit.write_cache_day(data_dir, "TXFR1", DAY, [_at(9), _at(9, 0, 1)], closes=[17500.0, 17499.0], volumes=[5, 2])
    return data_dir


class PlacesAtTheOpen(Strategy):
    """Sends ``orders`` (code, price, qty, order type) at the first tick of 2330 and
    keeps the deals and what each request returned."""

    def __init__(self, orders):
        super().__init__()
        self.orders = orders

    def on_start(self):
        self.sent, self.deals, self.outcomes = False, [], []

    def on_deal(self, report):
        self.deals.append((report["price"], report["quantity"], _taipei(report["exchange_ts"])))

    def on_tick(self, tick):
        if self.sent or tick["code"] != "2330":
            return
        self.sent = True
        for code, price, qty, order_type in self.orders:
            try:
                self.outcomes.append(self.buy(code, price, qty, order_type=order_type))
            except OrderRefused as exc:
                self.outcomes.append(exc)


def _run(data_dir, orders, loop="run"):
    strategy = PlacesAtTheOpen(orders)
    backtest = Backtest(strategy, ["2330:Stock", "TXFR1:Future"], DAY, DAY, data_dir=data_dir, quiet=True)
    return strategy, getattr(backtest, loop)().summary()["overall"]


@pytest.mark.parametrize("loop", ["run", "run_reference"])
def test_the_closing_print_fills_a_day_order_before_it_expires(day, loop):
    strategy, overall = _run(day, [("2330", 100.0, 3, "ROD")], loop)
    # two lots at 09:00:01, the last one at the close's own print
    assert strategy.deals == [(100.0, 2, "09:00:01"), (99.0, 1, "13:30:00")]
    assert (overall["filled_qty"], overall["expired"]) == (3, 0)


# orders sent at 09:00:00 -> (orders, fills, filled_qty, exchange_cancels, expired)
COUNTS = {
    "a resting order filled in two parts": ([("2330", 100.0, 3, "ROD")], (1, 2, 3, 0, 0)),
    "a day order left resting expires": ([("2330", 95.0, 4, "ROD")], (1, 0, 0, 0, 1)),
    "IOC: what the instrument's next tick holds, the rest cancelled": ([("2330", 100.0, 3, "IOC")], (1, 1, 2, 1, 0)),
    "FOK: all at once": ([("2330", 100.0, 2, "FOK")], (1, 1, 2, 0, 0)),
    "FOK: more than the tick holds is cancelled whole": ([("2330", 100.0, 3, "FOK")], (1, 0, 0, 1, 0)),
    "every kind at once": (
        [
            ("2330", 100.0, 3, "ROD"),
            ("2330", 90.0, 1, "IOC"),
            ("2330", 95.0, 2, "FOK"),
            ("2330", 95.0, 1, "ROD"),
            ("TXFR1", 17499.0, 4, "IOC"),
        ],  # TXFR1's next tick is its 09:00:00 one, at 17,500
        (5, 2, 3, 3, 1),
    ),
}


@pytest.mark.parametrize("orders, expected", list(COUNTS.values()), ids=list(COUNTS))
def test_summary_counts_follow_the_fills(day, orders, expected):
    strategy, overall = _run(day, orders)
    assert (
        overall["orders"],
        overall["fills"],
        overall["filled_qty"],
        overall["exchange_cancels"],
        overall["expired"],
    ) == expected
    assert overall["fills"] == len(strategy.deals) and overall["filled_qty"] == sum(q for _, q, _ in strategy.deals)


@pytest.mark.parametrize("order_type", ["ROD", "IOC", "FOK"])
@pytest.mark.parametrize("code, price", [("2330", 100.05), ("2330", 100.2), ("TXFR1", 17500.5)])
def test_a_price_off_the_grid_is_refused_for_every_order_type(day, order_type, code, price):
    strategy, overall = _run(day, [(code, price, 1, order_type)])
    (outcome,) = strategy.outcomes
    assert isinstance(outcome, OrderRefused) and "off the price grid" in str(outcome)
    assert overall["orders"] == 0 and strategy.deals == []


@pytest.mark.parametrize("loop", ["run", "run_reference"])
def test_a_strategy_reaches_the_exchange_only_while_it_runs(day, loop):
    strategy = PlacesAtTheOpen([("2330", 100.0, 3, "ROD")])
    with pytest.raises(BacktestError, match="not running in a back-test"):
        strategy.buy("2330", 100.0, 1)
    getattr(Backtest(strategy, ["2330:Stock"], DAY, DAY, data_dir=day, quiet=True), loop)()
    assert len(strategy.deals) == 2  # its requests went through during the run
    for request in (lambda: strategy.buy("2330", 100.0, 1), lambda: strategy.position("2330")):
        with pytest.raises(BacktestError, match="not running in a back-test"):
            request()
