"""Order requests answered at the call, day orders expired at their session close, and
the quote of the current tick — with the real matcher and ticker on sample data."""

import numpy as np
import polars as pl
import pytest

from tovik_backtest.constant import OperationType
from tovik_backtest.runner import Backtest, BacktestError, OrderRefused, Strategy, merged_ticks
from tovik_backtest.sample_data import sample_period, write_sample_data

START, END = sample_period(2)
DAY_NS = 86_400_000_000_000
FAR = 500.0  # a buy price well below the sample's 2330 prices: it rests, never fills


@pytest.fixture(scope="module")
def sample_dir(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sample")
    write_sample_data(folder, days=2, seed=7)
    return folder


# Each request is tried once, at the first tick of 2330; "id" means it must return an order id.
REQUESTS = {
    "numpy quantity": (lambda s: s.buy("2330", FAR, np.int64(2)), "id"),
    "int price": (lambda s: s.buy("2330", 500, 1), "id"),
    "float32 price": (lambda s: s.buy("2330", np.float32(501.0), 1), "id"),
    "market order at 0": (lambda s: s.sell("TXFR1", 0.0, 1, price_type="MKT", order_type="IOC"), "id"),
    "off the grid": (lambda s: s.buy("2330", 500.5, 1), "off the price grid of 2330"),
    "lower-case order type": (lambda s: s.buy("2330", FAR, 1, order_type="rod"), "refused by the exchange"),
    "unknown price type": (lambda s: s.buy("2330", FAR, 1, price_type="LIMIT"), "refused by the exchange"),
    "product type of another market": (lambda s: s.buy("2330", FAR, 1, product_type="Future"), "contradicts"),
    "boolean quantity": (lambda s: s.buy("2330", FAR, True), "boolean"),
    "fractional quantity": (lambda s: s.buy("2330", FAR, 1.5), "whole number"),
    "zero quantity": (lambda s: s.buy("2330", FAR, 0), "at least 1"),
    "text price": (lambda s: s.buy("2330", "500", 1), "must be a number"),
    "boolean price": (lambda s: s.buy("2330", True, 1), "must be a number"),
    "not an instrument": (lambda s: s.buy("2317", 100.0, 1), "not an instrument"),
    "cancel of an unknown id": (lambda s: s.cancel("no-such-order"), "no resting order"),
    "cancel of a non-text id": (lambda s: s.cancel(7), "is a text"),
    "modify of an unknown id": (lambda s: s.modify("no-such-order", qty=1), "no resting order"),
    "cut beyond the open quantity": (lambda s: s.modify(s.resting, qty=9), "大於原本的數量"),
    "new price off the grid": (lambda s: s.modify(s.resting, qty=1, price=499.25), "off the price grid"),
    "negative new price": (lambda s: s.modify(s.resting, qty=1, price=-1.0), "finite and > 0"),
    "nothing to modify": (lambda s: s.modify(s.resting), "refused by the exchange"),
    "int new price": (lambda s: s.modify(s.resting, price=499), None),
}


class Requests(Strategy):
    def on_start(self):
        self.outcomes, self.orders = {}, []

    def on_order(self, report):
        self.orders.append(report)

    def on_tick(self, tick):
        if tick["code"] != "2330" or self.outcomes:
            return
        self.resting = self.buy("2330", FAR, 3)
        for name, (request, _) in REQUESTS.items():
            try:
                self.outcomes[name] = request(self)
            except OrderRefused as exc:
                self.outcomes[name] = exc


@pytest.fixture(scope="module")
def requests_run(sample_dir):
    strategy = Requests()
    result = Backtest(strategy, ["2330:Stock", "TXFR1:Future"], START, START, data_dir=sample_dir).run()
    return strategy, result


@pytest.mark.parametrize("name", list(REQUESTS))
def test_request_outcome(requests_run, name):
    strategy, _ = requests_run
    outcome, expected = strategy.outcomes[name], REQUESTS[name][1]
    if expected == "id":
        assert type(outcome) is str and len(outcome) == 16
    elif expected is None:
        assert outcome is None
    else:
        assert isinstance(outcome, OrderRefused) and expected in str(outcome)


def test_accepted_requests_reach_the_book_as_asked(requests_run):
    strategy, result = requests_run
    new = {r["order"]["id"]: r for r in result.reports
           if r.get("operation_type") == OperationType.NEW}
    placed = [strategy.resting] + [strategy.outcomes[n] for n, (_, e) in REQUESTS.items() if e == "id"]
    assert set(new) == set(placed)  # nothing refused was placed, nothing accepted was lost
    assert new[strategy.outcomes["numpy quantity"]]["order"]["quantity"] == 2
    assert new[strategy.outcomes["int price"]]["order"]["price"] == 500.0
    # the refused price left the order as it was; the accepted int price re-priced it
    changes = [r for r in result.reports if r.get("operation_type") in (OperationType.UPDATE_QTY,
                                                                         OperationType.UPDATE_PRICE)
               and r["order"]["id"] == strategy.resting]
    assert [(r["operation_type"], r["order"]["quantity"], r["order"]["price"]) for r in changes] == [
        (OperationType.UPDATE_PRICE, 3, 499.0)]


def test_ids_follow_the_seed(sample_dir):
    def ids(seed):
        s = Requests()
        Backtest(s, ["2330:Stock", "TXFR1:Future"], START, START, data_dir=sample_dir, seed=seed).run()
        return [s.resting] + [v for v in s.outcomes.values() if isinstance(v, str)]

    assert ids(3) == ids(3) != ids(4)


# ---- day orders expire at the close of their session --------------------------------------

def _day_ranges(sample_dir):
    t = merged_ticks(["2330:Stock"], START, END, data_dir=sample_dir)
    return t.group_by(pl.col("ts") // DAY_NS).agg(pl.col("close").max().alias("high")).sort("ts")["high"]


class SellsOnce(Strategy):
    params = {"price": 0.0, "order_type": "ROD"}

    def __init__(self, price, order_type, **kw):
        super().__init__(price=price, order_type=order_type, **kw)
        self.id = None
        self.seen = []

    def on_tick(self, tick):
        if self.id is None and tick["code"] == "2330":
            # sold first, as a day trade: no shares are held
            self.id = self.sell("2330", self.price, 1, order_type=self.order_type, daytrade_short=True)

    def on_order(self, report):
        if report["order"]["id"] == self.id:
            self.seen.append(report["operation_type"])


def test_a_day_order_does_not_fill_on_the_next_day(sample_dir):
    high1, high2 = _day_ranges(sample_dir)
    price = float(int(high1) + 1)
    assert price <= high2  # the second day trades through the price
    strategy = SellsOnce(price, "ROD")
    result = Backtest(strategy, ["2330:Stock", "TXFR1:Future"], START, END, data_dir=sample_dir).run()
    assert [d for d in result.deals if d["id"] == strategy.id] == []
    assert strategy.seen == [OperationType.NEW, OperationType.CANCEL]
    cancel = next(r for r in result.reports if r.get("operation_type") == OperationType.CANCEL)
    day2_first = merged_ticks(["2330:Stock"], END, END, data_dir=sample_dir)["ts"][0]
    assert cancel["trade_status"]["exchange_ts"] < (day2_first - 8 * 3600 * 10**9) / 1e9
    summary = result.summary()
    assert summary["instruments"]["2330"]["expired"] == 1 and summary["instruments"]["TXFR1"]["expired"] == 0
    assert summary["overall"]["expired"] == 1


def _limit_up(sample_dir):
    """The highest sell price the second sample day takes (its first day's close + 10%)."""
    from tovik_backtest import market as mk

    close = merged_ticks(["2330:Stock"], START, START, data_dir=sample_dir)["close"][-1]
    return mk.price_limits("Stock", "2330", close)[1]


def test_a_day_order_left_at_the_end_of_the_data_expires(sample_dir):
    strategy = SellsOnce(_limit_up(sample_dir), "ROD")
    result = Backtest(strategy, ["2330:Stock"], END, END, data_dir=sample_dir).run()
    assert strategy.seen == [OperationType.NEW, OperationType.CANCEL]
    assert result.stats["2330"].expired == 1


def test_strategy_cancels_are_not_counted_as_expired(sample_dir):
    class CancelsAtOnce(SellsOnce):
        def on_tick(self, tick):
            first = self.id is None
            super().on_tick(tick)
            if first and self.id is not None:
                self.cancel(self.id)

    strategy = CancelsAtOnce(_limit_up(sample_dir), "ROD")
    result = Backtest(strategy, ["2330:Stock"], END, END, data_dir=sample_dir).run()
    assert strategy.seen == [OperationType.NEW, OperationType.CANCEL]
    assert result.stats["2330"].expired == 0


# ---- quotes ---------------------------------------------------------------------------------

def test_quote_is_the_best_bid_and_ask_of_the_current_tick(sample_dir):
    class Quotes(Strategy):
        def on_start(self):
            self.quotes = []
            with pytest.raises(BacktestError, match="not an instrument"):
                self.quote("2317")

        def on_tick(self, tick):
            if tick["code"] == "2330":
                self.quotes.append(self.quote("2330"))
            elif not self.quotes:
                with pytest.raises(BacktestError, match="no tick of 2330"):
                    self.quote("2330")

    strategy = Quotes()
    Backtest(strategy, ["2330:Stock", "TXFR1:Future"], END, END, backfill_start=START,
             backfill_end=START, data_dir=sample_dir).run()
    expected = pl.concat([merged_ticks(["2330:Stock"], day, day, data_dir=sample_dir)
                          for day in (START, END)])
    cols = ["bid_price", "bid_volume", "ask_price", "ask_volume", "ts"]
    assert strategy.quotes == expected.select(cols).to_dicts()


class _Book:
    """A matcher stand-in: takes every order, rests it, changes nothing else."""

    def __init__(self):
        self.pending_orders = []

    def add_order(self, code, *args):
        self.pending_orders.append({"trade_id": f"t{len(self.pending_orders)}", "code": code})


def _at(day, hour, minute=0):
    """Taipei wall time as epoch ns, the tick convention."""
    import datetime as dt

    moment = dt.datetime.fromisoformat(day) + dt.timedelta(hours=hour, minutes=minute)
    return int(moment.replace(tzinfo=dt.UTC).timestamp()) * 10**9


def test_the_desk_remembers_closes_and_grid_prices_without_changing_an_answer():
    from tovik_backtest import market as mk
    from tovik_backtest.instruments import parse_instrument
    from tovik_backtest.orders import OrderDesk

    desk = OrderDesk(_Book(), [parse_instrument("2330:Stock"), parse_instrument("TXFR1:Future")], {})
    # times in order, across day and night sessions, a weekend and a close itself
    times = [("TXFR1", _at("2024-01-05", h, m)) for h, m in [(8, 45), (13, 45), (13, 46), (15, 0), (23, 59)]]
    times += [("TXFR1", _at("2024-01-06", 4, 59)), ("TXFR1", _at("2024-01-06", 5, 1)), ("2330", _at("2024-01-08", 9)),
              ("2330", _at("2024-01-08", 13, 30)), ("2330", _at("2024-01-08", 13, 31)), ("TXFR1", _at("2024-01-08", 9))]
    for code, ts in times:
        desk.now_ns = ts
        price = 500.0 if code == "2330" else 17000.0
        trade_id = desk.add("Buy", code, price, 1, "LMT", "ROD", "Cash", "Common", "Auto", None)
        market = desk.markets[code]
        assert desk._day_orders[trade_id] == (code, mk.session_close(market, ts)), (code, ts)
    for price, refused in [(500.0, False), (500.5, True), (500.0, False), (501.0, False), (500.5, True)]:
        if refused:
            with pytest.raises(OrderRefused, match="off the price grid"):
                desk.add("Sell", "2330", price, 1, "LMT", "ROD", "Cash", "Common", "Auto", None)
        else:
            desk.add("Sell", "2330", price, 1, "LMT", "ROD", "Cash", "Common", "Auto", None)
