"""The console summary of a run: period, costs, the expired column and the money line."""

import pytest

from tovik_backtest.cli.common import costs_line, period_line, print_summary
from tovik_backtest.costs import Costs
from tovik_backtest.runner import Backtest
from tovik_backtest.sample_strategy import MovingAverageCross


def costs_of(**rates):
    from dataclasses import asdict

    return asdict(Costs(**rates))


@pytest.mark.parametrize("rates, parts", [
    ({}, ["stock commission 0.1425% (at least 20 TWD, odd lots 1)", "stock tax 0.3% (day trades 0.15%, ETFs 0.1%)",
          "futures 0 TWD a contract, tax 0.002%"]),
    ({"stock_commission_discount": 0.6, "futures_commission_per_contract": 20},
     ["stock commission 0.1425% x 0.6 (", "futures 20 TWD a contract"]),
    ({"stock_min_commission": 1.5}, ["at least 1.50 TWD"]),
])
def test_costs_line_names_every_rate(rates, parts):
    line = costs_line(costs_of(**rates))
    assert line.startswith("costs: ")
    for part in parts:
        assert part in line


@pytest.mark.parametrize("config, line", [
    ({"start": "2024-01-02", "end": "2024-01-08"}, "period 2024-01-02 to 2024-01-08"),
    ({"start": "2024-01-02", "end": "2024-01-08", "backfill_start": "2023-12-27", "backfill_end": "2023-12-29"},
     "period 2024-01-02 to 2024-01-08 (warm-up 2023-12-27 to 2023-12-29)"),
    ({"start": "2024-01-02", "end": "2024-01-02", "backfill_start": None, "backfill_end": "2023-12-29"},
     "period 2024-01-02 to 2024-01-02 (warm-up 2023-12-29 to 2023-12-29)"),  # a lone bound is both ends
])
def test_period_line(config, line):
    assert period_line(config) == line


def test_summary_shows_period_costs_and_expired(one_sample_day, capsys):
    data_dir, start, end = one_sample_day("console", 9)
    result = Backtest(MovingAverageCross(fast=5, slow=20), ["2330:Stock"], start, end, data_dir=data_dir,
                      costs=Costs(stock_commission_discount=0.5)).run()
    print_summary(result)
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith(f"period {start} to {end} · costs: stock commission 0.1425% x 0.5")
    header = next(line for line in lines if "cancels" in line and "expired" in line)
    assert header.split().index("expired") == header.split().index("cancels") + 1
    figures = result.summary()["instruments"]["2330"]
    row = next(line.split() for line in lines if line.strip().startswith("2330"))
    # code, market, ticks, orders, fills, cancels, expired
    assert row[5:7] == [str(figures["exchange_cancels"]), str(figures["expired"])]
    assert lines[-1].startswith("net P&L ")
