"""The run's measures against hand computations on small tables, and against empyrical
on the same daily returns where it computes the same figure."""

import datetime as dt
import math

import numpy as np
import pytest

from tovik_backtest import measures as m
from tovik_backtest.costs import Costs
from tovik_backtest.instruments import Instrument
from tovik_backtest.market import posix_seconds_to_ns
from tovik_backtest.modules.positions.positions import Positions
from tovik_backtest.money import Recorder, Sizes
from tovik_backtest.results import BacktestResult, InstrumentStats

ROOT_252 = math.sqrt(252)


@pytest.mark.parametrize("equity, capital, expected", [
    ([], 100.0, []),
    ([110.0], 100.0, [0.10]),
    ([110.0, 105.0, 125.0, 120.0], 100.0, [0.10, -0.05, 0.20, -0.05]),
    ([190.0, 180.0], 200.0, [-0.05, -0.05]),  # P&L over capital, not over the day's start
])
def test_daily_returns(equity, capital, expected):
    assert m.daily_returns(equity, capital) == pytest.approx(expected)


@pytest.mark.parametrize("returns, expected", [
    ([], {"days": 0, "mean": None, "stdev": None, "best": None, "worst": None, "winning_share": None}),
    ([0.02], {"days": 1, "mean": 0.02, "stdev": None, "best": 0.02, "worst": 0.02, "winning_share": 1.0}),
    # mean 0.2 / 4; deviations 0.05, -0.1, 0.15, -0.1: squares sum to 0.045, over 3
    ([0.10, -0.05, 0.20, -0.05], {"days": 4, "mean": 0.05, "stdev": math.sqrt(0.015), "best": 0.20,
                                  "worst": -0.05, "winning_share": 0.5}),
    ([0.0, -0.01, 0.0], {"days": 3, "mean": -0.01 / 3, "stdev": math.sqrt((2 * (0.01 / 3) ** 2 + (0.02 / 3) ** 2) / 2),
                         "best": 0.0, "worst": -0.01, "winning_share": 0.0}),  # a flat day is no win
])
def test_daily_return_measures(returns, expected):
    got = m.daily_return_measures(returns)
    assert got.keys() == expected.keys()
    for key, value in expected.items():
        assert got[key] == (value if value is None or isinstance(value, int) else pytest.approx(value)), key


@pytest.mark.parametrize("returns, expected", [
    ([], None),
    ([0.1], None),  # one day
    ([0.1, 0.2], None),  # no losing day: no downside
    # downside: sqrt((0.05^2 + 0.05^2) / 4) = 0.05 / sqrt(2); mean 0.05
    ([0.10, -0.05, 0.20, -0.05], math.sqrt(2) * ROOT_252),
    ([-0.01, -0.03], -0.02 / math.sqrt((0.01 ** 2 + 0.03 ** 2) / 2) * ROOT_252),
])
def test_sortino(returns, expected):
    got = m.sortino(returns)
    assert got == expected if expected is None else got == pytest.approx(expected)


@pytest.mark.parametrize("net, capital, days, expected", [
    (20.0, 100.0, 4, 0.2 * 252 / 4),
    (-5.0, 100.0, 252, -0.05),
    (10.0, 100.0, 0, None),
])
def test_annual_return(net, capital, days, expected):
    got = m.annual_return(net, capital, days)
    assert got == expected if expected is None else got == pytest.approx(expected)


@pytest.mark.parametrize("annual, drawdown, capital, expected", [
    (12.6, 5.0, 100.0, 252.0),  # 12.6 over a fall of 5% of capital
    (-0.1, 20.0, 100.0, -0.5),
    (0.3, 0.0, 100.0, None),  # never fell
    (None, 5.0, 100.0, None),
])
def test_calmar(annual, drawdown, capital, expected):
    got = m.calmar(annual, drawdown, capital)
    assert got == expected if expected is None else got == pytest.approx(expected)


@pytest.mark.parametrize("nets, expected", [
    ([], 0),
    ([1.0, 2.0], 0),
    ([-1.0], 1),
    ([10.0, -5.0, -3.0, 8.0, -1.0, -2.0, -4.0], 3),
    ([-1.0, -1.0, 2.0, -1.0], 2),
    ([-1.0, 0.0, -1.0], 1),  # a trip that broke even ends the streak
])
def test_losing_streak(nets, expected):
    assert m.losing_streak(nets) == expected


@pytest.mark.parametrize("commission, tax, gross, expected", [
    (30.0, 10.0, 100.0, 0.4),
    (0.0, 0.0, 10.0, 0.0),
    (30.0, 10.0, 0.0, None),
    (30.0, 10.0, -50.0, None),  # costs on top of a loss are not a share of it
])
def test_costs_share(commission, tax, gross, expected):
    assert m.costs_share(commission, tax, gross) == expected


def trip(code, side, net, seconds):
    return m.Trip(code, side, net, seconds)


def test_breakdowns_by_instrument_and_side():
    trips = [trip("A", "Long", 10.0, 60), trip("A", "Short", -5.0, 120), trip("B", "Long", -3.0, 30),
             trip("A", "Long", -2.0, 30)]
    by_code = m.trip_breakdown(trips, "code")
    assert by_code == {
        "A": {"round_trips": 3, "win_rate": 1 / 3, "profit_factor": 10 / 7, "average_trade": 1.0, "net_pnl": 3.0,
              "longest_losing_streak": 2, "average_duration": 70.0},
        "B": {"round_trips": 1, "win_rate": 0.0, "profit_factor": 0.0, "average_trade": -3.0, "net_pnl": -3.0,
              "longest_losing_streak": 1, "average_duration": 30.0},
    }
    by_side = m.trip_breakdown(trips, "side")
    assert list(by_side) == ["Long", "Short"]
    assert (by_side["Long"]["round_trips"], by_side["Long"]["net_pnl"], by_side["Long"]["average_duration"]) == (
        3, 5.0, 40.0)
    assert m.trip_figures([])["average_duration"] is None


# ---- a hand-made run: three days, three round trips, no costs ---------------------------

def secs(day, hour, minute=0):
    return dt.datetime(2024, 1, day, hour, minute, tzinfo=dt.timezone(dt.timedelta(hours=8))).timestamp()


def hand_made_run():
    """Capital 100,000; one lot of 2330 (1,000 shares) each time:
    2 Jan long 100 -> 110 (+10,000, 1 h); 3 Jan short 110 -> 115 (-5,000, 30 min);
    4 Jan long 100 -> 120 (+20,000, 2 h). Day ends: 110,000, 105,000, 125,000.
    Each fill comes as the reference loop gives it: the tick, its fill, its mark."""
    fills = [("a", "Buy", 100.0, secs(2, 9)), ("b", "Sell", 110.0, secs(2, 10)),
             ("c", "Sell", 110.0, secs(3, 9)), ("d", "Buy", 115.0, secs(3, 9, 30)),
             ("e", "Buy", 100.0, secs(4, 9)), ("f", "Sell", 120.0, secs(4, 11))]
    instruments = [Instrument("2330", "Stock")]
    recorder = Recorder(instruments, Sizes.of(instruments), Costs.none(), 100_000.0, "1m")
    stats = {"2330": InstrumentStats("2330", "Stock")}
    book, reports = Positions(), []
    for trade_id, action, price, ts in fills:
        ns = posix_seconds_to_ns(ts)
        recorder.closes(ns)
        book.set_current_tick({"code": "2330", "close": price})
        recorder.price("2330", price)
        stats["2330"].ticks += 1
        deal = {"id": trade_id, "code": "2330", "action": action, "quantity": 1, "price": price,
                "exchange_ts": ts, "order_lot": "Common"}
        for report in ({"operation_type": "New", "order": {"id": trade_id, "order_type": "ROD",
                                                           "price_type": "LMT"}}, deal):
            reports.append(report)
            recorder.report(report)
        book.set_positions(deal, "")
        stats["2330"].fills += 1
        recorder.mark("2330", ns)
    recorder.finish()
    return BacktestResult(instruments=instruments, reports=reports, positions=book, stats=stats,
                          backfilling_ticks=0, wall_seconds=1.0, recorder=recorder, costs=Costs.none(),
                          capital=100_000.0)


def test_overall_measures_of_a_hand_made_run():
    overall = hand_made_run().summary()["overall"]
    assert overall["net_pnl"] == 25_000 and overall["max_drawdown"] == 5_000
    # daily returns 0.10, -0.05, 0.20: mean 1/12; deviations 1/60, -8/60, 7/60
    assert overall["daily_returns"] == pytest.approx({"days": 3, "mean": 1 / 12, "stdev": math.sqrt(114 / 7200),
                                                      "best": 0.2, "worst": -0.05, "winning_share": 2 / 3})
    assert overall["return_pct"] == pytest.approx(0.25)
    assert overall["annual_return"] == pytest.approx(0.25 * 252 / 3)  # 21
    assert overall["calmar"] == pytest.approx(21 / 0.05)
    # downside sqrt(0.05^2 / 3): (1/12) / (0.05 / sqrt 3) = sqrt(3) / 0.6
    assert overall["sortino"] == pytest.approx(math.sqrt(3) / 0.6 * ROOT_252)
    assert overall["longest_losing_streak"] == 1
    assert overall["average_duration"] == pytest.approx((3600 + 1800 + 7200) / 3)
    assert overall["costs_share"] == 0.0
    assert overall["by_side"] == {
        "Long": {"round_trips": 2, "win_rate": 1.0, "profit_factor": None, "average_trade": 15_000.0,
                 "net_pnl": 30_000.0, "longest_losing_streak": 0, "average_duration": 5400.0},
        "Short": {"round_trips": 1, "win_rate": 0.0, "profit_factor": 0.0, "average_trade": -5_000.0,
                  "net_pnl": -5_000.0, "longest_losing_streak": 1, "average_duration": 1800.0},
    }
    assert overall["by_instrument"]["2330"]["net_pnl"] == overall["net_pnl"]


# ---- the same figures as empyrical on the same daily returns ---------------------------

def _return_sets():
    rng = np.random.default_rng(21)
    return [
        [0.10, -0.05, 0.20, -0.05],
        [0.001, -0.002, 0.0005, 0.003, -0.0001],
        list(rng.normal(0.0005, 0.01, 60)),
        list(rng.normal(-0.001, 0.02, 250)),
    ]


@pytest.mark.parametrize("returns", _return_sets())
def test_same_as_empyrical(returns):
    empyrical = pytest.importorskip("empyrical")
    pd = pytest.importorskip("pandas")
    series = pd.Series(returns, index=pd.bdate_range("2024-01-02", periods=len(returns)))
    capital = 1_000_000.0
    equity = list(capital + capital * np.cumsum(returns))
    assert m.sharpe(equity, capital) == pytest.approx(empyrical.sharpe_ratio(series), rel=1e-9)
    assert m.sortino(returns) == pytest.approx(empyrical.sortino_ratio(series), rel=1e-9)
    stdev = m.daily_return_measures(returns)["stdev"]
    assert stdev * ROOT_252 == pytest.approx(empyrical.annual_volatility(series), rel=1e-9)


def test_days_are_the_days_with_ticks_when_stocks_close_before_futures(one_sample_day):
    # the stock session closes at 13:30 while the future trades on to 13:45: the stock's
    # next close (the next trading day's) is no day of the run
    from tovik_backtest.runner import Backtest
    from tovik_backtest.sample_strategy import MovingAverageCross

    data_dir, start, end = one_sample_day("days", 12)
    result = Backtest(MovingAverageCross(fast=5, slow=20), ["2330:Stock", "TXFR1:Future"], start, end,
                      data_dir=data_dir).run()
    assert [day.isoformat() for day, _ in result.trading_days()] == [start]
    overall = result.summary()["overall"]
    assert overall["daily_returns"]["days"] == 1
    assert overall["daily_returns"]["mean"] == pytest.approx(overall["net_pnl"] / overall["capital"])
