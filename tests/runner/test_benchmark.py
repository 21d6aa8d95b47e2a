"""Buy and hold of each instrument over the period, against hand computations."""

import datetime as dt

import polars as pl
import pytest

from tovik_backtest.benchmark import buy_and_hold
from tovik_backtest.costs import Costs
from tovik_backtest.errors import BacktestError
from tovik_backtest.instruments import Instrument
from tovik_backtest.money import Sizes
from tovik_backtest.runner import Backtest, merged_ticks
from tovik_backtest.sample_strategy import MovingAverageCross

STOCK, FUTURE = Instrument("2330", "Stock"), Instrument("TXFR1", "Future")


def wall(day, hour, minute=0):
    return int(dt.datetime(2024, 1, day, hour, minute, tzinfo=dt.UTC).timestamp()) * 10**9


def ticks(code, points):
    return pl.DataFrame({"code": [code] * len(points), "ts": [wall(*t) for t, _ in points],
                         "close": [float(p) for _, p in points]})


def held(instrument, points, costs=None):
    frame = buy_and_hold([instrument], ticks(instrument.code, points), Sizes.of([instrument]),
                         costs or Costs(), 1_000_000.0)
    return frame.row(0, named=True)


@pytest.mark.parametrize("instrument, points, expected", [
    # one lot of 1,000 shares: 100,000 bought (commission 142), 120,000 sold the next day
    # (commission 171, tax 0.3% 360); the dip to 90 on the first day is a fall of 10,000 + 142
    (STOCK, [((2, 9), 100), ((2, 10), 90), ((3, 13), 120)],
     {"quantity": 1000, "gross": 20_000, "commission": 313, "tax": 360, "net": 19_327, "max_drawdown": 10_142}),
    # sold the same day: the day-trade tax, 0.15% of 120,000
    (STOCK, [((2, 9), 100), ((2, 13), 120)],
     {"quantity": 1000, "gross": 20_000, "commission": 313, "tax": 180, "net": 19_507, "max_drawdown": 142}),
    # one contract at 200 TWD a point: tax 0.002% of 3,400,000 and of 3,402,000, no commission
    (FUTURE, [((2, 9), 17_000), ((2, 9, 30), 16_990), ((2, 13), 17_010)],
     {"quantity": 1, "gross": 2_000, "commission": 0, "tax": 136, "net": 1_864, "max_drawdown": 2_068}),
    # a loss: the costs of the sale count in the last point's fall
    (STOCK, [((2, 9), 100), ((3, 13), 99)],
     {"quantity": 1000, "gross": -1_000, "commission": 283, "tax": 297, "net": -1_580, "max_drawdown": 1_580}),
])
def test_buy_and_hold_by_hand(instrument, points, expected):
    row = held(instrument, points)
    assert {k: row[k] for k in expected} == expected
    assert row["return_pct"] == pytest.approx(expected["net"] / 1_000_000)
    assert (row["entry_price"], row["exit_price"]) == (points[0][1], points[-1][1])
    assert row["entry_time"].hour == points[0][0][1]  # Taipei wall time


def test_buy_and_hold_charges_the_given_costs():
    row = held(FUTURE, [((2, 9), 17_000), ((2, 13), 17_010)], Costs(futures_commission_per_contract=20))
    assert (row["commission"], row["net"]) == (40, 2_000 - 40 - 136)
    assert held(STOCK, [((2, 9), 100), ((3, 9), 110)], Costs.none())["net"] == 10_000


def test_instruments_without_ticks_have_no_row():
    frame = buy_and_hold([STOCK, FUTURE], ticks("2330", [((2, 9), 100), ((2, 10), 101)]),
                         Sizes.of([STOCK, FUTURE]), Costs(), 1e6)
    assert frame["code"].to_list() == ["2330"]
    assert buy_and_hold([FUTURE], ticks("2330", []), Sizes.of([FUTURE]), Costs(), 1e6).height == 0


def test_result_benchmark_over_the_run_period(one_sample_day):
    data_dir, start, end = one_sample_day("benchmark", 8)
    instruments = ["2330:Stock", "TXFR1:Future"]
    result = Backtest(MovingAverageCross(fast=5, slow=20), instruments, start, end, data_dir=data_dir).run()
    frame = result.benchmark()  # prices read from the cache the run read
    every = merged_ticks(instruments, start, end, data_dir=data_dir)
    assert frame.equals(result.benchmark(every))
    for row in frame.iter_rows(named=True):
        closes = every.filter(pl.col("code") == row["code"])["close"]
        assert (row["entry_price"], row["exit_price"]) == (closes[0], closes[-1])
    assert frame["quantity"].to_list() == [1000, 1]


def test_result_benchmark_without_a_period_says_what_to_give():
    from tovik_backtest.results import BacktestResult

    bare = BacktestResult(instruments=[STOCK], reports=[], positions=None, stats={}, backfilling_ticks=0,
                          wall_seconds=0.0)
    with pytest.raises(BacktestError, match=r"result.benchmark\(ticks\)"):
        bare.benchmark()
