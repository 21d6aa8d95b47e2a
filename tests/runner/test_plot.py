import sys

import pytest

from tovik_backtest.plot import PlotUnavailable, pnl_curve
from tovik_backtest.runner import Backtest
from tovik_backtest.sample_data import sample_period, write_sample_data
from tovik_backtest.sample_strategy import MovingAverageCross


class FakeResult:
    def __init__(self, deals):
        self.deals = deals


def deal(action, qty, price, ts):
    return {"code": "X", "action": action, "quantity": qty, "price": price, "exchange_ts": ts}


def test_pnl_curve_realises_on_closing_fills_only():
    curve = pnl_curve(FakeResult([deal("Buy", 2, 10.0, 1), deal("Buy", 2, 12.0, 2),
                                  deal("Sell", 3, 13.0, 3), deal("Sell", 3, 9.0, 4)]))
    # avg 11 on 4 long; sell 3 at 13 -> +6; sell 1 at 9 closes the last long (-2) and opens a short
    assert curve == [(1.0, 0.0), (2.0, 0.0), (3.0, 6.0), (4.0, 4.0)]


def test_plot_writes_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    write_sample_data(tmp_path / "data", days=1, seed=3)
    start, end = sample_period(1)
    result = Backtest(MovingAverageCross(fast=5, slow=20), ["2330:Stock"], start, end,
                      data_dir=tmp_path / "data").run()
    path = result.plot(tmp_path / "run.png")
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_missing_matplotlib_is_a_clear_error(monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    from tovik_backtest.plot import plot_result

    with pytest.raises(PlotUnavailable, match=r"pip install 'tovik_backtest\[plot\]'"):
        plot_result(FakeResult([]), tmp_path / "x.png")
